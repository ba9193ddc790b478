#include "support/allocation_watch.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

std::atomic<bool> g_watching{false};
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_failAt{0};
std::atomic<bool> g_failOnward{false};
std::atomic<int64_t> g_held{0};  // bytes, by malloc_usable_size, since the process began
std::atomic<int64_t> g_base{0};
std::atomic<int64_t> g_peak{0};

// False when this allocation is the one to fail.
bool Count() {
    if (!g_watching.load(std::memory_order_relaxed)) return true;
    const uint64_t n = g_allocations.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint64_t failAt = g_failAt.load(std::memory_order_relaxed);
    return failAt == 0 || (g_failOnward.load(std::memory_order_relaxed) ? n < failAt : n != failAt);
}

void Held(int64_t change) {
    const int64_t now = g_held.fetch_add(change, std::memory_order_relaxed) + change;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

int64_t SizeOf(void* block) { return block ? static_cast<int64_t>(malloc_usable_size(block)) : 0; }

}  // namespace

extern "C" {

void* __wrap_malloc(size_t size) {
    if (!Count()) return nullptr;
    void* block = __real_malloc(size);
    Held(SizeOf(block));
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (!Count()) return nullptr;
    void* block = __real_calloc(count, size);
    Held(SizeOf(block));
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    if (size != 0 && !Count()) return nullptr;
    const int64_t before = SizeOf(block);
    void* moved = __real_realloc(block, size);
    if (moved || size == 0) Held(SizeOf(moved) - before);
    return moved;
}

void __wrap_free(void* block) {
    Held(-SizeOf(block));
    __real_free(block);
}

}  // extern "C"

void* operator new(size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace ctest {

AllocationWatch::AllocationWatch(bool countNow) {
    g_allocations = 0;
    g_failAt = 0;
    g_failOnward = false;
    g_base = g_held.load();
    g_peak = g_base.load();
    g_watching = countNow;
}

AllocationWatch::~AllocationWatch() {
    g_watching = false;
    g_failAt = 0;
}

uint64_t AllocationWatch::Allocations() const { return g_allocations; }

uint64_t AllocationWatch::PeakBytes() const {
    const int64_t above = g_peak - g_base;
    return above > 0 ? static_cast<uint64_t>(above) : 0;
}

void AllocationWatch::FailAllocation(uint64_t n) {
    g_failOnward = false;
    g_failAt = n == 0 ? 0 : g_allocations + n;
}

void AllocationWatch::FailAllocationsFrom(uint64_t n) {
    g_failOnward = true;
    g_failAt = n == 0 ? 0 : g_allocations + n;
}

AllocationWatch::Scope::Scope(bool counted) : m_was(g_watching.exchange(counted)) {}
AllocationWatch::Scope::~Scope() { g_watching = m_was; }

}  // namespace ctest
