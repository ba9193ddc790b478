// The --json output of ls, stat and check (json_text.h: how texts are
// given).
#include <cstdio>

#include "json_text.h"
#include "reports.h"
#include "standard_output.h"

namespace cont {

std::string JsonOf(const ListingReport& report) {
    Json document;
    PutText(&document, "container", report.container);
    Json entries = Json::array();
    for (const ListingReport::Entry& e : report.entries) {
        Json entry;
        PutText(&entry, "name", e.name);
        if (e.cut) entry["name_cut"] = true;
        entry["size"] = e.sized ? Json(e.size) : Json();
        if (e.measured) entry["readable"] = e.readable;
        if (!e.url.empty()) PutText(&entry, "url", e.url);
        if (!e.problem.empty()) PutText(&entry, "problem", e.problem);
        entries.push_back(std::move(entry));
    }
    document["entries"] = std::move(entries);
    return DumpJson(document);
}

std::string JsonOf(const StatReport& report) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%06o", report.file.mode);
    Json document;
    PutText(&document, "container", report.container);
    PutText(&document, "name", report.name);
    document["size"] = report.file.size;
    PutText(&document, "url", report.url);
    document["container_file"] = {{"mode", mode},
                                  {"modified", report.file.modificationTime},
                                  {"accessed", report.file.accessTime},
                                  {"created", report.file.creationTime}};
    return DumpJson(document);
}

std::string JsonOf(const CheckReport& report) {
    const CheckReport::Header& h = report.header;
    Json header;
    if (h.fileBytes == 0) header["empty"] = true;
    header["variant"] = h.variant ? Json(h.variant) : Json();
    if (h.magicRead) PutText(&header, "magic", h.magic);
    if (h.hasVersion) header["version"] = h.version;
    if (h.clean >= 0) header["clean"] = h.clean == 1 ? Json(true) : h.clean == 0 ? Json(false) : Json(h.clean);
    if (!h.title.empty()) PutText(&header, "title", h.title);

    Json document;
    PutText(&document, "container", report.container);
    document["header"] = std::move(header);
    document["opened"] = report.opened;
    if (!report.openProblem.empty()) PutText(&document, "problem", report.openProblem);
    static const char* const kRepair[] = {"not needed", "repaired", "failed"};
    document["repair"] = kRepair[static_cast<int>(report.repair)];
    if (!report.recovered.empty()) PutText(&document, "recovered", report.recovered);
    if (report.damaged) {
        Json damage;
        damage["offset"] = report.damageOffset;
        damage["part"] = report.damagePart;
        PutText(&damage, "reason", report.damageReason);
        document["damage"] = std::move(damage);
    }
    Json entries = Json::array();
    for (const CheckReport::Entry& e : report.entries) {
        Json entry;
        PutText(&entry, "name", e.name);
        entry["size"] = e.sized ? Json(e.size) : Json();
        entry["ok"] = e.ok;
        if (e.sized) entry["readable"] = e.readable;
        if (!e.problem.empty()) PutText(&entry, "problem", e.problem);
        entries.push_back(std::move(entry));
    }
    document["entries"] = std::move(entries);
    document["read"] = report.read;
    document["problems"] = report.problems;
    document["result"] = report.problems == 0 ? "ok" : "failed";
    return DumpJson(document);
}

void PrintJson(const ListingReport& report) { PutOut(JsonOf(report) + "\n"); }
void PrintJson(const StatReport& report) { PutOut(JsonOf(report) + "\n"); }
void PrintJson(const CheckReport& report) { PutOut(JsonOf(report) + "\n"); }

}  // namespace cont
