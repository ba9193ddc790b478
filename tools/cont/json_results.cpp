// The --json output of pack, add, extract, rm and compact (json_text.h: how
// texts are given).
#include <map>
#include <set>

#include "json_text.h"
#include "results_report.h"
#include "standard_output.h"

namespace cont {

std::string JsonOf(const ResultsReport& report, int status, const std::vector<Failure>& failures) {
    // A failure concerns an entry when it names it, or names its file
    // alone (an input that cannot be read, a file that cannot be written).
    std::set<std::string> names;
    std::map<std::string, std::string> files;
    for (const ResultsReport::Entry& e : report.entries) {
        names.insert(e.name);
        if (!e.file.empty()) files.emplace(e.file, e.name);
    }
    // An entry's first failure is its reason; the failures that concern no
    // entry of the report are the command's own.
    std::map<std::string, std::string> problems;
    Json own = Json::array();
    for (const Failure& failure : failures) {
        const Place& place = failure.place;
        if (!place.entry.empty() && names.count(place.entry))
            problems.emplace(place.entry, failure.what);
        else if (place.entry.empty() && files.count(place.container))
            problems.emplace(files[place.container], failure.what);
        else
            own.push_back(Described(failure));
    }

    Json document;
    PutText(&document, "container", report.container);
    Json entries = Json::array();
    uint64_t bytes = 0;
    for (const ResultsReport::Entry& e : report.entries) {
        Json entry;
        PutText(&entry, "name", e.name);
        entry["done"] = e.done;
        entry["bytes"] = e.bytes;
        if (!e.file.empty()) PutText(&entry, "file", e.file);
        if (e.replaced) entry["replaced"] = true;
        auto problem = problems.find(e.name);
        if (problem != problems.end()) PutText(&entry, "problem", problem->second);
        entries.push_back(std::move(entry));
        bytes += e.bytes;
    }
    document["entries"] = std::move(entries);
    document["bytes"] = bytes;
    if (report.compacted) {
        document["before"] = report.compacted->before;
        document["after"] = report.compacted->after;
        // As the text says it: what a dry run would reclaim, too.
        const ResultsReport::Compacted& sizes = *report.compacted;
        document["reclaimed"] = sizes.before > sizes.after ? sizes.before - sizes.after : 0;
        document["replaced"] = report.compacted->replaced;
    }
    if (!own.empty()) {
        // Texts that are not UTF-8 are shown with U+FFFD: the names they
        // hold are given exactly by the entries.
        document["failures"] = std::move(own);
    }
    document["result"] = status == kExitOk ? "ok" : "failed";
    return DumpJson(document);
}

int PrintResults(bool json, const ResultsReport& report, int status) {
    if (json && status != kExitUsage) PutOut(JsonOf(report, status, Failures()) + "\n");
    return status;
}

}  // namespace cont
