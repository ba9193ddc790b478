#include "entry_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "debug_category.h"

namespace contsrc {

namespace {

using State = contfs::WriterWatch::State;

const char* Named(State state) {
    switch (state) {
        case State::kWriting: return "its writer is still at work";
        case State::kClosed: return "its writer closed the container";
        case State::kGone: return "its writer went away without closing the container";
        case State::kReplaced: return "the container file was replaced";
        case State::kLookAgain: return "the container file changed as it was opened";
    }
    return "?";
}

// The first damage the container met, in words; empty when it met none.
std::string DamageDetail(contfs::Container& container) {
    contfs::Inspection inspection;
    if (container.Inspect(&inspection).failed() || !inspection.damaged) return {};
    return "damage at offset " + std::to_string(inspection.offset) + " of the container file: " + inspection.reason;
}

bool Fill(Failure* failure, Failure::Kind kind, std::string message, std::string detail = {}) {
    failure->kind = kind;
    failure->message = std::move(message);
    failure->detail = std::move(detail);
    return false;
}

}  // namespace

bool EntryReader::Open(contfs::Module& module, const std::string& path, const std::string& name, bool follow,
                       Failure* failure) {
    Close();
    module_ = &module;
    path_ = path;
    name_ = name;
    follow_ = follow;
    if (!follow_) return OpenEntry(false, failure);
    std::string why;
    if (!watch_.Start(module, path, &why)) {
        struct stat info;
        if (stat(path.c_str(), &info) != 0 && errno == ENOENT)
            return Fill(failure, Failure::Kind::kNotFound, "Container \"" + path_ + "\" does not exist.");
        return Fill(failure, Failure::Kind::kOpen, "Could not watch container \"" + path_ + "\" for growth.", why);
    }
    watch_.Resume();  // an Interrupt of an earlier run must not end this one's waits
    return Refresh(0, failure);
}

void EntryReader::Close() {
    entry_.Release();
    container_.Close();
    open_ = false;
    size_ = 0;
    state_ = State::kWriting;
}

bool EntryReader::Size(uint64_t* size) const {
    if (follow_ || !open_) return false;
    *size = size_;
    return true;
}

std::string EntryReader::Where() const { return "entry \"" + name_ + "\" of container \"" + path_ + "\""; }

bool EntryReader::OpenEntry(bool quietly, Failure* failure) {
    open_ = false;
    std::string why;
    contfs::Result result = container_.Open(*module_, path_, &why);
    if (result.failed()) {
        if (quietly) return false;
        struct stat info;
        if (result == E_ACCESSDENIED && stat(path_.c_str(), &info) != 0 && errno == ENOENT)
            return Fill(failure, Failure::Kind::kNotFound,
                        "Container \"" + path_ + "\" does not exist: " + result.Describe());
        if (result == E_ACCESSDENIED)
            return Fill(failure, Failure::Kind::kOpen,
                        "Could not open container \"" + path_ + "\" for reading: " + result.Describe(),
                        access(path_.c_str(), R_OK) != 0 ? std::strerror(errno) : std::string());
        return Fill(failure, Failure::Kind::kOpen, "Could not open container \"" + path_ + "\": " + result.Describe(),
                    why.empty() ? DamageDetail(container_) : why);
    }
    result = container_.OpenEntry(name_, &entry_);
    if (result.ok()) result = entry_.Size(&size_);
    if (result.failed()) {
        if (quietly) return false;
        bool exists = true;
        if (result == E_FAIL && container_.Exists(name_, &exists).ok() && !exists)
            return Fill(failure, Failure::Kind::kNotFound,
                        "No entry \"" + name_ + "\" in container \"" + path_ + "\": " + result.Describe());
        return Fill(failure, Failure::Kind::kOpen, "Could not open " + Where() + ": " + result.Describe(),
                    DamageDetail(container_));
    }
    open_ = true;
    placed_ = true;
    GST_DEBUG("opened %s: %" G_GUINT64_FORMAT " bytes", Where().c_str(), size_);
    return true;
}

bool EntryReader::Refresh(uint64_t offset, Failure* failure) {
    for (;;) {
        // Nothing of the container may stay open: a new open would join it
        // instead of reading the directory again, and its lock would pass
        // for the writer's.
        entry_.Release();
        container_.Close();
        open_ = false;
        state_ = watch_.Look();
        const bool last = state_ != State::kWriting;
        if (!OpenEntry(!last, failure)) {
            GST_DEBUG("%s is not there yet; %s", Where().c_str(), Named(state_));
            return !last;
        }
        contfs::Inspection opened;
        (void)container_.Inspect(&opened);
        state_ = watch_.Opened(opened);
        if (state_ == State::kLookAgain) continue;
        if (state_ == State::kReplaced) {
            entry_.Release();
            container_.Close();
            open_ = false;
            return Fill(failure, Failure::Kind::kRead,
                        "Container \"" + path_ + "\" was replaced by another file (or removed) while entry \"" +
                            name_ + "\" was followed; stopped at byte " + std::to_string(offset) + ".");
        }
        GST_DEBUG("%s holds %" G_GUINT64_FORMAT " bytes; %s", Where().c_str(), size_, Named(state_));
        return true;
    }
}

EntryReader::Got EntryReader::Read(uint64_t offset, uint32_t count, Piece* piece, Failure* failure) {
    if (!follow_) {
        if (!open_ || offset >= size_) return Got::kEnd;
        return ReadHere(offset, count, piece, failure);
    }
    for (;;) {
        if (open_ && offset < size_) return ReadHere(offset, count, piece, failure);
        if (state_ == State::kClosed) return Got::kEnd;
        if (state_ == State::kGone) {
            Fill(failure, Failure::Kind::kRead,
                 "No program writes container \"" + path_ + "\" any more, but it was not closed cleanly: entry \"" +
                     name_ + "\" ends at byte " + std::to_string(open_ ? size_ : 0) + ".");
            return Got::kFailed;
        }
        GST_LOG("waiting for %s to grow past byte %" G_GUINT64_FORMAT, Where().c_str(), offset);
        if (!watch_.Wait()) return Got::kInterrupted;
        if (!Refresh(offset, failure)) return Got::kFailed;
    }
}

EntryReader::Got EntryReader::ReadHere(uint64_t offset, uint32_t count, Piece* piece, Failure* failure) {
    // After a failed read the module's position is past whatever that read
    // delivered, so the entry is placed again whatever position() says.
    contfs::Result result = S_OK;
    if (entry_.position() != offset || !placed_) {
        GST_LOG("seeking to byte %" G_GUINT64_FORMAT " of %s", offset, Where().c_str());
        result = entry_.Seek(offset);
        if (result.failed()) {
            placed_ = false;
            Fill(failure, Failure::Kind::kRead,
                 "Could not seek to byte " + std::to_string(offset) + " of " + Where() + ": " + result.Describe(),
                 DamageDetail(container_));
            return Got::kFailed;
        }
        placed_ = true;
    }
    result = entry_.ReadBuffer(count, &piece->buffer, &piece->bytes, &piece->length);
    if (result == RES_END_OF_DATA || (result.ok() && piece->length == 0)) return Got::kEnd;
    if (result.failed()) {
        placed_ = false;
        Fill(failure, Failure::Kind::kRead,
             "Could not read " + Where() + " at byte " + std::to_string(offset) + ": " + result.Describe(),
             DamageDetail(container_));
        return Got::kFailed;
    }
    GST_LOG("read %u of %u bytes at byte %" G_GUINT64_FORMAT, piece->length, count, offset);
    return Got::kData;
}

}  // namespace contsrc
