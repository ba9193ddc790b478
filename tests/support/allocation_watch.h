// Counts, measures and fails the allocations of this test binary: every
// malloc, calloc and realloc of the code linked into it (the binary is linked
// with --wrap for them) and every operator new, which is replaced to go
// through malloc. Memory a shared library allocates for itself is not seen.
#ifndef CONTFS_TESTS_SUPPORT_ALLOCATION_WATCH_H
#define CONTFS_TESTS_SUPPORT_ALLOCATION_WATCH_H

#include <cstdint>

namespace ctest {

// While one exists: the allocations made and the highest number of bytes
// held at once, counted from its construction. One at a time.
class AllocationWatch {
public:
    // Counting from construction, or only inside counted scopes.
    explicit AllocationWatch(bool countNow = true);
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    uint64_t Allocations() const;
    // Bytes held at the highest point above what was held at construction.
    uint64_t PeakBytes() const;
    // The allocation numbered `n` (1 for the next) fails: malloc gives null,
    // operator new throws std::bad_alloc or, in its nothrow form, gives null.
    // 0 fails none.
    void FailAllocation(uint64_t n);
    // Fails every allocation from the n-th on, as memory that has run out.
    void FailAllocationsFrom(uint64_t n);

    // Within its scope allocations are counted (and may fail), or not.
    class Scope {
    public:
        explicit Scope(bool counted);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        bool m_was;
    };
};

}  // namespace ctest

#endif
