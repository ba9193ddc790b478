// The --json output. Texts that come from files (names, titles, paths) may
// hold any bytes: control bytes are written with JSON's own escapes, and a
// text that is not valid UTF-8 is shown with U+FFFD for each invalid byte
// beside a "KEY_base64" member that gives its exact bytes.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "reports.h"
#include "standard_output.h"

namespace cont {

namespace {

using Json = nlohmann::ordered_json;

bool ValidUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

void PutText(Json* object, const std::string& key, const std::string& text) {
    (*object)[key] = text;
    if (!ValidUtf8(text)) (*object)[key + "_base64"] = Base64(text);
}

void Print(const Json& document) {
    const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
    PrintOut("%s\n", text.c_str());
}

}  // namespace

void PrintJson(const ListingReport& report) {
    Json document;
    PutText(&document, "container", report.container);
    Json entries = Json::array();
    for (const ListingReport::Entry& e : report.entries) {
        Json entry;
        PutText(&entry, "name", e.name);
        if (e.cut) entry["name_cut"] = true;
        entry["size"] = e.sized ? Json(e.size) : Json();
        if (!e.url.empty()) PutText(&entry, "url", e.url);
        if (!e.problem.empty()) PutText(&entry, "problem", e.problem);
        entries.push_back(std::move(entry));
    }
    document["entries"] = std::move(entries);
    Print(document);
}

void PrintJson(const StatReport& report) {
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
    Print(document);
}

void PrintJson(const CheckReport& report) {
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
    Print(document);
}

}  // namespace cont
