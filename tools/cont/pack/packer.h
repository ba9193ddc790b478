// Files copied into entries of a container, as `cont pack` and `cont add`
// do it: the inputs checked and named, each copied through a file object of
// its own, the container read back to learn what each entry holds, and a
// summary of what is complete and what is not.
#ifndef CONT_PACKER_H
#define CONT_PACKER_H

#include <stdint.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "host_library.h"
#include "local_files.h"
#include "options.h"
#include "pack/pack_inputs.h"
#include "progress.h"
#include "results_report.h"

namespace cont {

class Packer {
public:
    // Entries go into the container `writer` writes (created or taken up
    // for adding), at writePath; the user named it `out`.
    Packer(Tool& tool, std::string out, std::string writePath, ContainerWriter& writer)
        : tool_(tool), out_(std::move(out)), writePath_(std::move(writePath)), writer_(writer) {}

    // While a streamed source is copied, what was written is synced once it
    // has waited `interval` unsynced, also when the input goes quiet (the
    // input is waited for with that timeout). Zero: only at the end.
    void SyncEvery(std::chrono::milliseconds interval) { syncEvery_ = interval; }

    // Copies every source into the container, syncs it (a durable point:
    // every byte written survives a power cut) and lets go of it (and of
    // the writer), so that the module writes its directory and clean flag.
    // `verb` names the work on the progress line. Prints any failure.
    int Run(Sources& sources, bool interleave, uint64_t total, const char* verb);
    // Reads the container back and records what each entry holds; false
    // when it cannot be read at all.
    bool Survey(Sources& sources);

private:
    int OpenInput(Source& source);
    int OpenEntry(Source& source);
    // Copies one piece; `source.done` once the input is used up.
    int CopyPiece(Source& source, uint32_t piece);
    // Waits for a streamed source's next bytes, syncing whenever what was
    // written is due meanwhile.
    int AwaitInput(Source& source);
    // Syncs when what was written has waited long enough.
    int SyncIfDue();
    int Sync();
    Place place(const std::string& entry = {}) const { return Place{out_, entry}; }

    Tool& tool_;
    std::string out_;
    std::string writePath_;
    ContainerWriter& writer_;
    std::vector<uint8_t> buffer_;
    std::unique_ptr<Progress> progress_;
    std::chrono::milliseconds syncEvery_{0};
    bool timed_ = false;  // syncs on the clock in this run
    // When the oldest byte not yet synced was written.
    std::optional<std::chrono::steady_clock::time_point> unsyncedSince_;
};

bool Complete(const Source& source);

// Each source as --json reports it: done when complete, its bytes those the
// container holds of it, its input file.
void ReportSources(const Sources& sources, ResultsReport* report);

// "complete: 'a', 'b'; cut short: 'c' at byte 1000, before the end of its
// input; <notDone>'d'", e.g. with notDone "not packed: ".
std::string Summary(const Sources& sources, const char* notDone);

}  // namespace cont

#endif
