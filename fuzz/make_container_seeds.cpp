// Writes the seed corpus of fuzz_container with the container's own writer:
//   make_container_seeds <output directory>
// Each seed is a whole container file: one the writer makes, or one derived
// from such a file the way damage or an interrupted writer would leave it.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "buffer/byte_buffer.h"
#include "container/container_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_out;

void Fail(const std::string& what) {
    std::fprintf(stderr, "make_container_seeds: %s\n", what.c_str());
    std::exit(1);
}

Bytes Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Save(const std::string& name, const Bytes& bytes) {
    std::ofstream out(g_out + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write " + name);
    std::printf("%-28s %8zu bytes\n", name.c_str(), bytes.size());
}

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

void Put32(Bytes& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Put64(Bytes& bytes, size_t at, uint64_t v) {
    Put32(bytes, at, static_cast<uint32_t>(v >> 32));
    Put32(bytes, at + 4, static_cast<uint32_t>(v));
}

// A clean ".W7K" header titled "ab.cfs", then `slots` entry slots in index
// records of 257 slots chained through their last; `slotOf` gives what each
// slot holds, from the offset at which the records after the index records
// begin.
template <typename SlotOf>
Bytes HeaderAndIndexes(uint32_t slots, SlotOf slotOf) {
    const uint8_t header[] = {'.', 'W', '7', 'K', 0, 1, 1, 0, 0, 0, 6, 'a', 'b', '.', 'c', 'f', 's'};
    Bytes bytes(header, header + sizeof header);
    const uint32_t indexes = (slots + 255) / 256;
    const size_t first = bytes.size();
    const size_t indexSize = 5 + 257 * 8;
    const uint64_t after = first + indexes * indexSize;
    bytes.resize(after);
    for (uint32_t k = 0; k < indexes; ++k) {
        const size_t at = first + k * indexSize;
        bytes[at] = 0;
        Put32(bytes, at + 1, 257 * 8);
        if (k + 1 < indexes) Put64(bytes, at + 5 + 256 * 8, at + indexSize);
    }
    for (uint32_t i = 0; i < slots; ++i) Put64(bytes, first + (i / 256) * indexSize + 5 + (i % 256) * 8, slotOf(i, after));
    return bytes;
}

// An entry record's head at `at`, with a name of `nameLength` bytes.
void EntryHead(Bytes& bytes, size_t at, uint32_t nameLength) {
    bytes.at(at) = 1;
    Put32(bytes, at + 1, nameLength + 8020);
    Put32(bytes, at + 5, nameLength);
}

// A container being written, with one cursor per entry added.
class Writer {
public:
    explicit Writer(const std::string& path) : m_path(path), m_container(new CContainerFile(path.c_str(), 2)) {
        m_container->AddRef();
        if (!m_container->IsOpen()) Fail("cannot create " + path);
    }
    ~Writer() { Close(); }
    uint32_t Add(const char* name) {
        ContainerEntry* entry = m_container->AddEntry(name);
        if (!entry) Fail(std::string("AddEntry ") + name);
        EntryCursor cursor;
        cursor.index = entry->index;
        m_cursors.push_back(cursor);
        return static_cast<uint32_t>(m_cursors.size() - 1);
    }
    void Write(uint32_t which, const Bytes& bytes) {
        ByteBuffer* buffer = ByteBuffer::CreateWith(bytes.data(), static_cast<uint32_t>(bytes.size()));
        int32_t result = m_container->WriteEntry(&m_cursors.at(which), buffer);
        buffer->Release();
        if (result != S_OK) Fail("WriteEntry");
    }
    void Remove(const char* name) {
        if (m_container->RemoveEntry(name) != S_OK) Fail(std::string("RemoveEntry ") + name);
    }
    void Close() {
        if (m_container) m_container->Release();
        m_container = nullptr;
    }
    Bytes Snapshot() const { return Load(m_path); }

private:
    std::string m_path;
    CContainerFile* m_container;
    std::vector<EntryCursor> m_cursors;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Fail("usage: make_container_seeds <output directory>");
    g_out = argv[1];
    char scratch[] = "/tmp/contseedsXXXXXX";
    if (!mkdtemp(scratch)) Fail("scratch directory");
    const std::string dir = scratch;
    const std::string path = dir + "/ab.cfs";  // a title of 6 bytes; see the .CFS seed

    {  // Entries but no data: nothing reaches the file.
        Writer w(path);
        w.Add("a");
        w.Add("b");
        w.Close();
        Save("entries-no-data", w.Snapshot());
    }
    Bytes one;
    {
        Writer w(path);
        w.Write(w.Add("a"), {'x', 'y', 'z'});
        w.Close();
        one = w.Snapshot();
        Save("one-entry-3-bytes", one);
    }
    Bytes interleaved;
    Bytes unclean;
    {  // Alternating writes: alternating data records; one entry stays empty.
        Writer w(path);
        uint32_t a = w.Add("clip");
        uint32_t b = w.Add("dir\\sub");
        w.Add("empty");
        for (int round = 0; round < 3; ++round) {
            w.Write(a, Pattern(40 + round, static_cast<uint8_t>(round)));
            w.Write(b, Pattern(25 + round, static_cast<uint8_t>(100 + round)));
        }
        w.Write(b, Pattern(9, 200));  // extends the open record
        // Copied before the close: clean flag 0, the last record growing
        // (length 0), entry tails still as written at the start.
        unclean = w.Snapshot();
        w.Close();
        interleaved = w.Snapshot();
        Save("two-interleaved", interleaved);
        Save("unclean-copy", unclean);
    }
    {  // A name removed and added again, twice, copied before the close:
       // three entry records of that name, the two earlier not marked removed.
        Writer w(path);
        w.Write(w.Add("clip"), Pattern(30, 1));
        w.Write(w.Add("keep"), Pattern(20, 2));
        for (uint8_t round = 0; round < 2; ++round) {
            w.Remove("clip");
            w.Write(w.Add("clip"), Pattern(10 + round, static_cast<uint8_t>(3 + round)));
        }
        Save("name-added-again", w.Snapshot());
    }
    {  // Two entries in 1000-byte pieces, alternately, past their first
       // seek-table chunk (25000 bytes): a seek beyond it scans from slot 1,
       // and every scan maps the other entry's records too.
        Writer w(path);
        uint32_t a = w.Add("a");
        uint32_t b = w.Add("b");
        for (int round = 0; round < 27; ++round) {
            w.Write(a, Pattern(1000, static_cast<uint8_t>(round)));
            w.Write(b, Pattern(1000, static_cast<uint8_t>(50 + round)));
        }
        w.Close();
        Save("interleaved-past-a-slot", w.Snapshot());
    }
    {  // Names a listing puts in double quotes: only digits, or with an '&'.
        Writer w(path);
        w.Write(w.Add("42"), {'n'});
        w.Write(w.Add("a&b"), {'m'});
        w.Close();
        Save("quoted-names", w.Snapshot());
    }
    {  // 257 entries: a second index record, linked from slot 256 of the first.
        Writer w(path);
        std::vector<uint32_t> cursors;
        for (int i = 0; i < 257; ++i) cursors.push_back(w.Add(("e" + std::to_string(i)).c_str()));
        for (int i = 0; i < 257; i += 64) w.Write(cursors[i], Pattern(3, static_cast<uint8_t>(i)));
        w.Write(cursors[256], {'l', 'a', 's', 't'});
        w.Close();
        Save("entries-257", w.Snapshot());
    }
    {  // ".CFS": no version field, so a title two bytes longer keeps every
       // offset of the ".W7K" file it is made from.
        Bytes cfs = interleaved;
        const uint8_t head[] = {'.', 'C', 'F', 'S', 1, 0, 0, 0, 8, 'o', 'l', 'd', '-', 'a', 'b', '.', 'c'};
        if (cfs.size() < sizeof head || cfs[10] != 6) Fail("unexpected header");
        std::copy(head, head + sizeof head, cfs.begin());
        Save("cfs-variant", cfs);
    }
    {  // Cut short inside records: the data of the last record, and an entry record.
        Save("cut-in-data", Bytes(interleaved.begin(), interleaved.end() - 20));
        Bytes unclean_cut(unclean.begin(), unclean.end() - 5);
        Save("unclean-cut-in-data", unclean_cut);
        Save("cut-in-entry-record", Bytes(one.begin(), one.begin() + 11 + 6 + 5 + 2056 + 4000));
    }
    {  // Version 0, which a reader accepts.
        Bytes v0 = one;
        v0[5] = 0;
        Save("version-0", v0);
    }
    {  // An entry removed from a clean file opened for reading: its record's name starts with 0.
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(interleaved.data()), static_cast<std::streamsize>(interleaved.size()));
        CContainerFile* reader = new CContainerFile(path.c_str(), 1);
        reader->AddRef();
        if (reader->ReadDirectory() != S_OK || reader->RemoveEntry("clip") != S_OK) Fail("RemoveEntry");
        reader->Release();
        Save("removed-entry", Load(path));
    }
    {  // Entry records 16 bytes apart, each claiming a name of 1 MB that
       // runs over the records after it (its name then ends at the first
       // zero byte of the next record's length).
        const uint32_t records = 4096, nameLength = 1u << 20, apart = 16;
        Bytes bytes = HeaderAndIndexes(records, [&](uint32_t i, uint64_t after) { return after + uint64_t{i} * apart; });
        const size_t first = bytes.size();
        bytes.resize(first + (records - 1) * apart + 9 + nameLength + 8016);
        for (uint32_t i = 0; i < records; ++i) {
            const size_t at = first + i * apart;
            EntryHead(bytes, at, nameLength);
            char name[apart - 9 + 1];  // the bytes before the next record's head
            std::snprintf(name, sizeof name, "n%06u", i);
            std::copy(name, name + (apart - 9), bytes.begin() + at + 9);
        }
        Save("overlapping-entry-records", bytes);
    }
    {  // Every index slot names the same entry record, whose name has 1 MB
       // (the container tests build the full size: 65536 slots, 16 MB).
        const uint32_t slots = 4096, nameLength = 1u << 20;
        Bytes bytes = HeaderAndIndexes(slots, [](uint32_t, uint64_t after) { return after; });
        const size_t at = bytes.size();
        bytes.resize(at + 9 + nameLength + 8016);
        EntryHead(bytes, at, nameLength);
        std::fill(bytes.begin() + at + 9, bytes.begin() + at + 9 + nameLength, 'n');
        Save("slots-sharing-one-entry-record", bytes);
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
    return 0;
}
