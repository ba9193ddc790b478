// A minimal io_uring ring for the benchmarks' floor figures: a batch of
// positioned reads handed to the kernel with one system call and waited
// for with the same call. Raw system calls, no library; a kernel or a
// sandbox without io_uring leaves the ring unusable (Usable() false).
#ifndef CONTFS_BENCH_URING_READS_H
#define CONTFS_BENCH_URING_READS_H

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

class UringReads {
public:
    struct Read {
        uint64_t offset;
        void* into;
        uint32_t length;
    };

    explicit UringReads(unsigned entries) {
        io_uring_params params{};
        m_ring = static_cast<int>(syscall(__NR_io_uring_setup, entries, &params));
        if (m_ring < 0) return;
        m_sqBytes = params.sq_off.array + params.sq_entries * sizeof(unsigned);
        m_cqBytes = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
        if (params.features & IORING_FEAT_SINGLE_MMAP) m_sqBytes = m_cqBytes = std::max(m_sqBytes, m_cqBytes);
        m_sq = Map(m_sqBytes, IORING_OFF_SQ_RING);
        m_cq = params.features & IORING_FEAT_SINGLE_MMAP ? m_sq : Map(m_cqBytes, IORING_OFF_CQ_RING);
        m_sqeBytes = params.sq_entries * sizeof(io_uring_sqe);
        m_sqes = static_cast<io_uring_sqe*>(static_cast<void*>(Map(m_sqeBytes, IORING_OFF_SQES)));
        if (!m_sq || !m_cq || !m_sqes) return;
        m_sqTail = Field(m_sq, params.sq_off.tail);
        m_sqMask = *Field(m_sq, params.sq_off.ring_mask);
        m_sqArray = Field(m_sq, params.sq_off.array);
        m_cqHead = Field(m_cq, params.cq_off.head);
        m_cqTail = Field(m_cq, params.cq_off.tail);
        m_cqMask = *Field(m_cq, params.cq_off.ring_mask);
        m_cqes = reinterpret_cast<io_uring_cqe*>(m_cq + params.cq_off.cqes);
        m_entries = params.sq_entries;
        m_usable = true;
    }
    ~UringReads() {
        if (m_sqes) munmap(m_sqes, m_sqeBytes);
        if (m_cq && m_cq != m_sq) munmap(m_cq, m_cqBytes);
        if (m_sq) munmap(m_sq, m_sqBytes);
        if (m_ring >= 0) close(m_ring);
    }
    UringReads(const UringReads&) = delete;
    UringReads& operator=(const UringReads&) = delete;

    bool Usable() const { return m_usable; }

    // Submits the reads on fd and waits for all of them: whether each read
    // its whole length.
    bool ReadAll(int fd, const Read* reads, unsigned count) {
        if (!m_usable || count > m_entries) return false;
        const unsigned tail = *m_sqTail;
        for (unsigned i = 0; i < count; ++i) {
            const unsigned slot = (tail + i) & m_sqMask;
            io_uring_sqe& sqe = m_sqes[slot];
            std::memset(&sqe, 0, sizeof sqe);
            sqe.opcode = IORING_OP_READ;
            sqe.fd = fd;
            sqe.off = reads[i].offset;
            sqe.addr = reinterpret_cast<uint64_t>(reads[i].into);
            sqe.len = reads[i].length;
            sqe.user_data = i;
            m_sqArray[slot] = slot;
        }
        __atomic_store_n(m_sqTail, tail + count, __ATOMIC_RELEASE);
        bool whole = true;
        unsigned submitted = count;
        for (unsigned done = 0; done < count;) {
            if (syscall(__NR_io_uring_enter, m_ring, submitted, count - done, IORING_ENTER_GETEVENTS, nullptr, 0) < 0)
                return false;
            submitted = 0;
            unsigned head = *m_cqHead;
            for (const unsigned end = __atomic_load_n(m_cqTail, __ATOMIC_ACQUIRE); head != end; ++head, ++done)
                whole &= m_cqes[head & m_cqMask].res == static_cast<int32_t>(reads[m_cqes[head & m_cqMask].user_data].length);
            __atomic_store_n(m_cqHead, head, __ATOMIC_RELEASE);
        }
        return whole;
    }

private:
    uint8_t* Map(size_t bytes, off_t what) {
        void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_ring, what);
        return at == MAP_FAILED ? nullptr : static_cast<uint8_t*>(at);
    }
    static unsigned* Field(uint8_t* ring, uint32_t offset) { return reinterpret_cast<unsigned*>(ring + offset); }

    int m_ring = -1;
    bool m_usable = false;
    unsigned m_entries = 0;
    size_t m_sqBytes = 0, m_cqBytes = 0, m_sqeBytes = 0;
    uint8_t* m_sq = nullptr;
    uint8_t* m_cq = nullptr;
    io_uring_sqe* m_sqes = nullptr;
    unsigned* m_sqTail = nullptr;
    unsigned m_sqMask = 0;
    unsigned* m_sqArray = nullptr;
    unsigned* m_cqHead = nullptr;
    unsigned* m_cqTail = nullptr;
    unsigned m_cqMask = 0;
    io_uring_cqe* m_cqes = nullptr;
};

#endif
