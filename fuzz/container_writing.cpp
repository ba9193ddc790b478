#include "container_writing.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "buffer/byte_buffer.h"
#include "container/container_file.h"
#include "container/gathered_bytes.h"
#include "faulting_file.h"

namespace fuzz {

namespace {

// One entry a writing phase puts into a container, and what it must read as.
struct Planned {
    std::string name;
    std::string source;               // the bytes to append, in order
    size_t handed = 0;                // bytes of source the writer took
    std::string expect;               // what the entry holds, as far as the writer said
    std::string pending;              // a failed write's bytes: a prefix of them may be there too
    ContainerEntry* entry = nullptr;  // once added, until removed
    EntryCursor cursor;
    // Written through a gathering cursor: its appends wait in the writer's
    // memory until written out, and only the first inFile bytes of expect
    // are in the file for certain before then.
    bool gather = false;
    size_t inFile = 0;
    bool removed = false;
    // A cursor of the writer's own container that reads the entry as it grows.
    EntryCursor follower;
    std::string followed;
};

std::string RandomBytes(Choices& choices, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; i += 8) {
        const uint64_t word = choices.Next();
        std::memcpy(&bytes[i], &word, std::min<size_t>(8, count - i));
    }
    return bytes;
}

// What the file may hold beside what the writer said.
struct Leeway {
    bool failed = false;     // a write failed: the failed bytes may be there in part
    bool unflushed = false;  // read before the close, or a close that may not have written back
};

// How much of what the writer was told a reader of the file must find: all
// of it, but of a gathering writer's entry, before the close or after a
// close that may have failed, only the bytes written out for certain.
size_t Floor(const Planned& p, Leeway leeway) { return p.gather && leeway.unflushed ? p.inFile : p.expect.size(); }

// Whether `bytes` is a prefix of what the writer was told, plus a prefix of
// the failed write, that holds at least the floor's bytes.
bool WithinBounds(const std::string& bytes, const Planned& p, Leeway leeway) {
    const std::string most = leeway.failed ? p.expect + p.pending : p.expect;
    return bytes.size() >= Floor(p, leeway) && bytes.size() <= most.size() && most.compare(0, bytes.size(), bytes) == 0;
}

// The gathering clock stands still: gathered bytes never age, so they go
// out only where the writer makes them go (its seeks, an overwrite, a
// removal, Sync, the close), never from the module's flusher thread beside
// the harness and its fault.
void HoldGatherClockStill() {
    SetGatherClockForTests([] { return int64_t{0}; });
}

// Draws which planned entries are written through gathering cursors, from a
// stream of their own.
void ChooseGathering(std::vector<Planned>& planned, const Choices& choices) {
    Choices gathering = choices.Beside(0x6761746865720000ull);
    for (Planned& p : planned) p.gather = gathering.Below(2) == 0;
}

// Opens the container at path with a reader of its own and checks it
// against the writer's story: the entries found before (`old`) read the
// same (or, when `oldMayDiffer`, are still there), every planned entry
// holds what it should, and no other entry is there. The reading, for a
// second look.
Snapshot ExpectHolds(const std::string& path, const Snapshot& old, bool oldMayDiffer,
                     const std::vector<Planned>& planned, Leeway leeway, const std::string& what) {
    CContainerFile* reader = new CContainerFile(path.c_str(), kContainerReadAccess);
    reader->AddRef();
    const bool opened = reader->IsOpen() && reader->ReadDirectory() == S_OK;
    if (!opened) {
        bool anything = !old.entries.empty();
        for (const Planned& p : planned) anything |= Floor(p, leeway) != 0;
        if (anything) Broken(what + ": the container does not open");
        reader->Release();
        return {};
    }
    ReadLimits limits;
    const Snapshot now = ReadEveryEntry(reader, limits);
    for (const auto& [name, bytes] : old.entries) {
        auto found = now.entries.find(name);
        if (found == now.entries.end()) Broken(what + ": entry " + Shown(name) + ", there before, is gone");
        if (!oldMayDiffer)
            ExpectSameReading(bytes, found->second, old.damaged || now.damaged,
                              what + ", entry " + Shown(name) + " there before");
    }
    for (const Planned& p : planned) {
        ContainerEntry* entry = reader->FindEntry(CompactString(p.name.c_str()));
        const std::string where = what + ", entry " + Shown(p.name);
        if (!entry) {
            // A removed entry is marked at the close; an entry without
            // bytes reaches a new container's file with its first write.
            const bool mayLack = p.removed || !p.entry || (leeway.unflushed && Floor(p, leeway) == 0);
            if (!mayLack) Broken(where + ": not there");
            continue;
        }
        if (p.removed && !leeway.unflushed) Broken(where + ": still there after its removal");
        if (!p.removed && !p.entry) Broken(where + ": there, though its add failed");
        EntryCursor cursor;
        cursor.index = entry->index;
        const EntryBytes got = ReadThrough(reader, entry, cursor, 4096, nullptr, limits);
        if (got.stop != EntryBytes::Stop::kEnd || !WithinBounds(got.bytes, p, leeway))
            Broken(where + ": reads " + std::to_string(got.bytes.size()) + " bytes (result " + Hex(got.result) +
                   "), not the " + std::to_string(p.expect.size()) + " written" +
                   (p.gather ? " (gathered, " + std::to_string(p.inFile) + " written out)" : ""));
    }
    if (now.entries.size() < kMostEntriesRead) {
        for (const auto& [name, bytes] : now.entries) {
            bool known = old.entries.count(name) != 0;
            for (const Planned& p : planned) known |= p.name == name;
            if (!known) Broken(what + ": entry " + Shown(name) + " came from nowhere");
        }
    }
    reader->Release();
    return now;
}

// A write fault where the input chose, or none.
WriteFault ChooseFault(Choices& choices) {
    WriteFault fault;
    switch (choices.Below(6)) {
        case 0: fault.failingWrite = static_cast<int64_t>(choices.Below(40)); break;
        case 1: fault.room = static_cast<int64_t>(choices.Below(60000)); break;
        default: break;
    }
    return fault;
}

// The writing session of one container, as a careful host drives it: after
// the first failure it writes nothing more.
class Session {
public:
    Session(CContainerFile* container, WriteFault& fault, Choices& choices)
        : m_container(container), m_fault(fault), m_choices(choices) {}

    bool Stopped() const { return m_stopped; }
    bool Faulty() const { return m_fault.failingWrite >= 0 || m_fault.room >= 0 || m_fault.happened; }

    void Add(Planned& p) {
        p.entry = m_container->AddEntry(CompactString(p.name.c_str()));
        if (!p.entry) {
            Failed("AddEntry");
            return;
        }
        p.cursor.index = p.entry->index;
        p.cursor.gather = p.gather;
        p.follower.index = p.entry->index;
    }

    // Appends the next piece of the entry's source.
    void Append(Planned& p) {
        static const uint32_t kPieces[] = {1, 7, 100, 4096, 25000, 0xFFFFFFFFu};
        const size_t piece = kPieces[m_choices.Below(sizeof kPieces / sizeof kPieces[0])];
        const std::string bytes = p.source.substr(p.handed, piece);
        if (Write(p, bytes)) {
            p.expect += bytes;
            p.handed += bytes.size();
        }
    }

    // New bytes over old ones, perhaps running on past the end, then the
    // cursor back at the end. Only without faults: a write that fails in
    // place leaves the entry anywhere between its old and new bytes. The
    // seek writes a gathering cursor's bytes out.
    void Overwrite(Planned& p) {
        if (Faulty() || p.expect.empty()) return;
        const uint64_t at = m_choices.Below(p.expect.size());
        const std::string bytes =
            RandomBytes(m_choices, 1 + m_choices.Below(std::min<uint64_t>(30000, p.expect.size() - at + 100)));
        Check(m_container->SeekEntry(&p.cursor, at) == S_OK, "a seek back into a written entry");
        Check(Write(p, bytes), "an overwrite without a fault");
        p.expect.replace(at, bytes.size(), bytes);
        Check(p.cursor.logicalPosition == at + bytes.size(), "the cursor after an overwrite");
        Check(m_container->SeekEntry(&p.cursor, p.expect.size()) == S_OK, "a seek to the end of a written entry");
        p.inFile = p.expect.size();
        // What the follower read may have been overwritten.
        p.follower = EntryCursor();
        p.follower.index = p.entry->index;
        p.followed.clear();
    }

    void Remove(Planned& p) {
        const bool faultBefore = m_fault.happened;
        Check(m_container->RemoveEntry(CompactString(p.name.c_str())) == S_OK, "the removal of an added entry");
        p.entry = nullptr;
        p.removed = true;
        // The removal writes a gathering cursor's bytes out; where that
        // failed, the writer stops as at any failure.
        if (m_fault.happened && !faultBefore) m_stopped = true;
    }

    // Sync writes every gathered byte out. One that failed may have lost
    // gathered bytes, which the writer's own cursors then no longer read.
    void Sync(std::vector<Planned>& planned) {
        if (m_container->Sync() != S_OK) {
            Failed("Sync");
            return;
        }
        for (Planned& p : planned) p.inFile = p.expect.size();
    }

    // The follower reads on to the end of what was written; it must have
    // read exactly that.
    void Follow(Planned& p) {
        bool atEnd = false;
        for (uint32_t calls = 0; calls < 200 && !atEnd; ++calls) {
            const int32_t result = ReadOnce(m_container, p.entry, p.follower, m_choices.PieceSize(), &p.followed);
            if (result == RES_END_OF_DATA) {
                atEnd = true;
            } else if (result != S_OK) {
                // An entry without bytes has nothing to read.
                Check(p.expect.empty(), "a read beside the writer failed");
                atEnd = true;
            }
        }
        const bool prefix =
            p.followed.size() <= p.expect.size() && p.expect.compare(0, p.followed.size(), p.followed) == 0;
        if (!prefix || (atEnd && p.followed.size() != p.expect.size()))
            Broken("a cursor of the writer's container read " + std::to_string(p.followed.size()) + " bytes of entry " +
                   Shown(p.name) + ", not the " + std::to_string(p.expect.size()) + " written");
    }

private:
    bool Write(Planned& p, const std::string& bytes) {
        ByteBuffer* buffer = ByteBuffer::CreateWith(bytes.data(), static_cast<uint32_t>(bytes.size()));
        Check(buffer != nullptr, "a buffer");
        const int32_t result = m_container->WriteEntry(&p.cursor, buffer);
        buffer->Release();
        if (result == S_OK) return true;
        p.pending = bytes;
        Failed("WriteEntry");
        return false;
    }
    void Failed(const char* what) {
        if (!m_fault.happened) Broken(std::string(what) + " failed without a fault");
        m_stopped = true;
    }

    CContainerFile* m_container;
    WriteFault& m_fault;
    Choices& m_choices;
    bool m_stopped = false;
};

// Drives the session over the planned entries in an order the input chose,
// until every source was written, the writer stopped or the steps ran out.
// `beside` runs once, at a step the input chose.
template <class Beside>
void Drive(Session& session, std::vector<Planned>& planned, Choices& choices, Beside beside) {
    constexpr uint32_t kSteps = 48;
    const uint32_t besideAt = static_cast<uint32_t>(choices.Below(kSteps));
    for (uint32_t step = 0; step < kSteps && !session.Stopped(); ++step) {
        if (step == besideAt) {
            beside();
            // A Sync there that failed stopped the writer.
            if (session.Stopped()) break;
        }
        Planned& p = planned[choices.Below(planned.size())];
        if (p.removed) continue;
        if (!p.entry) {
            session.Add(p);
            continue;
        }
        switch (choices.Below(10)) {
            case 0: session.Overwrite(p); break;
            case 1: session.Follow(p); break;
            case 2:
                if (choices.Below(4) == 0) session.Remove(p);
                break;
            default:
                if (p.handed < p.source.size()) session.Append(p);
                break;
        }
    }
    for (Planned& p : planned) {
        if (p.entry && !session.Stopped()) session.Follow(p);
    }
}

// Whether the file at path, marked unclean in a copy, reads as `snapshot`
// once repaired: then its directory agrees with its data records, and what
// a repair makes of it (a reader beside a writer repairs in memory) must
// agree with what it held.
bool AgreesWithItsRecords(const std::string& path, const Snapshot& snapshot) {
    std::string bytes = ReadFile(path);
    const std::string copy = path + ".unclean";
    if (bytes.size() < 7) return false;
    if (bytes.compare(0, 4, ".W7K") == 0) {
        bytes[6] = 0;
    } else if (bytes.compare(0, 4, ".CFS") == 0) {
        bytes[4] = 0;
    } else {
        return false;
    }
    WriteFile(copy, bytes.data(), bytes.size());
    CContainerFile* reader = new CContainerFile(copy.c_str(), kContainerReadAccess);
    reader->AddRef();
    bool same = reader->IsOpen() && reader->ReadDirectory() == S_OK;
    if (same) {
        ReadLimits limits;
        const Snapshot repaired = ReadEveryEntry(reader, limits);
        same = repaired.entries.size() == snapshot.entries.size();
        for (const auto& [name, read] : snapshot.entries) {
            auto found = repaired.entries.find(name);
            same = same && found != repaired.entries.end() && found->second.bytes == read.bytes &&
                   found->second.stop == read.stop;
        }
    }
    reader->Release();
    unlink(copy.c_str());
    return same;
}

}  // namespace

void AddBesideReaders(const std::string& path, const Snapshot& before, Choices& choices) {
    HoldGatherClockStill();
    const std::string fileBefore = ReadFile(path);
    const bool oldAgree = AgreesWithItsRecords(path, before);
    WriteFault fault = ChooseFault(choices);
    CContainerFile* adder =
        new CContainerFile(path.c_str(), kContainerWriteAccess | kContainerAppendAccess, new FaultingFile(&fault));
    adder->AddRef();
    if (!adder->IsOpen()) {
        adder->Release();
        return;
    }
    if (adder->ReadDirectory() != S_OK) {
        adder->Release();
        if (!fault.happened && ReadFile(path) != fileBefore) Broken("an add that was refused changed the file");
        return;
    }

    std::vector<Planned> planned(1 + choices.Below(3));
    for (size_t i = 0; i < planned.size(); ++i) {
        planned[i].name = "fuzz-added-" + std::to_string(i);
        planned[i].source = RandomBytes(choices, choices.Below(70000));
        // A name the file holds already is not added but written to.
        if (adder->FindEntry(CompactString(planned[i].name.c_str()))) planned[i].removed = true;
    }
    ChooseGathering(planned, choices);
    Session session(adder, fault, choices);
    Drive(session, planned, choices, [&] {
        // A reader of its own, beside the writer, repairs the file in
        // memory (the writer holds it): what the writer added so far is
        // there, and what was there before reads as it did.
        Leeway leeway{fault.happened, true};
        ExpectHolds(path, before, !oldAgree, planned, leeway, "a reader beside an adding writer");
    });
    adder->Release();
    Leeway leeway{fault.happened, fault.happened};
    // The old entries read as before, unless a failed close left the file
    // to a repair that reads its records otherwise than its directory did.
    ExpectHolds(path, before, fault.happened && !oldAgree, planned, leeway, "the container after an add");
}

void CopyIntoNewContainer(const std::string& path, const Snapshot& source, Choices& choices) {
    HoldGatherClockStill();
    WriteFault fault = ChooseFault(choices);
    CContainerFile* creator = new CContainerFile(path.c_str(), kContainerWriteAccess, new FaultingFile(&fault));
    creator->AddRef();
    Check(creator->IsOpen(), "a new container's file");
    std::vector<Planned> planned;
    for (const auto& [name, read] : source.entries) {
        if (name.empty() || planned.size() == 6) continue;
        Planned p;
        p.name = name;
        p.source = read.bytes.substr(0, 65536);
        planned.push_back(p);
    }
    if (planned.empty()) {
        Planned p;
        p.name = "fuzz-made";
        p.source = RandomBytes(choices, choices.Below(70000));
        planned.push_back(p);
    }
    ChooseGathering(planned, choices);
    Session session(creator, fault, choices);
    const std::string copy = path + ".crash";
    Drive(session, planned, choices, [&] {
        // As a crash leaves it: the copy is repaired by its first reader,
        // and reads the same when opened again.
        if (choices.Below(2) == 0) session.Sync(planned);
        CopyFile(path, copy);
        Leeway leeway{fault.happened, true};
        const Snapshot repaired =
            ExpectHolds(copy, {}, false, planned, leeway, "a new container copied before its close");
        ExpectSameContainer(copy, repaired, "", "a repaired copy of a new container opened again");
        unlink(copy.c_str());
    });
    creator->Release();
    Leeway leeway{fault.happened, fault.happened};
    ExpectHolds(path, {}, false, planned, leeway, "a new container after its close");
    unlink(path.c_str());
}

}  // namespace fuzz
