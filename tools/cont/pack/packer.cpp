#include "pack/packer.h"

#include <algorithm>
#include <climits>
#include <set>

#include "cont_url.h"
#include "container_session.h"

namespace cont {

namespace {

constexpr uint32_t kPlainPiece = 1u << 20;
constexpr uint32_t kInterleavePiece = 64u << 10;
// Names listed in one sentence of the failure summary before "and N more".
constexpr size_t kNamesListed = 8;

std::string NameList(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamesListed; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > kNamesListed) text += " and " + std::to_string(names.size() - kNamesListed) + " more";
    return text;
}

// What a failure was met with, and the cause the module found for it (the
// system's reason for the latest failure on the container's file), if any.
std::string WithCause(const std::string& what, const Inspection& inspection) {
    return inspection.failure.empty() ? what : what + ": " + inspection.failure;
}

}  // namespace

int Packer::OpenInput(Source& source) {
    std::string reason;
    if (!source.input.Open(source.path, &reason)) return FailPlain(Place{source.path, {}}, "cannot read: " + reason);
    return kExitOk;
}

int Packer::OpenEntry(Source& source) {
    const int32_t result = writer_.AddEntry(source.name, &source.entry);
    if (QLX_SUCCEEDED(result)) {
        source.added = true;
        return kExitOk;
    }
    if (result == E_NOTIMPL) return Fail(place(), "the module cannot open files yet", result);
    if (result == E_ACCESSDENIED || result == RES_OPEN_FAILED)
        return Fail(place(), "cannot open the container for writing", result);
    return Fail(
        place(source.name),
        source.replaces ? "cannot add the new entry; the old entry of that name is kept" : "cannot add the entry",
        result);
}

int Packer::Sync() {
    unsyncedSince_.reset();
    const int32_t result = writer_.Sync().code();
    if (QLX_SUCCEEDED(result)) return kExitOk;
    Inspection inspection;
    (void)writer_.Inspect(&inspection);  // without it, no cause is named
    return Fail(place(), WithCause("cannot flush what was written to the disk", inspection), result);
}

int Packer::SyncIfDue() {
    if (!timed_ || !unsyncedSince_ || std::chrono::steady_clock::now() - *unsyncedSince_ < syncEvery_) return kExitOk;
    return Sync();
}

int Packer::AwaitInput(Source& source) {
    if (!timed_ || !source.streamed) return kExitOk;
    std::string reason;
    for (bool ready = false; !ready;) {
        if (const int status = SyncIfDue(); status != kExitOk) return status;
        int timeout = -1;  // nothing is waiting to be synced
        if (unsyncedSince_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*unsyncedSince_ + syncEvery_ -
                                                                           std::chrono::steady_clock::now());
            timeout = left.count() < 0 ? 0 : left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
        }
        if (!source.input.Wait(timeout, &ready, &reason))
            return FailPlain(Place{source.path, {}}, "cannot wait for input: " + reason);
    }
    return kExitOk;
}

int Packer::CopyPiece(Source& source, uint32_t piece) {
    std::string reason;
    if (const int status = AwaitInput(source); status != kExitOk) return status;
    buffer_.resize(piece);
    size_t got = 0;
    if (!source.input.Read(buffer_.data(), piece, &got, &reason))
        return FailPlain(Place{source.path, {}}, "read failed: " + reason);
    if (got == 0) {
        source.done = true;
        source.input.Close();
        if (source.written != 0) {
            if (tool_.verbose()) PutDoneLine(source.name);
            return kExitOk;
        }
        // An empty write still makes the container write its header and the
        // entry's record, so a container of empty files is readable.
    }
    const int32_t result = source.entry.Write(buffer_.data(), got);
    if (QLX_FAILED(result)) {
        Inspection inspection;
        (void)source.entry.Inspect(&inspection);  // without it, no cause is named
        return Fail(place(source.name), WithCause("write failed at byte " + std::to_string(source.written), inspection),
                    result);
    }
    source.written += got;
    if (progress_) progress_->Advance(got);
    if (got == 0 && tool_.verbose()) PutDoneLine(source.name);
    if (!unsyncedSince_) unsyncedSince_ = std::chrono::steady_clock::now();
    return SyncIfDue();
}

int Packer::Run(Sources& sources, bool interleave, uint64_t total, const char* verb) {
    progress_ = std::make_unique<Progress>(verb, total, tool_.quiet());
    timed_ = false;
    for (const auto& source : sources) timed_ = timed_ || (source->streamed && syncEvery_.count() > 0);
    unsyncedSince_.reset();
    int status = kExitOk;
    if (interleave) {
        // Every entry is added before any byte is written, then each gets a
        // piece in turn, so the data records alternate in the file.
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) {
            status = OpenInput(*sources[i]);
            if (status == kExitOk) status = OpenEntry(*sources[i]);
        }
        for (bool pending = status == kExitOk; pending && status == kExitOk;) {
            pending = false;
            for (auto& source : sources) {
                if (source->done) continue;
                if ((status = CopyPiece(*source, kInterleavePiece)) != kExitOk) break;
                pending = pending || !source->done;
            }
        }
    } else {
        // One input open at a time, however many there are.
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) {
            Source& source = *sources[i];
            if ((status = OpenInput(source)) != kExitOk || (status = OpenEntry(source)) != kExitOk) break;
            while (!source.done && status == kExitOk) status = CopyPiece(source, kPlainPiece);
            source.input.Close();
            // The writer keeps the container open for the rest.
            source.entry.Release();
        }
    }
    progress_.reset();
    // Success is told only of what will survive a power cut.
    bool added = false;
    for (const auto& source : sources) added = added || source->added;
    if (status == kExitOk && added) status = Sync();
    // The container writes its directory and clean flag when the last file
    // object lets go of it.
    for (auto& source : sources) source->entry.Release();
    writer_.Close();
    return status;
}

// The module reports no failure of its final flush, so what counts is what
// a reader finds afterwards.
bool Packer::Survey(Sources& sources) {
    ContainerSession session(*tool_.module(), writePath_);
    if (!session.OpenQuietly()) return false;
    for (auto& source : sources) {
        EntryFile entry;
        if (!source->added || QLX_FAILED(session.OpenEntryQuietly(source->name, &entry))) continue;
        source->found = QLX_SUCCEEDED(entry.Size(&source->onDisk));
    }
    return true;
}

bool Complete(const Source& source) { return source.done && source.found && source.onDisk == source.written; }

void ReportSources(const Sources& sources, ResultsReport* report) {
    for (const auto& source : sources)
        // A replacement that got no byte leaves the old entry, not its own.
        report->entries.push_back(ResultsReport::Entry{source->name, Complete(*source),
                                                       source->found ? std::min(source->onDisk, source->written) : 0,
                                                       source->path, source->replaces});
}

std::string Summary(const Sources& sources, const char* notDone) {
    std::vector<std::string> complete, kept, cut, missing;
    for (const auto& source : sources) {
        const std::string name = QuotedName(source->name);
        if (Complete(*source)) complete.push_back(name);
        // A replacement that never got a byte leaves the old entry in place.
        else if (source->replaces && source->written == 0)
            kept.push_back(name);
        else if (source->added)
            cut.push_back(name + " at byte " + std::to_string(source->found ? source->onDisk : 0) +
                          (source->done ? " of " + std::to_string(source->written) : ", before the end of its input"));
        else
            missing.push_back(name);
    }
    std::string text;
    auto add = [&text](const char* label, const std::vector<std::string>& names) {
        if (names.empty()) return;
        text += (text.empty() ? "" : "; ") + std::string(label) + NameList(names);
    };
    add("complete: ", complete);
    add("not replaced, the old entry kept: ", kept);
    add("cut short: ", cut);
    add(notDone, missing);
    return text;
}

}  // namespace cont
