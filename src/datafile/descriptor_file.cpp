#include "datafile/descriptor_file.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/posix_file.h"

static_assert(kOpenWriteOnly == platform::rtl::kWriteOnly && kOpenReadWrite == platform::rtl::kReadWrite &&
                  kOpenAppend == platform::rtl::kAppend && kOpenCreate == platform::rtl::kCreate &&
                  kOpenTruncate == platform::rtl::kTruncate && kOpenExclusive == platform::rtl::kExclusive &&
                  kOpenText == platform::rtl::kText && kOpenBinary == platform::rtl::kBinary,
              "open flags are passed to the platform layer unchanged");
static_assert(kSeekSet == platform::rtl::kSeekSet && kSeekCurrent == platform::rtl::kSeekCurrent &&
                  kSeekEnd == platform::rtl::kSeekEnd,
              "seek origins are passed to the platform layer unchanged");

namespace {

constexpr uint32_t kOpenPermission = kPermissionRead | kPermissionWrite;  // 0x180
constexpr uint32_t kLow16 = 0xFFFF;
constexpr int64_t kMaxTransfer = std::numeric_limits<int32_t>::max();

bool IsValidShare(uint32_t share) {
    return share == kShareDenyReadWrite || share == kShareDenyWrite || share == kShareDenyRead ||
           share == kShareDenyNone;
}

// A file that is already empty, above all one the open has just created, is
// not truncated again, just as the kernel's own O_TRUNC leaves a file it
// creates: ext4 takes any truncation to length 0 for a file being replaced
// and, at the last close, starts writing the whole new contents back at once
// (blocking the close and loading the disk while a large container is made).
// A descriptor that cannot be written still fails, as its truncation would.
bool EmptyFile(int fd, uint32_t flags) {
    const bool writable = (flags & platform::rtl::kAccessMask) != kOpenReadOnly;
    return (writable && platform::FileSize(fd) == 0) || platform::ResizeFile(fd, 0);
}

}  // namespace

DescriptorFile::~DescriptorFile() { Drop(); }

void DescriptorFile::Drop() {
    if (!IsOpen()) return;
    platform::CloseFile(m_descriptor);
    m_descriptor = kNotOpen;
}

int32_t DescriptorFile::MakeTempFileName(const char* prefix, char* outName) {
    return platform::MakeTempFile(prefix, outName, 260) ? 1 : 0;
}

// Empties an existing file only once this descriptor holds it, for the same
// reason a truncating open does (see the header).
int32_t DescriptorFile::Create(const char* path, uint32_t mode, uint32_t) {
    Drop();
    m_lastError = 0;
    int fd = platform::OpenFile(path, kOpenReadWrite | kOpenCreate, mode & kLow16);
    if (fd >= 0 && platform::LockFile(fd, platform::FileLock::kShared) && EmptyFile(fd, kOpenReadWrite)) {
        m_descriptor = fd;
        m_readsAhead = false;
        return S_OK;
    }
    if (fd >= 0) platform::CloseFile(fd);
    m_lastError = RES_OPEN_FAILED;
    return RES_OPEN_FAILED;
}

int32_t DescriptorFile::Refused() {
    m_lastError = RES_IO_ERROR;
    return -1;
}

int32_t DescriptorFile::Failed(int32_t result) {
    m_lastError = result;
    m_lastSystemError = platform::LastErrorCode();
    return result;
}

int32_t DescriptorFile::Open(const char* path, uint32_t flags, int32_t textMode) {
    return OpenWith(path, flags, false, 0, textMode);
}

int32_t DescriptorFile::OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) {
    return OpenWith(path, flags, true, share & kLow16, textMode);
}

int32_t DescriptorFile::OpenWith(const char* path, uint32_t flags, bool shared, uint32_t share, int32_t textMode) {
    Drop();
    m_lastError = 0;
    // Text and binary mode mean nothing here; the flag is kept for the record.
    const uint32_t effective = (flags & kLow16) | (textMode ? kOpenText : kOpenBinary);
    const bool truncate = (effective & kOpenTruncate) != 0;
    auto fail = [this](int fd, int32_t result) {
        if (fd >= 0) platform::CloseFile(fd);
        m_lastError = result;
        return result;
    };
    if (shared && !IsValidShare(share)) return fail(-1, RES_OPEN_FAILED);

    int fd = platform::OpenFile(path, truncate ? effective & ~kOpenTruncate : effective, kOpenPermission);
    if (fd < 0) {
        // Before truncation every refusal is the trial open's: RES_OPEN_FAILED.
        bool denied = shared && !truncate && platform::IsPermissionDenied(platform::LastErrorCode());
        return fail(-1, denied ? E_ACCESSDENIED : RES_OPEN_FAILED);
    }
    if (truncate) {
        if (!platform::LockFile(fd, platform::FileLock::kExclusive) || !EmptyFile(fd, effective))
            return fail(fd, RES_OPEN_FAILED);
    }
    const platform::FileLock kind =
        (shared && share == kShareDenyReadWrite) ? platform::FileLock::kExclusive : platform::FileLock::kShared;
    if (!platform::LockFile(fd, kind)) return fail(fd, shared ? E_ACCESSDENIED : RES_OPEN_FAILED);
    m_descriptor = fd;
    m_readsAhead = false;
    return S_OK;
}

// A failed close still ends the descriptor: the kernel releases it whatever
// close reports, and keeping the number would let a later close hit an
// unrelated file that reused it.
int32_t DescriptorFile::Close() {
    if (!IsOpen()) return RES_IO_ERROR;
    m_lastError = 0;
    int fd = m_descriptor;
    m_descriptor = kNotOpen;
    if (!platform::CloseFile(fd)) return Failed(RES_IO_ERROR);
    return S_OK;
}

// A length beyond what the signed 32-bit result can say is reported as its
// largest value rather than wrapped to a negative size; GetFileLength64 has
// the true one.
int32_t DescriptorFile::GetFileLength() {
    if (!IsOpen()) return 0;
    int64_t size = platform::FileSize(m_descriptor);
    if (size < 0) return 0;
    return static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
}

int64_t DescriptorFile::GetFileLength64() {
    if (!IsOpen()) return -1;
    return platform::FileSize(m_descriptor);
}

// The position is read and moved with the 64-bit operations so that a file
// positioned past 2 GiB is handled; the last-error field follows those calls
// just as it would follow Tell and Seek.
int32_t DescriptorFile::SetFileLength(uint32_t size) { return SetFileLength64(size); }

int32_t DescriptorFile::SetFileLength64(uint64_t size) {
    if (!IsOpen() || size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return E_FAIL;
    const uint64_t failed = std::numeric_limits<uint64_t>::max();
    uint64_t current = Tell64();
    if (current != failed && current > size)
        Seek64(static_cast<uint32_t>(size), static_cast<uint32_t>(size >> 32), kSeekSet);
    if (platform::ResizeFile(m_descriptor, static_cast<int64_t>(size))) return S_OK;
    m_lastSystemError = platform::LastErrorCode();
    if (current != failed) Seek64(static_cast<uint32_t>(current), static_cast<uint32_t>(current >> 32), kSeekSet);
    return E_FAIL;
}

int32_t DescriptorFile::SeekTo(int64_t offset, uint32_t origin) {
    if (!IsOpen()) return RES_IO_ERROR;
    m_lastError = 0;
    if (platform::SeekFile(m_descriptor, offset, origin & kLow16) < 0) return Failed(RES_IO_ERROR);
    return S_OK;
}

int32_t DescriptorFile::Seek(int32_t offset, uint32_t origin) { return SeekTo(offset, origin); }

int32_t DescriptorFile::Seek64(uint32_t offsetLow, uint32_t offsetHigh, uint32_t origin) {
    uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    return SeekTo(static_cast<int64_t>(offset), origin);
}

int32_t DescriptorFile::Rewind() { return SeekTo(0, kSeekSet); }

// A position past 2 GiB cannot be told in 32 bits: that is a failure, not a
// wrapped value.
int32_t DescriptorFile::Tell() {
    if (!IsOpen()) return -1;
    m_lastError = 0;
    int64_t position = platform::SeekFile(m_descriptor, 0, kSeekCurrent);
    if (position < 0 || position > std::numeric_limits<int32_t>::max()) {
        m_lastError = RES_IO_ERROR;
        return -1;
    }
    return static_cast<int32_t>(position);
}

uint64_t DescriptorFile::Tell64() {
    if (!IsOpen()) return std::numeric_limits<uint64_t>::max();
    m_lastError = 0;
    int64_t position = platform::SeekFile(m_descriptor, 0, kSeekCurrent);
    if (position < 0) m_lastError = RES_IO_ERROR;
    return static_cast<uint64_t>(position);
}

int32_t DescriptorFile::Read(void* dst, uint32_t count) {
    if (!IsOpen()) return -1;
    m_lastError = 0;
    // A request no system call is made for fails without a system error.
    if (count > kMaxTransfer || (!dst && count != 0)) return Refused();
    const int64_t got = platform::ReadFully(m_descriptor, dst, count);
    if (got < 0) {
        Failed(RES_IO_ERROR);
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t DescriptorFile::ReadAt(uint64_t offset, void* dst, uint32_t count) {
    if (!IsOpen()) return -1;
    m_lastError = 0;
    if (count > kMaxTransfer || offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        (!dst && count != 0))
        return Refused();
    const int64_t got = platform::ReadFullyAt(m_descriptor, dst, count, static_cast<int64_t>(offset));
    if (got < 0) {
        Failed(RES_IO_ERROR);
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t DescriptorFile::Write(const void* src, uint32_t count) {
    if (!IsOpen()) return -1;
    m_lastError = 0;
    if (count > kMaxTransfer || (!src && count != 0)) return Refused();
    const int64_t put = platform::WriteFully(m_descriptor, src, count);
    if (put < 0) {
        Failed(RES_IO_ERROR);
        return -1;
    }
    return static_cast<int32_t>(put);
}

int32_t DescriptorFile::WriteAt(uint64_t offset, const void* src, uint32_t count) {
    if (!IsOpen()) return -1;
    m_lastError = 0;
    if (count > kMaxTransfer || offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        (!src && count != 0))
        return Refused();
    const int64_t put = platform::WriteFullyAt(m_descriptor, src, count, static_cast<int64_t>(offset));
    if (put < 0) {
        Failed(RES_IO_ERROR);
        return -1;
    }
    return static_cast<int32_t>(put);
}

int32_t DescriptorFile::Sync() {
    if (!IsOpen()) return RES_IO_ERROR;
    m_lastError = 0;
    if (platform::SyncFileData(m_descriptor)) return S_OK;
    return Failed(RES_IO_ERROR);
}

int32_t DescriptorFile::ReadAhead(uint64_t offset, uint64_t length) {
    if (!IsOpen()) return RES_IO_ERROR;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (offset > limit || length > limit - offset) return E_INVALIDARG;
    if (!m_readsAhead) m_readsAhead = platform::ReadOnlyWhatIsAsked(m_descriptor);
    return platform::ReadAhead(m_descriptor, static_cast<int64_t>(offset), static_cast<int64_t>(length)) ? S_OK
                                                                                                         : RES_IO_ERROR;
}

int32_t DescriptorFile::StartWriteBack(uint64_t offset, uint64_t length) {
    if (!IsOpen()) return RES_IO_ERROR;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (offset > limit || length > limit - offset) return E_INVALIDARG;
    return platform::StartWriteBack(m_descriptor, static_cast<int64_t>(offset), static_cast<int64_t>(length))
               ? S_OK
               : RES_IO_ERROR;
}

int16_t DescriptorFile::GetDescriptor() { return static_cast<int16_t>(static_cast<uint16_t>(m_descriptor)); }

// The lock is changed on the open descriptor itself: a file that gives up
// deny read and write never goes through a moment with no lock, in which
// another open could take the file alone.
int32_t DescriptorFile::SetShare(uint32_t share) {
    if (!IsOpen()) return RES_IO_ERROR;
    m_lastError = 0;
    if (!IsValidShare(share & kLow16)) {
        m_lastError = E_INVALIDARG;
        return E_INVALIDARG;
    }
    const platform::FileLock kind =
        (share & kLow16) == kShareDenyReadWrite ? platform::FileLock::kExclusive : platform::FileLock::kShared;
    if (platform::LockFile(m_descriptor, kind)) return S_OK;
    m_lastError = E_ACCESSDENIED;
    return E_ACCESSDENIED;
}

// A file that another data file holds open is not removed: permission
// denied, so a container in use is not unlinked from under its readers.
int32_t DescriptorFile::Delete(const char* path) {
    Drop();
    m_lastError = 0;
    if (platform::HeldElsewhere(path)) {
        m_lastError = E_ACCESSDENIED;
        return E_ACCESSDENIED;
    }
    if (platform::RemoveFile(path)) return S_OK;
    m_lastError = platform::IsPermissionDenied(platform::LastErrorCode()) ? E_ACCESSDENIED : RES_OPEN_FAILED;
    return m_lastError;
}
