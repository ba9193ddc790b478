// cont check: the header, a repair when the container was not closed
// cleanly, and every byte of every entry read through.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "container_session.h"
#include "errors.h"
#include "standard_output.h"
#include "local_files.h"
#include "readable_bytes.h"
#include "pack/replacement_directory.h"
#include "reports.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont check [--json] C.cnt\n"
    "Reports the header of C.cnt (variant, version, clean flag, title), repairs\n"
    "it when it was not closed cleanly (the module does so on opening) and says\n"
    "what it rebuilt, reads every entry through and says how many of its bytes\n"
    "are readable, and gives the offset and reason of the first damage met.\n"
    "Exits with 1 and the reason when anything fails. What an interrupted pack\n"
    "--force or compact of C.cnt left beside it is removed when it is proved\n"
    "stale, and named otherwise.\n"
    "\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

// The header as cont shows it, from what the module tells (nothing when it
// could not even open the file).
CheckReport::Header HeaderOf(uint64_t fileBytes, const Inspection* found) {
    CheckReport::Header h;
    h.fileBytes = fileBytes;
    if (!found || fileBytes < 4) return h;
    h.magicRead = true;
    for (int shift = 24; shift >= 0; shift -= 8) h.magic += static_cast<char>(found->magic >> shift);
    if (found->magic == ContainerMagicW7K) h.variant = ".W7K";
    if (found->magic == ContainerMagicCFS) h.variant = ".CFS";
    if (!h.variant) return h;
    // A ".W7K" header gives its version with its clean flag; a version the
    // module refuses stops it before the flag.
    h.hasVersion = found->magic == ContainerMagicW7K && (found->clean >= 0 || found->version != 0);
    h.version = found->version;
    h.clean = found->clean;
    h.title = found->title;
    return h;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char text[4];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%s%02X", out.empty() ? "" : " ", c);
        out += text;
    }
    return out;
}

void PrintHeader(const std::string& path, const CheckReport::Header& h) {
    PrintOut("container: %s\n", Printable(path).c_str());
    if (h.fileBytes == 0) {
        PrintOut("variant:   none (empty file)\n");
        return;
    }
    if (!h.magicRead) return;
    if (!h.variant) {
        PrintOut("variant:   unknown (first bytes %s)\n", Hex(h.magic).c_str());
        return;
    }
    PrintOut("variant:   %s\n", h.variant);
    if (h.hasVersion) PrintOut("version:   %u\n", h.version);
    if (h.clean >= 0) PrintOut("clean:     %s\n", h.clean == 1 ? "yes" : h.clean == 0 ? "no" : "unknown value");
    if (!h.title.empty()) PrintOut("title:     %s\n", Printable(h.title).c_str());
}

const char* PartName(uint32_t part, char* scratch, size_t size) {
    switch (part) {
        case ContainerPartHeader: return "the header";
        case ContainerPartIndexRecord: return "an index record";
        case ContainerPartEntryRecord: return "an entry record";
        case ContainerPartDataRecord: return "a data record";
        default: std::snprintf(scratch, size, "a record of type %" PRIu32, part); return scratch;
    }
}

// The first damage the module met, where and why, into the report.
void FindDamage(ContainerSession& session, CheckReport* report) {
    Inspection inspection;
    if (!session.Inspect(&inspection) || !inspection.damaged) return;
    char scratch[32];
    report->damaged = true;
    report->damageOffset = inspection.offset;
    report->damagePart = PartName(inspection.part, scratch, sizeof scratch);
    report->damageReason = inspection.reason;
}

void PrintDamage(const CheckReport& report) {
    if (report.damaged)
        PrintOut("damage:    at offset %" PRIu64 ", in %s: %s\n", report.damageOffset, report.damagePart.c_str(),
                 Printable(report.damageReason).c_str());
}

// Reads every entry through; the report says how each went.
void CheckEntries(ContainerSession& session, const std::vector<ListedEntry>& entries, bool quiet, bool json,
                  CheckReport* report) {
    for (const ListedEntry& listed : entries) {
        CheckReport::Entry e;
        e.name = listed.name;
        const std::string& name = listed.name;
        EntryFile entry;
        int32_t result = S_OK;
        if (!listed.problem.empty()) {
            Fail(session.place(name), "cannot be opened by URL: " + listed.problem, E_INVALIDARG);
        } else if (session.OpenEntry(name, &entry, true) == kExitOk) {
            if (QLX_FAILED(result = entry.Size(&e.size))) {
                Fail(session.place(name), "cannot stat the entry", result);
            } else {
                e.sized = true;
                e.ok = ReadableBytes(session, entry, name, e.size, "checking", quiet, &e.readable) == kExitOk;
                if (!json)
                    PrintOut("  %s: %" PRIu64 " of %" PRIu64 " bytes readable\n", Printable(name).c_str(), e.readable,
                             e.size);
                report->read += e.readable;
            }
        }
        if (!e.ok) e.problem = LastFailure();
        report->problems += !e.ok;
        report->entries.push_back(std::move(e));
    }
}

int RunCheck(const Args& args, Tool& tool) {
    if (args.positionals.size() != 1) return UsageError(kCheckCommand.name, "needs exactly one container");
    const std::string& path = args.positionals[0];
    const bool json = args.Has("json");
    const Place place{path, {}};
    if (KindOf(path) == PathKind::kMissing) return Fail(place, "no such file", RES_OPEN_FAILED);
    // What an interrupted pack --force or compact of it left beside it.
    ClearStaleReplacements(path);
    CheckReport report;
    report.container = path;
    if (!tool.module()) return kExitFailure;

    ContainerSession session(*tool.module(), path);
    // From here on the outcome is reported whatever it is.
    auto conclude = [&]() -> int {
        FindDamage(session, &report);
        if (json) {
            PrintJson(report);
        } else {
            if (report.opened) PrintOut("read:      %" PRIu64 " bytes\n", report.read);
            PrintDamage(report);
        }
        if (report.problems == 0) {
            if (!json) PrintOut("result:    ok\n");
            return kExitOk;
        }
        if (!json && report.opened) PrintOut("result:    FAILED\n");
        return report.opened ? FailPlain(place, std::to_string(report.problems) + " problem(s) found") : kExitFailure;
    };
    report.opened = session.Open() == kExitOk;
    if (!report.opened) report.openProblem = LastFailure();
    // The module tells the header as it found it, also of a file whose
    // directory it could not read, and before its own repair.
    Inspection found;
    const bool inspected = session.Inspect(&found);
    uint64_t fileBytes = 0;
    FileSizeOf(path, &fileBytes);
    report.header = HeaderOf(fileBytes, inspected ? &found : nullptr);
    if (!json) {
        PrintHeader(path, report.header);
        FlushOut();
    }
    if (!report.opened) {
        ++report.problems;
        return conclude();
    }

    if (found.clean == 0) {
        if (found.recovered) report.recovered = found.summary;
        if (found.recovered && found.writtenBack) {
            report.repair = CheckReport::Repair::kRepaired;
            if (!json) PrintOut("repaired:  it was not closed cleanly; %s\n", found.summary.c_str());
        } else {
            report.repair = CheckReport::Repair::kFailed;
            if (found.recovered && !json) PrintOut("recovered: %s\n", found.summary.c_str());
            FailPlain(place, "was not closed cleanly and could not be repaired (is it writable?)");
            ++report.problems;
        }
    }

    std::vector<ListedEntry> entries;
    if (session.ListEntries(&entries) != kExitOk) {
        report.opened = false;
        report.openProblem = LastFailure();
        ++report.problems;
        return conclude();
    }
    if (!json) {
        PrintOut("entries:   %zu\n", entries.size());
        FlushOut();
    }
    CheckEntries(session, entries, tool.quiet(), json, &report);
    return conclude();
}

}  // namespace

const Command kCheckCommand = {
    "check", "report the header, repair if needed, read everything", kHelp, {{"json", 0, false}}, RunCheck,
};

}  // namespace cont
