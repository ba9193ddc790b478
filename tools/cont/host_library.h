// cont is a host built on the host library (host/include/contfs/); these
// are the names it uses from it, as names of its own namespace.
#ifndef CONT_HOST_LIBRARY_H
#define CONT_HOST_LIBRARY_H

#include <contfs/container.h>
#include <contfs/container_url.h>
#include <contfs/container_writer.h>
#include <contfs/entry_file.h>
#include <contfs/host_objects.h>
#include <contfs/module.h>
#include <contfs/ref.h>
#include <contfs/result.h>
#include <contfs/writer_watch.h>

namespace cont {

using contfs::AddressableEntryName;
using contfs::Container;
using contfs::ContainerWriter;
using contfs::EntryFile;
using contfs::EntryNameFromListing;
using contfs::EntryStat;
using contfs::HeldByAnother;
using contfs::HostBuffer;
using contfs::Inspection;
using contfs::MakeContUrl;
using contfs::MakePlainContUrl;
using contfs::Module;
using contfs::NewHostObject;
using contfs::Query;
using contfs::Ref;
using contfs::Result;
using contfs::UrlCanName;
using contfs::UrlContainerPath;
using contfs::WriterWatch;

}  // namespace cont

#endif
