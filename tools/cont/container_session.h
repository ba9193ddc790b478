// One container as the read-side commands see it: the host library's
// Container, with failures turned into messages that say whether the
// container, or one entry of it, is at fault.
#ifndef CONT_CONTAINER_SESSION_H
#define CONT_CONTAINER_SESSION_H

#include <functional>
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
    // entry ends before `end` or a read fails, as tar does with a cut
    // archive: every byte that can still be read before the damage is
    // handed over first, and the failure names the first byte that could
    // not be, where the file's position is left. `afterDamage`, when given,
    // is asked then for a sentence the failure's line ends with (what
    // became of the bytes handed over).
    template <class Sink>
    int ReadThrough(EntryFile& file, const std::string& name, uint64_t end, Sink&& sink,
                    const std::function<std::string()>& afterDamage = {});

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

// A read that meets damage gives the bytes before it and fails the next
// time, but the bytes of a record cut short may still be had by asking for
// fewer: from `file`'s position on, pieces that read whole are handed to
// `sink` and the others are asked for again at half the size, down to one
// byte. Leaves the position at the first byte that cannot be read; false
// when the sink stopped.
template <class Sink>
bool SalvageBeforeDamage(EntryFile& file, uint64_t end, Sink& sink) {
    uint64_t from = file.position();
    std::vector<uint8_t> bytes;
    for (uint32_t piece = 1u << 16; from < end && piece > 0;) {
        const uint32_t want = end - from < piece ? static_cast<uint32_t>(end - from) : piece;
        bytes.clear();
        if (file.Seek(from).ok() && file.Read(want, &bytes) == S_OK && bytes.size() == want) {
            if (!sink(bytes)) return false;
            from += want;
        } else {
            piece /= 2;
        }
    }
    (void)file.Seek(from);
    return true;
}

template <class Sink>
int ContainerSession::ReadThrough(EntryFile& file, const std::string& name, uint64_t end, Sink&& sink,
                                  const std::function<std::string()>& afterDamage) {
    std::vector<uint8_t> piece;
    piece.reserve(kPiece);
    while (file.position() < end) {
        const uint64_t left = end - file.position();
        const uint32_t want = left < kPiece ? static_cast<uint32_t>(left) : kPiece;
        piece.clear();
        int32_t result = file.Read(want, &piece);
        if (result == S_OK && !piece.empty()) {
            if (!sink(piece)) return kExitFailure;
            continue;
        }
        std::string what;
        if (result == RES_END_OF_DATA || result == S_OK) {
            result = RES_END_OF_DATA;
            what = "the entry ended at byte " + std::to_string(file.position()) + " of " + std::to_string(end);
        } else {
            if (!SalvageBeforeDamage(file, end, sink)) return kExitFailure;
            what = "read failed at byte " + std::to_string(file.position());
        }
        return afterDamage ? Fail(place(name), what, result, afterDamage()) : Fail(place(name), what, result);
    }
    return kExitOk;
}

}  // namespace cont

#endif
