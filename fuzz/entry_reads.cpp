#include "entry_reads.h"

#include <algorithm>
#include <cstring>

#include "container/container_file.h"
#include "util/compact_string.h"

namespace fuzz {

namespace {

const char* StopName(EntryBytes::Stop stop) {
    switch (stop) {
        case EntryBytes::Stop::kEnd: return "the end";
        case EntryBytes::Stop::kFailed: return "a failure";
        case EntryBytes::Stop::kCut: return "a limit";
    }
    return "?";
}

std::string Describe(const EntryBytes& r) {
    char text[160];
    std::snprintf(text, sizeof text, "%zu bytes from %llu, stopped by %s (0x%08x)", r.bytes.size(),
                  static_cast<unsigned long long>(r.from), StopName(r.stop), static_cast<unsigned>(r.result));
    return text;
}

}  // namespace

int32_t ReadOnce(IContainerFile* container, const ContainerEntry* entry, EntryCursor& cursor, uint32_t count,
                 std::string* into) {
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
        Check(cursor.logicalPosition <= container->EntrySize(entry), "cursor beyond the entry");
        // Copied whatever the caller wants: the sanitizer sees every byte.
        std::string bytes(reinterpret_cast<const char*>(buffer->GetBuffer()), got);
        if (into) into->append(bytes);
    }
    if (buffer) buffer->Release();
    return result;
}

EntryBytes ReadThrough(IContainerFile* container, const ContainerEntry* entry, EntryCursor cursor, uint32_t piece,
                       Choices* choices, const ReadLimits& limits) {
    EntryBytes read;
    read.from = cursor.logicalPosition;
    for (; read.calls < limits.calls && read.bytes.size() < limits.bytes; ++read.calls) {
        if (choices) piece = choices->PieceSize();
        read.result = ReadOnce(container, entry, cursor, piece, &read.bytes);
        // An entry without bytes fails its first read rather than end.
        if (read.result == E_FAIL && read.bytes.empty() && container->EntrySize(entry) == 0)
            read.result = RES_END_OF_DATA;
        if (read.result != S_OK) {
            ++read.calls;
            read.stop = read.result == RES_END_OF_DATA ? EntryBytes::Stop::kEnd : EntryBytes::Stop::kFailed;
            return read;
        }
    }
    // The limit cuts the reading at a place of its own, the same for every
    // reading held against this one.
    if (read.bytes.size() > limits.bytes) read.bytes.resize(limits.bytes);
    read.stop = EntryBytes::Stop::kCut;
    return read;
}

bool MetDamage(IContainerFile* container) {
    IQLXContainerInspector* inspector = nullptr;
    Check(container->QueryInterface(IID_IQLXContainerInspector, reinterpret_cast<void**>(&inspector)) == S_OK,
          "inspector");
    int32_t found = 0;
    uint64_t offset = 0;
    uint32_t part = 0;
    const char* reason = nullptr;
    Check(inspector->GetFirstDamage(&found, &offset, &part, &reason) == S_OK, "GetFirstDamage");
    inspector->Release();
    return found != 0;
}

void ExpectSameReading(const EntryBytes& a, const EntryBytes& b, bool damaged, const std::string& what) {
    if (a.from != b.from) Broken(what + ": readings from different places");
    const size_t common = std::min(a.bytes.size(), b.bytes.size());
    if (std::memcmp(a.bytes.data(), b.bytes.data(), common) != 0) {
        size_t at = 0;
        while (a.bytes[at] == b.bytes[at]) ++at;
        Broken(what + ": the bytes differ at logical position " + std::to_string(a.from + at) + " (" + Describe(a) +
               "; " + Describe(b) + ")");
    }
    // A reading cut by a limit may have stopped anywhere before the other.
    const bool aCut = a.stop == EntryBytes::Stop::kCut, bCut = b.stop == EntryBytes::Stop::kCut;
    const bool shorterCut = (aCut && a.bytes.size() <= b.bytes.size()) || (bCut && b.bytes.size() <= a.bytes.size());
    if (shorterCut || damaged) return;
    if (a.bytes.size() != b.bytes.size() || a.stop != b.stop)
        Broken(what + ": the readings stop at different places (" + Describe(a) + "; " + Describe(b) + ")");
}

std::vector<std::string> ListedNames(IContainerFile* container, uint32_t most) {
    IQLXEnumeratorIUnknown* entries = nullptr;
    Check(container->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&entries)) == S_OK,
          "enumerator");
    uint32_t count = 0;
    Check(entries->GetCount(&count) == S_OK, "GetCount");
    std::vector<std::string> names;
    const std::string prefix = std::string("cont:///") + container->GetPath() + "?file=";
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
        if (names.size() < most) names.emplace_back(text + prefix.size());
        url->Release();
    }
    Check(result == E_FAIL && item == nullptr, "the listing ends with E_FAIL");
    Check(listed == count, "the listing covers every entry number");
    entries->Release();
    return names;
}

// A listing puts a name the URL parser would misread (only digits, or one
// with an '&') in double quotes, and turns backslashes into slashes; a name
// that mixes both slashes cannot be told from its URL.
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

ContainerEntry* FindListedNow(IContainerFile* container, const std::string& listed) {
    ContainerEntry* entry = FindListed(container, listed);
    if (!entry && listed.find('/') == std::string::npos)
        Broken("the listed entry " + Shown(listed) + " of " + container->GetPath() + " is not found by its name");
    return entry;
}

Snapshot ReadEveryEntry(IContainerFile* container, const ReadLimits& limits) {
    Snapshot snapshot;
    for (const std::string& listed : ListedNames(container, kMostEntriesRead)) {
        ContainerEntry* entry = FindListedNow(container, listed);
        if (!entry) continue;
        EntryCursor cursor;
        cursor.index = entry->index;
        snapshot.entries[entry->name.GetChars()] = ReadThrough(container, entry, cursor, 4096, nullptr, limits);
    }
    snapshot.damaged = MetDamage(container);
    return snapshot;
}

void ExpectSameContainer(const std::string& path, const Snapshot& before, const std::string& gone,
                         const std::string& what) {
    CContainerFile* again = new CContainerFile(path.c_str(), kContainerReadAccess);
    again->AddRef();
    if (again->IsOpen()) again->ReadDirectory();
    ReadLimits limits;
    const Snapshot after = again->IsOpen() ? ReadEveryEntry(again, limits) : Snapshot();
    const bool damaged = before.damaged || after.damaged;
    for (const auto& [name, bytes] : before.entries) {
        if (name == gone) continue;
        auto found = after.entries.find(name);
        if (found == after.entries.end()) Broken(what + ": entry " + Shown(name) + " is gone");
        ExpectSameReading(bytes, found->second, damaged, what + ", entry " + Shown(name));
    }
    for (const auto& [name, bytes] : after.entries) {
        if (!before.entries.count(name) && before.entries.size() < kMostEntriesRead)
            Broken(what + ": entry " + Shown(name) + " came from nowhere");
    }
    again->Release();
}

}  // namespace fuzz
