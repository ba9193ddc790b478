#include "readable_bytes.h"

#include "progress.h"

namespace cont {

int ReadableBytes(ContainerSession& session, EntryFile& file, const std::string& name, uint64_t size,
                  const std::string& verb, bool quiet, uint64_t* readable) {
    Progress progress(verb + " " + name, size, quiet);
    const int status = session.ReadThrough(file, name, size, [&](const std::vector<uint8_t>& piece) {
        progress.Advance(piece.size());
        return true;
    });
    *readable = status == kExitOk ? size : file.position();
    return status;
}

}  // namespace cont
