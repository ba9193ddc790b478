// Feeds lists of arbitrary entry names (slashes, '.' and '..' parts, a name
// that is a file and a directory's prefix at once, bytes that are not
// UTF-8, control and zero bytes) to what cont builds from a container's
// listing: the tree and the view of `cont mount`, and the --json
// documents. Checks that no two names share a node, that every name is
// either placed where its path says or refused with a reason, that the
// view lists and finds exactly what was placed under names a file system
// can carry, and that every document parses and gives each name back
// exactly.
//
// Input: names one after another, each a 16-bit little-endian length and
// its bytes. A name no URL can carry reaches the view as the listing gives
// it, with its problem.
#include <errno.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host_library.h"
#include "mount/mount_tree.h"
#include "mount/mount_view.h"
#include "reports.h"
#include "results_report.h"

namespace {

using Json = nlohmann::json;
using cont::ListedEntry;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

std::vector<ListedEntry> ReadNames(const uint8_t* data, size_t size) {
    std::vector<ListedEntry> entries;
    for (size_t at = 0; at + 2 <= size && entries.size() < 256;) {
        const size_t length = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
        ListedEntry entry;
        entry.name.assign(reinterpret_cast<const char*>(data + at + 2), length);
        // As ContainerSession::ListEntries finds it.
        contfs::UrlCanName("/c.cnt", entry.name, &entry.problem);
        entry.sized = true;
        entry.size = length;
        entries.push_back(std::move(entry));
        at += 2 + length;
    }
    return entries;
}

std::string FromBase64(const std::string& text) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const size_t digit = kDigits.find(c);
        Check(digit != std::string::npos, "a base64 member holds a character that is no base64 digit");
        bits = bits << 6 | static_cast<uint32_t>(digit);
        if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8));
    }
    return bytes;
}

// The text under `key` as a script reads it: its exact bytes from
// KEY_base64 when that is there, else the text, which must then be it.
std::string TextOf(const Json& object, const std::string& key) {
    if (object.contains(key + "_base64")) return FromBase64(object[key + "_base64"].get<std::string>());
    return object[key].get<std::string>();
}

Json Parse(const std::string& text) {
    Json document = Json::parse(text, nullptr, false);
    Check(!document.is_discarded(), "a --json document does not parse");
    return document;
}

// Walks the view from its root: each directory lists its children once
// each, under leaves a file system can carry, each found again by Lookup.
void Walk(cont::MountView& view, uint64_t id, const std::string& path, std::set<std::string>* files,
          std::set<uint64_t>* seen) {
    Check(seen->insert(id).second, "a node is reached twice");
    std::vector<cont::DirectoryItem> items;
    Check(view.List(id, &items) == 0, "a directory of the tree cannot be listed");
    Check(items.size() >= 2 && items[0].name == "." && items[1].name == "..", "a listing lacks . and ..");
    std::set<std::string> leaves;
    for (size_t i = 2; i < items.size(); ++i) {
        const cont::DirectoryItem& item = items[i];
        Check(leaves.insert(item.name).second, "two children of one directory share a name");
        Check(!item.name.empty() && item.name != "." && item.name != ".." && item.name.size() <= 255,
              "a leaf no file system can carry");
        Check(item.name.find('/') == std::string::npos && item.name.find('\0') == std::string::npos,
              "a leaf with a '/' or a zero byte");
        struct stat attributes {};
        const int found = view.Lookup(id, item.name, &attributes);
        // A file's size comes from the container, which this view has not.
        Check(item.directory ? found == 0 : found == EIO, "a listed child is not found by its name");
        if (item.directory && found == 0) Check(attributes.st_ino == item.id, "a child is found as another node");
        const std::string full = path.empty() ? item.name : path + "/" + item.name;
        if (item.directory)
            Walk(view, item.id, full, files, seen);
        else
            Check(files->insert(full).second && seen->insert(item.id).second, "a file is reached twice");
    }
}

void CheckMount(const std::vector<ListedEntry>& entries) {
    cont::Module unloaded;
    cont::MountView view(unloaded);
    std::vector<std::pair<std::string, std::string>> left;
    view.Show(entries, &left);

    std::map<std::string, std::string> refused;
    for (const auto& [name, why] : left) {
        Check(!why.empty(), "a name is refused without a reason");
        refused.emplace(name, why);
    }
    std::set<std::string> placed;
    std::set<uint64_t> seen;
    Walk(view, cont::NodeNumbers::kRoot, "", &placed, &seen);
    for (const ListedEntry& entry : entries) {
        const bool isPlaced = placed.count(entry.name) != 0;
        Check(isPlaced != (refused.count(entry.name) != 0), "a name is neither placed nor refused, or both");
        if (!entry.problem.empty()) Check(!isPlaced, "an entry no URL opens is shown");
    }
    for (const std::string& path : placed) {
        bool listed = false;
        for (const ListedEntry& entry : entries) listed = listed || entry.name == path;
        Check(listed, "the view shows a file no entry is called");
    }
}

void CheckJson(const std::vector<ListedEntry>& entries) {
    cont::ListingReport listing;
    listing.container = entries.empty() ? std::string("c.cnt") : entries[0].name;
    cont::ResultsReport results;
    results.container = listing.container;
    std::vector<cont::Failure> failures;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ListedEntry& entry = entries[i];
        cont::ListingReport::Entry listed;
        listed.name = entry.name;
        listed.sized = entry.sized;
        listed.size = entry.size;
        listed.problem = entry.problem;
        listing.entries.push_back(listed);
        results.entries.push_back(cont::ResultsReport::Entry{entry.name, i % 2 == 0, entry.size, entry.name, i % 3 == 0});
        if (!entry.problem.empty()) failures.push_back(cont::Failure{cont::Place{results.container, entry.name}, entry.name});
    }
    failures.push_back(cont::Failure{cont::Place{}, "a failure of no entry"});

    const Json listed = Parse(cont::JsonOf(listing));
    Check(TextOf(listed, "container") == listing.container, "ls: the container comes back otherwise");
    Check(listed["entries"].size() == entries.size(), "ls: entries are missing");
    for (size_t i = 0; i < entries.size(); ++i) {
        Check(TextOf(listed["entries"][i], "name") == entries[i].name, "ls: a name comes back otherwise");
        if (!entries[i].problem.empty())
            Check(TextOf(listed["entries"][i], "problem") == entries[i].problem, "ls: a problem comes back otherwise");
    }

    const Json done = Parse(cont::JsonOf(results, 1, failures));
    Check(done["entries"].size() == entries.size(), "results: entries are missing");
    for (size_t i = 0; i < entries.size(); ++i) {
        const Json& entry = done["entries"][i];
        Check(TextOf(entry, "name") == entries[i].name, "results: a name comes back otherwise");
        if (!entries[i].name.empty()) Check(TextOf(entry, "file") == entries[i].name, "results: a file comes back otherwise");
        Check(entry["done"] == (i % 2 == 0) && entry["bytes"] == entries[i].size, "results: done or bytes differ");
    }
    Check(done["result"] == "failed" && done.contains("failures"), "results: the command's failure is missing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<ListedEntry> entries = ReadNames(data, size);
    CheckMount(entries);
    CheckJson(entries);
    return 0;
}
