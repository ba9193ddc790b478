// One container as the read-side commands see it: the host library's
// Container, with failures turned into messages that say whether the
// container, or one entry of it, is at fault.
#ifndef CONT_CONTAINER_SESSION_H
#define CONT_CONTAINER_SESSION_H

#include <string>
#include <vector>

#include "errors.h"
#include "host_library.h"

namespace cont {

// One entry as the container lists it.
struct ListedEntry {
    // The name, or for an entry no URL opens, its printable start
    // (ShortName) when the whole would not fit a message.
    std::string name;
    // Why no URL can open the entry; empty when one can.
    std::string problem;
    // The name was cut to its printable start.
    bool cut = false;
    // The entry's size, when the container gave it for the name listed.
    bool sized = false;
    uint64_t size = 0;
};

class ContainerSession {
public:
    ContainerSession(Module& module, std::string userPath);

    // Opens the container for reading; prints the reason and returns
    // kExitFailure when it cannot be opened.
    int Open();
    // The same without a word: true when the container could be opened.
    bool OpenQuietly();

    // The entries, in container order. An entry whose name no URL can carry
    // is listed with the reason, so that it does not hide the others; of
    // its name only what a message shows is kept.
    int ListEntries(std::vector<ListedEntry>* entries);

    // The size of the entry of this name, without a word; the module's
    // result.
    int32_t EntrySize(const std::string& name, uint64_t* size) { return container_.EntrySize(name, size); }

    // Opens one entry for reading; "no such entry" when the container does
    // not hold it. With `listed`, the name came from the listing.
    int OpenEntry(const std::string& name, EntryFile* file, bool listed = false);
    // True when the container says it holds no entry of this name; false
    // when it holds one, when no URL can name it, or when it cannot say.
    bool HoldsNoEntry(const std::string& name);
    // Opens one entry without a word; the module's result, or kOtherEntry.
    int32_t OpenEntryQuietly(const std::string& name, EntryFile* file);
    // The module opened an entry other than the one named.
    static constexpr int32_t kOtherEntry = Container::kOtherEntry;

    // Reads `file` from its position to `end`, handing each piece to `sink`
    // (which returns false to stop, having reported why). Fails when the
    // entry ends before `end`.
    template <class Sink>
    int ReadThrough(EntryFile& file, const std::string& name, uint64_t end, Sink&& sink);

    // The container's header as found, the damage it met and what recovery
    // rebuilt, also after an Open that failed on damage; false when there is
    // none to ask.
    bool Inspect(Inspection* out) { return container_.Inspect(out).ok(); }

    const std::string& urlPath() const { return container_.urlPath(); }
    Place place(const std::string& entry = {}) const { return Place{userPath_, entry}; }

    // Read in pieces of this size.
    static constexpr uint32_t kPiece = 1u << 20;

private:
    Module& module_;
    std::string userPath_;
    Container container_;
};

template <class Sink>
int ContainerSession::ReadThrough(EntryFile& file, const std::string& name, uint64_t end, Sink&& sink) {
    std::vector<uint8_t> piece;
    piece.reserve(kPiece);
    while (file.position() < end) {
        const uint64_t left = end - file.position();
        const uint32_t want = left < kPiece ? static_cast<uint32_t>(left) : kPiece;
        piece.clear();
        const int32_t result = file.Read(want, &piece);
        if (result == RES_END_OF_DATA || (result == S_OK && piece.empty()))
            return Fail(place(name), "the entry ended at byte " + std::to_string(file.position()) + " of " +
                                         std::to_string(end), RES_END_OF_DATA);
        if (QLX_FAILED(result))
            return Fail(place(name), "read failed at byte " + std::to_string(file.position()), result);
        if (!sink(piece)) return kExitFailure;
    }
    return kExitOk;
}

}  // namespace cont

#endif
