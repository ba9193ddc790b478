// The module behind every contsrc of the process: loaded the first time an
// element starts, found as every host finds it (contfs::FindModule:
// $CONT_MODULE, else the build tree's or the installed module relative to
// this plug-in's file), and kept for the life of the process, since
// GStreamer never unloads a plug-in.
#ifndef CONTSRC_SHARED_MODULE_H
#define CONTSRC_SHARED_MODULE_H

#include <contfs/module.h>

#include <string>

namespace contsrc {

// The loaded module; null with the reason when it cannot be found or
// loaded (asked again at the next call, so a fixed environment helps).
contfs::Module* SharedModule(std::string* why);

}  // namespace contsrc

#endif
