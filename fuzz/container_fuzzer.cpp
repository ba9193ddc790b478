// Opens arbitrary bytes as a container file, as a file object opening an
// entry for reading would (construct, IsOpen, ReadDirectory, which may
// recover the file and rewrite it in place), then works every entry: lists
// them, finds each by name, reads each through in pieces of varied sizes,
// seeks to positions drawn from the input (the entry's size and one beyond
// among them), removes one entry and releases the container. Then takes the
// file up for adding (WriteAccess with AppendAccess); when that succeeds,
// adds an entry, and a reader of the file afterwards must find it whole.
//
// The input is the whole file, so a finding is itself a container file that
// the tests can open. The choices (piece sizes, seek targets, which entry is
// removed) come from a generator seeded with a hash of the input, so a run
// replays exactly.
//
// Work per input is bounded (entries, calls, bytes), so that a declared size
// of many gigabytes or thousands of tiny records cannot stall the fuzzer;
// the container itself must bound every scan by the file's end.
//
// Fuzzing (from the clang build in build/fuzz; fuzz/corpus-work/ is ignored):
//   mkdir -p fuzz/corpus-work/container
//   build/fuzz/fuzz/fuzz_container -max_total_time=600 -max_len=32768 -timeout=10 \
//       fuzz/corpus-work/container fuzz/corpus/container
// An entry record alone takes 8 KB, so inputs need a few tens of KB; the
// 257-entry seed is replayed whole but only fuzzed in its first max_len bytes.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "buffer/byte_buffer.h"
#include "container/container_file.h"

namespace {

constexpr uint32_t kMaxEntriesWorked = 64;
constexpr uint32_t kMaxCallsPerInput = 1500;
constexpr uint64_t kMaxBytesPerInput = 4u << 20;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// splitmix64, seeded with FNV-1a of the input.
class Choices {
public:
    Choices(const uint8_t* bytes, size_t size) {
        uint64_t h = 0xcbf29ce484222325ull;
        for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
        m_state = h;
    }
    uint64_t Next() {
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }

    // Small pieces cross record boundaries one byte at a time; the large
    // ones cross many records at once and test the clamps on absurd counts.
    uint32_t PieceSize() {
        static const uint32_t kPieces[] = {1, 2, 3, 7, 16, 100, 511, 4096, 25000, 65536, (1u << 20) + 1, 0xFFFFFFFFu};
        return kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
    }

private:
    uint64_t m_state;
};

class Budget {
public:
    bool Call() { return m_calls < kMaxCallsPerInput && m_bytes < kMaxBytesPerInput && (++m_calls, true); }
    void Bytes(uint64_t n) { m_bytes += n; }

private:
    uint32_t m_calls = 0;
    uint64_t m_bytes = 0;
};

// The scratch directory, a plain array so that it outlives every static
// destructor: it is removed at exit (each input's file is unlinked after it).
char g_scratchDir[4096];

void RemoveScratchDir() {
    if (g_scratchDir[0]) rmdir(g_scratchDir);
}

const std::string& ScratchPath() {
    static const std::string path = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzzcontXXXXXX";
        Check(pattern.size() < sizeof g_scratchDir, "scratch directory name");
        std::memcpy(g_scratchDir, pattern.c_str(), pattern.size() + 1);
        Check(mkdtemp(g_scratchDir) != nullptr, "scratch directory");
        std::atexit(RemoveScratchDir);
        return std::string(g_scratchDir) + "/input.cfs";
    }();
    return path;
}

void WriteInput(const std::string& path, const uint8_t* bytes, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr, "scratch file");
    Check(size == 0 || std::fwrite(bytes, 1, size, file) == size, "scratch write");
    Check(std::fclose(file) == 0, "scratch close");
}

// One ReadEntry with the promises that hold on any file: a success hands out
// a buffer of between 1 and count bytes and moves the cursor by that much;
// the end of the data hands out nothing and moves nothing.
int32_t ReadOnce(IContainerFile* container, const ContainerEntry* entry, EntryCursor& cursor, uint32_t count,
                 Budget& budget) {
    const uint64_t before = cursor.logicalPosition;
    IQLXBuffer* buffer = nullptr;
    int32_t result = container->ReadEntry(&cursor, &buffer, count);
    Check(result == S_OK || result == RES_END_OF_DATA || QLX_FAILED(result), "ReadEntry result");
    if (result == RES_END_OF_DATA) {
        Check(buffer == nullptr, "end of data hands out no buffer");
        Check(cursor.logicalPosition == before, "end of data moves the cursor");
    } else if (result == S_OK) {
        Check(buffer != nullptr, "a read hands out a buffer");
        const uint32_t got = buffer->GetSize();
        Check(got >= 1 && got <= count, "buffer size within the count");
        Check(buffer->GetBuffer() != nullptr, "buffer bytes");
        Check(cursor.logicalPosition == before + got, "cursor moved by the bytes read");
        Check(cursor.logicalPosition <= entry->size, "cursor beyond the entry");
    }
    if (buffer) {
        budget.Bytes(buffer->GetSize());
        // Touch every byte, so a sanitizer sees any that were never written.
        volatile uint8_t sum = 0;
        const uint8_t* bytes = buffer->GetBuffer();
        for (uint32_t i = 0; i < buffer->GetSize(); ++i) sum = sum + bytes[i];
        buffer->Release();
    }
    return result;
}

// Reads from the cursor's place to the end of the entry, or to the first
// failure, in pieces of one size (or of changing sizes).
void ReadThrough(IContainerFile* container, const ContainerEntry* entry, EntryCursor cursor, Choices& choices,
                 Budget& budget, bool varyPieces) {
    uint32_t piece = choices.PieceSize();
    while (budget.Call()) {
        if (varyPieces) piece = choices.PieceSize();
        int32_t result = ReadOnce(container, entry, cursor, piece, budget);
        if (result != S_OK) return;
    }
}

// The entry a listed name stands for. A listing puts a name the URL parser
// would misread (only digits, or one with an '&') in double quotes, and turns
// backslashes into slashes; a name that mixes both slashes cannot be told
// from its URL.
ContainerEntry* FindListed(IContainerFile* container, const std::string& listed) {
    std::vector<std::string> candidates{listed};
    if (listed.size() >= 2 && listed.front() == '"' && listed.back() == '"')
        candidates.push_back(listed.substr(1, listed.size() - 2));
    for (size_t i = 0, n = candidates.size(); i < n; ++i) {
        std::string back = candidates[i];
        for (char& c : back) c = c == '/' ? '\\' : c;
        if (back != candidates[i]) candidates.push_back(back);
    }
    for (const std::string& name : candidates) {
        if (name.empty()) continue;
        if (ContainerEntry* entry = container->FindEntry(CompactString(name.c_str()))) {
            Check(entry->name == CompactString(name.c_str()), "found under its own name");
            return entry;
        }
    }
    return nullptr;
}

void WorkEntry(IContainerFile* container, const std::string& listed, Choices& choices, Budget& budget) {
    ContainerEntry* entry = FindListed(container, listed);
    const bool mixedSlashes = listed.find('/') != std::string::npos;
    if (!entry && mixedSlashes) return;
    Check(entry != nullptr, "a listed entry is found by its name");

    EntryCursor fresh;
    fresh.index = entry->index;
    ReadThrough(container, entry, fresh, choices, budget, false);
    ReadThrough(container, entry, fresh, choices, budget, true);

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
        if (!budget.Call()) return;
        int32_t result = container->SeekEntry(&cursor, target);
        if (target > size) Check(QLX_FAILED(result), "a seek beyond the entry's size succeeded");
        if (result != S_OK) continue;
        Check(cursor.logicalPosition == target, "a seek lands on its target");
        if (target == size && size != 0) {
            if (!budget.Call()) return;
            IQLXBuffer* buffer = nullptr;
            Check(container->ReadEntry(&cursor, &buffer, 1) == RES_END_OF_DATA && !buffer,
                  "a read at the entry's size is the end of the data");
            continue;
        }
        if (choices.Below(2) == 0) {
            ReadThrough(container, entry, cursor, choices, budget, true);
        } else if (budget.Call()) {
            ReadOnce(container, entry, cursor, choices.PieceSize(), budget);
        }
    }
}

// Takes the file up for adding and adds one entry. Whatever the file held,
// once that succeeded the file must read as a container holding the new
// entry's bytes.
void AddAndReadBack(const std::string& path, Choices& choices) {
    std::string bytes(1 + choices.Below(70000), '\0');
    for (char& c : bytes) c = static_cast<char>(choices.Next());
    bool added = false;
    {
        CContainerFile* adder = new CContainerFile(path.c_str(), kContainerWriteAccess | kContainerAppendAccess);
        adder->AddRef();
        if (adder->IsOpen() && adder->ReadDirectory() == S_OK) {
            // Taken only when no entry holds the name already.
            const CompactString name("fuzz-added");
            ContainerEntry* entry = adder->FindEntry(name) ? nullptr : adder->AddEntry(name);
            if (entry) {
                EntryCursor cursor;
                cursor.index = entry->index;
                IQLXBuffer* buffer = ByteBuffer::CreateWith(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                            static_cast<uint32_t>(bytes.size()));
                added = buffer && adder->WriteEntry(&cursor, buffer) == S_OK;
                if (buffer) buffer->Release();
            }
        }
        adder->Release();
    }
    if (!added) return;
    CContainerFile* reader = new CContainerFile(path.c_str(), kContainerReadAccess);
    reader->AddRef();
    Check(reader->IsOpen() && reader->ReadDirectory() == S_OK, "a container added to reads back");
    ContainerEntry* entry = reader->FindEntry(CompactString("fuzz-added"));
    Check(entry != nullptr && entry->size == bytes.size(), "the added entry is there, whole");
    EntryCursor cursor;
    cursor.index = entry->index;
    IQLXBuffer* back = nullptr;
    Check(reader->ReadEntry(&cursor, &back, static_cast<uint32_t>(bytes.size())) == S_OK && back &&
              back->GetSize() == bytes.size() && std::memcmp(back->GetBuffer(), bytes.data(), bytes.size()) == 0,
          "the added entry reads back");
    back->Release();
    reader->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string& path = ScratchPath();
    WriteInput(path, bytes, size);
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

    IQLXEnumeratorIUnknown* entries = nullptr;
    Check(container->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&entries)) == S_OK,
          "enumerator");
    uint32_t count = 0;
    Check(entries->GetCount(&count) == S_OK, "GetCount");

    // The names listed, each taken from its URL "cont:///<path>?file=<name>".
    std::vector<std::string> names;
    const std::string prefix = "cont:///" + path + "?file=";
    uint32_t listed = 0;
    IUnknown* item = nullptr;
    int32_t result = entries->First(&item);
    for (; result == S_OK; result = entries->Next(&item)) {
        ++listed;
        if (!item) continue;
        IQLXBuffer* url = nullptr;
        Check(item->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&url)) == S_OK, "listed item is a buffer");
        item->Release();
        const uint32_t length = url->GetSize();
        const char* text = reinterpret_cast<const char*>(url->GetBuffer());
        Check(length >= 1 && text[length - 1] == '\0' && std::strlen(text) == length - 1, "listed URL is a text");
        Check(std::strncmp(text, prefix.c_str(), prefix.size()) == 0, "listed URL names the container");
        Check(length - 1 > prefix.size(), "listed URL names an entry");
        if (names.size() < kMaxEntriesWorked) names.emplace_back(text + prefix.size());
        url->Release();
    }
    Check(result == E_FAIL && item == nullptr, "the listing ends with E_FAIL");
    Check(listed == count, "the listing covers every entry number");

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
                entries->GetCount(&after);
                Check(after == count, "removal keeps the entry's number");
                Check(container->RemoveEntry(gone) == E_FAIL, "a second removal of the same name");
            }
        }
        // Removal from a container opened for reading reopened its file.
        if (ContainerEntry* entry = FindListed(container, names[choices.Below(names.size())])) {
            EntryCursor cursor;
            cursor.index = entry->index;
            ReadThrough(container, entry, cursor, choices, budget, true);
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

    entries->Release();
    container->Release();  // flushes and closes
    AddAndReadBack(path, choices);
    unlink(path.c_str());
    return 0;
}
