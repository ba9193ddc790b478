#include "container/ptr_array.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr int64_t kMinAutoStep = 4;
constexpr int64_t kMaxAutoStep = 1024;
constexpr int64_t kMaxSlots = std::numeric_limits<int32_t>::max();

void** AllocateSlots(int64_t n) { return new (std::nothrow) void*[static_cast<size_t>(n)]; }

}  // namespace

PtrArray::~PtrArray() { delete[] m_data; }

int32_t PtrArray::SetSize(int32_t n, int32_t growBy) {
    if (n < 0 || growBy < kKeepGrowBy) return E_INVALIDARG;
    if (growBy != kKeepGrowBy) m_growBy = growBy;

    if (n == 0) {
        delete[] m_data;
        m_data = nullptr;
        m_count = m_capacity = 0;
        return S_OK;
    }
    if (!m_data) {
        void** data = AllocateSlots(n);
        if (!data) return E_OUTOFMEMORY;
        std::fill(data, data + n, nullptr);
        m_data = data;
        m_count = m_capacity = n;
        return S_OK;
    }
    if (n <= m_capacity) {
        if (n > m_count) std::fill(m_data + m_count, m_data + n, nullptr);
        m_count = n;
        return S_OK;
    }
    int64_t step = m_growBy;
    if (step == 0) step = std::clamp<int64_t>(m_count / 8, kMinAutoStep, kMaxAutoStep);
    int64_t capacity = std::min(std::max<int64_t>(int64_t{m_capacity} + step, n), kMaxSlots);
    void** data = AllocateSlots(capacity);
    if (!data) return E_OUTOFMEMORY;
    std::memcpy(data, m_data, sizeof(void*) * static_cast<size_t>(m_count));
    std::fill(data + m_count, data + n, nullptr);
    delete[] m_data;
    m_data = data;
    m_capacity = static_cast<int32_t>(capacity);
    m_count = n;
    return S_OK;
}

int32_t PtrArray::SetAtGrow(int32_t index, void* value) {
    if (index < 0 || index == std::numeric_limits<int32_t>::max()) return E_INVALIDARG;
    if (index >= m_count) {
        int32_t result = SetSize(index + 1, kKeepGrowBy);
        if (QLX_FAILED(result)) return result;
    }
    m_data[index] = value;
    return S_OK;
}

int32_t PtrArray::RemoveAt(int32_t index, int32_t count) {
    if (index < 0 || count < 0 || int64_t{index} + count > m_count) return E_INVALIDARG;
    int32_t after = m_count - index - count;
    if (after > 0) std::memmove(m_data + index, m_data + index + count, sizeof(void*) * static_cast<size_t>(after));
    m_count -= count;
    return S_OK;
}
