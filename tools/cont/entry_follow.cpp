#include "entry_follow.h"

#include <vector>

#include "container_session.h"
#include "errors.h"
#include "host_library.h"
#include "progress.h"
#include "standard_output.h"

namespace cont {

int FollowEntry(Module& module, const std::string& path, const std::string& name, uint64_t offset,
                uint64_t length, bool quiet) {
    std::string reason;
    WriterWatch watch;
    if (!watch.Start(module, path, &reason)) return FailPlain(Place{path, {}}, reason);
    const uint64_t limit = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
    uint64_t position = offset;
    Progress progress("following", Progress::kUnknownTotal, quiet);
    for (;;) {
        // The last reading reports every failure; one while the writer is
        // still at work waits for a container or an entry not there yet.
        WriterWatch::State state = watch.Look();
        const bool last = state != WriterWatch::State::kWriting;
        {
            ContainerSession session(module, path);
            EntryFile entry;
            int status = kExitOk;
            if (last) {
                if ((status = session.Open()) != kExitOk || (status = session.OpenEntry(name, &entry)) != kExitOk)
                    return status;
            } else if (!session.OpenQuietly() || QLX_FAILED(session.OpenEntryQuietly(name, &entry))) {
                watch.Wait();
                continue;
            }
            Inspection opened;
            session.Inspect(&opened);
            state = watch.Opened(opened);
            if (state == WriterWatch::State::kReplaced)
                return FailPlain(Place{path, name}, "the container file was replaced by another (or removed) while "
                                                    "the entry was followed; stopped at byte " +
                                                        std::to_string(position));
            if (state == WriterWatch::State::kLookAgain) continue;
            uint64_t size = 0;
            int32_t result = entry.Size(&size);
            if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
            const uint64_t end = size < limit ? size : limit;
            if (position > end && last)
                return Fail(session.place(name),
                            "offset " + std::to_string(offset) + " lies past the end (" + std::to_string(size) +
                                " bytes)", E_INVALIDARG);
            if (position < end) {
                if (QLX_FAILED(result = entry.Seek(position)))
                    return Fail(session.place(name), "cannot seek to byte " + std::to_string(position), result);
                status = session.ReadThrough(entry, name, end, [&](const std::vector<uint8_t>& piece) {
                    if (!WriteOut(piece.data(), piece.size(), &reason)) return false;
                    progress.Advance(piece.size());
                    return true;
                });
                if (status != kExitOk) return status;
                position = end;
            }
            // Before the wait, so that a reader at the other end of a pipe
            // has every byte read so far.
            FlushOut();
            if (OutputFailed(&reason)) return kExitFailure;  // said as cont ends
        }
        if (position >= limit || state == WriterWatch::State::kClosed) return kExitOk;
        if (state == WriterWatch::State::kGone)
            return FailPlain(Place{path, name}, "no program writes the container any more, but it was not closed "
                                                "cleanly: the entry ends at byte " + std::to_string(position));
        watch.Wait();
    }
}

}  // namespace cont
