#include "text/ext_ptr_array.h"

#include <cstdlib>
#include <cstring>

#include "text/memory.h"

namespace {
constexpr uint32_t kMaxStep = 100000;
}

ExtPtrArray::~ExtPtrArray() {
    text::freeBlock(m_items);
}

// Makes room for one more pointer. The step roughly doubles the capacity
// each time until it reaches 100000 slots per enlargement.
static bool enlarge(BrenvikObject**& items, uint32_t& capacity, uint32_t& step, uint32_t count) {
    if (count < capacity) return true;
    uint64_t want = static_cast<uint64_t>(capacity) + step;
    if (want < static_cast<uint64_t>(count) + 1) want = static_cast<uint64_t>(count) + 1;
    if (want > UINT32_MAX / sizeof(BrenvikObject*)) return false;
    auto** block = static_cast<BrenvikObject**>(
        text::allocateZeroed(static_cast<size_t>(want), sizeof(BrenvikObject*)));
    if (!block) return false;
    if (count) std::memcpy(block, items, count * sizeof *block);
    text::freeBlock(items);
    items = block;
    capacity = static_cast<uint32_t>(want);
    if (step < kMaxStep) step = capacity < kMaxStep ? capacity : kMaxStep;
    return true;
}

bool ExtPtrArray::append(BrenvikObject* obj) {
    if (!enlarge(m_items, m_capacity, m_growth, m_count)) return false;
    m_items[m_count++] = obj;
    return true;
}

BrenvikObject* ExtPtrArray::getAt(uint32_t i) const {
    return i < m_count ? m_items[i] : nullptr;
}

BrenvikObject* ExtPtrArray::last() const {
    return m_count ? m_items[m_count - 1] : nullptr;
}

BrenvikObject* ExtPtrArray::removeAt(uint32_t i) {
    if (i >= m_count) return nullptr;
    BrenvikObject* obj = m_items[i];
    std::memmove(m_items + i, m_items + i + 1, (m_count - i - 1) * sizeof *m_items);
    m_items[--m_count] = nullptr;
    return obj;
}

BrenvikObject* ExtPtrArray::pop() {
    if (!m_count) return nullptr;
    BrenvikObject* obj = m_items[--m_count];
    m_items[m_count] = nullptr;
    return obj;
}

void ExtPtrArray::truncateNoDelete() {
    m_count = 0;
}

void ExtPtrArray::deleteAll() {
    for (uint32_t i = 0; i < m_count; ++i) {
        BrenvikObject* obj = m_items[i];
        m_items[i] = nullptr;
        delete obj;
    }
    m_count = 0;
}

BrenvikObject* ExtPtrArray::setAt(uint32_t i, BrenvikObject* obj) {
    if (i >= m_count) return nullptr;
    BrenvikObject* old = m_items[i];
    m_items[i] = obj;
    return old;
}

bool ExtPtrArray::insertAt(uint32_t i, BrenvikObject* obj) {
    if (i >= m_count) return append(obj);
    if (!enlarge(m_items, m_capacity, m_growth, m_count)) return false;
    std::memmove(m_items + i + 1, m_items + i, (m_count - i) * sizeof *m_items);
    m_items[i] = obj;
    ++m_count;
    return true;
}
