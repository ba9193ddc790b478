// Opens arbitrary bytes as a container file, as a file object opening an
// entry for reading would (construct, IsOpen, ReadDirectory, which may
// recover the file and rewrite it in place), then works every entry and
// holds what it reads against itself:
//
//   - each entry is read through twice, in pieces of one size and in pieces
//     of changing sizes: both readings deliver the same bytes and stop at
//     the same place (the end, or the same damage);
//   - seeks to positions drawn from the input (the entry's size and one
//     beyond among them), each followed by a read: what a read after a seek
//     delivers is what the reading from the start delivered there;
//   - one entry is removed, and the container released; the file opened
//     again (as its recovery, if any, left it) reads the same, entry for
//     entry;
//   - the file is taken up for adding (container_writing.h): a few entries
//     are added in pieces, interleaved, some through gathering cursors,
//     while readers read beside the writer, sometimes with a write failing;
//     the entries there before read the same afterwards, the added ones as
//     written;
//   - a new container is made of the entries read, written in pieces, copied
//     before its close as a crash would leave it, and read back.
//
// The input is the whole file, so a finding is itself a container file that
// the tests can open. The choices (piece sizes, seek targets, which entry is
// removed, what is written, the fault) come from a generator seeded with a
// hash of the input, so a run replays exactly.
//
// Work per input is bounded (entries, calls, bytes), so that a declared size
// of many gigabytes or thousands of tiny records cannot stall the fuzzer;
// the container itself must bound every scan by the file's end.
//
// Fuzzing (from the clang build in build/fuzz; fuzz/corpus-work/ is ignored;
// TMPDIR on a memory file system spares the disk):
//   mkdir -p fuzz/corpus-work/container
//   TMPDIR=/dev/shm build/fuzz/fuzz/fuzz_container -max_total_time=600 -max_len=32768 -timeout=10 \
//       fuzz/corpus-work/container fuzz/corpus/container
// An entry record alone takes 8 KB, so inputs need a few tens of KB; the
// 257-entry seed is replayed whole but only fuzzed in its first max_len bytes.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "container/container_file.h"
#include "container_writing.h"
#include "entry_reads.h"
#include "fuzz_support.h"

namespace {

using namespace fuzz;

constexpr uint32_t kMaxEntriesWorked = 64;
constexpr uint32_t kMaxCallsPerInput = 3000;

// Calls left for the reads of one input.
class Budget {
public:
    ReadLimits Limits() const { return ReadLimits{1u << 20, std::min<uint32_t>(400, m_left)}; }
    void Spend(uint32_t calls) { m_left -= std::min(calls, m_left); }
    bool Empty() const { return m_left == 0; }

private:
    uint32_t m_left = kMaxCallsPerInput;
};

EntryBytes Read(IContainerFile* container, const ContainerEntry* entry, const EntryCursor& cursor, uint32_t piece,
                Choices* choices, Budget& budget) {
    EntryBytes read = ReadThrough(container, entry, cursor, piece, choices, budget.Limits());
    budget.Spend(read.calls);
    return read;
}

// What `reading` delivered from `position` on, as a reading starting there.
EntryBytes From(const EntryBytes& reading, uint64_t position) {
    EntryBytes rest = reading;
    rest.from = position;
    rest.bytes = reading.bytes.substr(position - reading.from);
    return rest;
}

void WorkEntry(IContainerFile* container, const std::string& listed, Choices& choices, Budget& budget) {
    ContainerEntry* entry = FindListedNow(container, listed);
    if (!entry) return;
    const std::string name = "entry " + Shown(entry->name.GetChars());

    EntryCursor fresh;
    fresh.index = entry->index;
    const EntryBytes fixed = Read(container, entry, fresh, choices.PieceSize(), nullptr, budget);
    const EntryBytes varied = Read(container, entry, fresh, 0, &choices, budget);
    ExpectSameReading(fixed, varied, MetDamage(container), name + " read in pieces of one size and of changing sizes");
    const EntryBytes& whole = fixed.bytes.size() >= varied.bytes.size() ? fixed : varied;

    const uint64_t size = entry->size;
    const uint64_t targets[] = {0,
                                size,
                                size + 1,
                                size / 2,
                                choices.Below(size + 1),
                                choices.Below(size + 1),
                                size > 0 ? size - 1 : 0,
                                choices.Next()};
    EntryCursor cursor = fresh;
    for (uint64_t target : targets) {
        if (budget.Empty()) return;
        budget.Spend(1);
        int32_t result = container->SeekEntry(&cursor, target);
        if (target > size) Check(QLX_FAILED(result), "a seek beyond the entry's size succeeded");
        if (result != S_OK) continue;
        Check(cursor.logicalPosition == target, "a seek lands on its target");
        if (target == size && size != 0) {
            budget.Spend(1);
            IQLXBuffer* buffer = nullptr;
            Check(container->ReadEntry(&cursor, &buffer, 1) == RES_END_OF_DATA && !buffer,
                  "a read at the entry's size is the end of the data");
            continue;
        }
        EntryBytes afterSeek;
        if (choices.Below(2) == 0) {
            afterSeek = Read(container, entry, cursor, 0, &choices, budget);
        } else {
            afterSeek.from = target;
            budget.Spend(1);
            afterSeek.result = ReadOnce(container, entry, cursor, choices.PieceSize(), &afterSeek.bytes);
            afterSeek.stop = afterSeek.result == S_OK              ? EntryBytes::Stop::kCut
                             : afterSeek.result == RES_END_OF_DATA ? EntryBytes::Stop::kEnd
                                                                   : EntryBytes::Stop::kFailed;
        }
        // Past where the reading from the start stopped nothing is known.
        // Where it stopped at damage, a seek may pass over the damage; a
        // read from before it must stop there too.
        if (target < whole.bytes.size())
            ExpectSameReading(From(whole, target), afterSeek, MetDamage(container),
                              name + " read after a seek to " + std::to_string(target));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string path = ScratchDir() + "/input.cfs";
    WriteFile(path, bytes, size);
    Choices choices(bytes, size);
    Budget budget;

    CContainerFile* created = new CContainerFile(path.c_str(), kContainerReadAccess);
    IContainerFile* container = created;
    container->AddRef();
    if (!container->IsOpen()) {
        container->Release();
        unlink(path.c_str());
        return 0;
    }
    // Entries loaded before a failure stay loaded; they are worked as well.
    const int32_t read = container->ReadDirectory();
    Check(read == S_OK || QLX_FAILED(read), "ReadDirectory result");
    uint32_t count = 0;
    Check(created->GetCount(&count) == S_OK, "GetCount");

    const std::vector<std::string> names = ListedNames(container, kMaxEntriesWorked);
    for (const std::string& name : names) WorkEntry(container, name, choices, budget);

    // The first entry holding data, as an empty name asks for.
    if (ContainerEntry* first = container->FindEntry(CompactString())) {
        Check(first->size != 0 && !first->name.IsEmpty(), "the empty name finds an entry with data");
    }

    if (!names.empty()) {
        if (ContainerEntry* entry = FindListed(container, names[choices.Below(names.size())])) {
            const CompactString gone = entry->name;
            if (container->RemoveEntry(gone) == S_OK) {
                Check(container->FindEntry(gone) == nullptr, "a removed entry is still found");
                uint32_t after = 0;
                created->GetCount(&after);
                Check(after == count, "removal keeps the entry's number");
                Check(container->RemoveEntry(gone) == E_FAIL, "a second removal of the same name");
            }
        }
        // Removal from a container opened for reading reopened its file.
        if (ContainerEntry* entry = FindListed(container, names[choices.Below(names.size())])) {
            EntryCursor cursor;
            cursor.index = entry->index;
            Read(container, entry, cursor, 0, &choices, budget);
        }
    }

    // A directory that failed for its bytes says where and why.
    IQLXContainerInspector* inspector = nullptr;
    Check(container->QueryInterface(IID_IQLXContainerInspector, reinterpret_cast<void**>(&inspector)) == S_OK,
          "inspector");
    int32_t found = 0, ran = 0, writtenBack = 0;
    uint64_t offset = 0;
    uint32_t part = 0, dataRecords = 0, rebuilt = 0;
    const char* reason = nullptr;
    const char* summary = nullptr;
    Check(inspector->GetFirstDamage(&found, &offset, &part, &reason) == S_OK && reason, "GetFirstDamage");
    Check(inspector->GetRecovery(&ran, &dataRecords, &rebuilt, &writtenBack, &summary) == S_OK && summary,
          "GetRecovery");
    if (QLX_FAILED(read) && read != E_OUTOFMEMORY) Check(found && *reason, "a failed directory says why");
    Check(!found == !*reason, "a reason goes with every damage and only with one");
    Check(!ran == !*summary && rebuilt <= count, "a summary goes with every recovery and only with one");
    inspector->Release();

    ReadLimits limits;
    const Snapshot snapshot = ReadEveryEntry(container, limits);
    container->Release();  // flushes and closes

    // As its recovery (if any) left it, the file reads the same again.
    ExpectSameContainer(path, snapshot, "", "the file opened a second time");
    AddBesideReaders(path, snapshot, choices);
    CopyIntoNewContainer(ScratchDir() + "/made.cfs", snapshot, choices);
    unlink(path.c_str());
    return 0;
}
