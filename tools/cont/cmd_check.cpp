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
#include "header_probe.h"
#include "local_files.h"
#include "progress.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont check C.cnt\n"
    "Reports the header of C.cnt (variant, version, clean flag, title), repairs\n"
    "it when it was not closed cleanly (the module does so on opening) and says\n"
    "what it rebuilt, reads every entry through and says how many of its bytes\n"
    "are readable, and gives the offset and reason of the first damage met.\n"
    "Exits with 1 and the reason when anything fails.\n";

std::string Hex(const std::string& bytes) {
    std::string out;
    char text[4];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%s%02X", out.empty() ? "" : " ", c);
        out += text;
    }
    return out;
}

void PrintHeader(const std::string& path, const HeaderInfo& h) {
    PrintOut("container: %s\n", Printable(path).c_str());
    if (h.fileBytes == 0) {
        PrintOut("variant:   none (empty file)\n");
        return;
    }
    if (!h.known) {
        PrintOut("variant:   unknown (first bytes %s)\n", Hex(h.magic).c_str());
        return;
    }
    PrintOut("variant:   %s\n", h.magic.c_str());
    if (h.hasVersion) PrintOut("version:   %u\n", h.version);
    if (h.hasClean) PrintOut("clean:     %s\n", h.clean == 1 ? "yes" : h.clean == 0 ? "no" : "unknown value");
    if (h.hasTitle) PrintOut("title:     %s\n", Printable(h.title).c_str());
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

// How far an entry reads from `from` on, once a read there failed: reads
// again in halving pieces, so the count ends at the first byte that cannot
// be read.
uint64_t ReadableFrom(EntryFile& entry, uint64_t from, uint64_t size) {
    uint32_t piece = 1u << 16;
    std::vector<uint8_t> bytes;
    while (from < size && piece > 0) {
        const uint32_t want = size - from < piece ? static_cast<uint32_t>(size - from) : piece;
        bytes.clear();
        if (QLX_SUCCEEDED(entry.Seek(from)) && entry.Read(want, &bytes) == S_OK && bytes.size() == want) {
            from += want;
        } else {
            piece /= 2;
        }
    }
    return from;
}

// The first damage the module met, where and why.
void PrintDamage(ContainerSession& session) {
    Inspection inspection;
    if (!session.Inspect(&inspection) || !inspection.damaged) return;
    char scratch[32];
    PrintOut("damage:    at offset %" PRIu64 ", in %s: %s\n", inspection.offset,
             PartName(inspection.part, scratch, sizeof scratch), Printable(inspection.reason).c_str());
}

int RunCheck(const Args& args, Tool& tool) {
    if (args.positionals.size() != 1) return UsageError(kCheckCommand.name, "needs exactly one container");
    const std::string& path = args.positionals[0];
    const Place place{path, {}};
    if (KindOf(path) == PathKind::kMissing) return Fail(place, "no such file", RES_OPEN_FAILED);
    HeaderInfo before;
    std::string reason;
    if (!ProbeHeader(path, &before, &reason)) return FailPlain(place, "cannot read: " + reason);
    PrintHeader(path, before);
    FlushOut();
    if (!tool.module()) return kExitFailure;

    ContainerSession session(*tool.module(), path);
    int status = session.Open();
    if (status != kExitOk) {
        PrintDamage(session);
        return status;
    }

    int failures = 0;
    if (before.hasClean && before.clean == 0) {
        Inspection inspection;
        const bool inspected = session.Inspect(&inspection) && inspection.recovered;
        HeaderInfo after;
        if (ProbeHeader(path, &after, &reason) && after.hasClean && after.clean == 1) {
            if (inspected)
                PrintOut("repaired:  it was not closed cleanly; %s\n", inspection.summary.c_str());
            else
                PrintOut("repaired:  it was not closed cleanly; entry sizes and seek tables were\n"
                         "           rebuilt from its data records and written back\n");
        } else {
            if (inspected) PrintOut("recovered: %s\n", inspection.summary.c_str());
            FailPlain(place, "was not closed cleanly and could not be repaired (is it writable?)");
            ++failures;
        }
    }

    std::vector<ListedEntry> entries;
    if ((status = session.ListEntries(&entries)) != kExitOk) return status;
    PrintOut("entries:   %zu\n", entries.size());
    FlushOut();
    uint64_t total = 0;
    for (const ListedEntry& listed : entries) {
        const std::string& name = listed.name;
        if (!listed.problem.empty()) {
            Fail(session.place(name), "cannot be opened by URL: " + listed.problem, E_INVALIDARG);
            ++failures;
            continue;
        }
        EntryFile entry;
        if (session.OpenEntry(name, &entry, true) != kExitOk) {
            ++failures;
            continue;
        }
        uint64_t size = 0;
        const int32_t result = entry.Size(&size);
        if (QLX_FAILED(result)) {
            Fail(session.place(name), "cannot stat the entry", result);
            ++failures;
            continue;
        }
        Progress progress("checking " + name, size, tool.quiet());
        const int read = session.ReadThrough(entry, name, size, [&](const std::vector<uint8_t>& piece) {
            progress.Advance(piece.size());
            return true;
        });
        // How much of the entry a player can have: its bytes up to the first
        // that could not be read.
        const uint64_t readable = read == kExitOk ? size : ReadableFrom(entry, entry.position(), size);
        PrintOut("  %s: %" PRIu64 " of %" PRIu64 " bytes readable\n", Printable(name).c_str(), readable, size);
        total += readable;
        if (read != kExitOk) ++failures;
    }
    PrintOut("read:      %" PRIu64 " bytes\n", total);
    PrintDamage(session);
    if (failures) {
        PrintOut("result:    FAILED\n");
        return FailPlain(place, std::to_string(failures) + " problem(s) found");
    }
    PrintOut("result:    ok\n");
    return kExitOk;
}

}  // namespace

const Command kCheckCommand = {"check", "report the header, repair if needed, read everything", kHelp, {}, RunCheck};

}  // namespace cont
