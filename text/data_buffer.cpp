#include "text/data_buffer.h"

#include <cstdlib>
#include <cstring>

#include "text/memory.h"

namespace {
constexpr uint32_t kAppendGrowth = 20000;
constexpr uint32_t kByteGrowth = 10000;
}  // namespace

DataBuffer::DataBuffer()
    : m_magic(0xDB), m_borrowed(false), m_data(nullptr), m_size(0), m_capacity(0) {}

DataBuffer::DataBuffer(const DataBuffer& other)
    : BrenvikObject(other),
      m_magic(0xDB),
      m_borrowed(false),
      m_data(nullptr),
      m_size(0),
      m_capacity(0) {
    other.check();
    append(other.m_data, other.m_size);
}

DataBuffer& DataBuffer::operator=(const DataBuffer& other) {
    check();
    other.check();
    if (this == &other) return *this;
    if (other.m_size <= m_capacity && !m_borrowed) {
        if (other.m_size) std::memmove(m_data, other.m_data, other.m_size);
        m_size = other.m_size;
        return *this;
    }
    release();
    append(other.m_data, other.m_size);
    return *this;
}

DataBuffer::~DataBuffer() {
    check();
    release();
    // Volatile stores so that they survive optimisation: a later use of the
    // object must find the magic cleared.
    volatile unsigned char* magic = &m_magic;
    *magic = 0;
    volatile uint32_t* fields[] = {&m_size, &m_capacity};
    for (volatile uint32_t* f : fields) *f = 0xDDDDDDDDu;
}

void DataBuffer::release() {
    if (m_data && !m_borrowed) text::freeBlock(m_data);
    m_data = nullptr;
    m_borrowed = false;
    m_size = 0;
    m_capacity = 0;
}

// Moves the data into a new owned block of exactly `needed` bytes. On
// failure the buffer is emptied, as callers expect from a failed enlarge.
bool DataBuffer::ensureCapacity(uint32_t needed) {
    if (needed <= m_capacity && !m_borrowed) return true;
    if (needed < m_size) needed = m_size;
    unsigned char* block = static_cast<unsigned char*>(text::allocateBlock(needed ? needed : 1));
    if (!block) {
        release();
        return false;
    }
    if (m_size) std::memcpy(block, m_data, m_size);
    uint32_t size = m_size;
    release();
    m_data = block;
    m_size = size;
    m_capacity = needed;
    return true;
}

void DataBuffer::clear() {
    check();
    // Borrowed memory is never written to; forget it instead.
    if (m_borrowed) {
        release();
        return;
    }
    m_size = 0;
}

bool DataBuffer::append(const void* bytes, uint32_t n) {
    check();
    if (n == 0 || !bytes) return true;
    if (static_cast<uint64_t>(m_size) + n > UINT32_MAX) return false;
    if (m_size + n > m_capacity || m_borrowed) {
        uint64_t want = static_cast<uint64_t>(m_size) + (n > kAppendGrowth ? n : kAppendGrowth);
        if (want > UINT32_MAX) want = UINT32_MAX;
        // The source may be our own data: keep the old block alive until it
        // is copied.
        unsigned char* old = m_data;
        bool ownedOld = !m_borrowed;
        unsigned char* block =
            static_cast<unsigned char*>(text::allocateBlock(static_cast<size_t>(want)));
        if (!block) {
            release();
            return false;
        }
        if (m_size) std::memcpy(block, old, m_size);
        std::memcpy(block + m_size, bytes, n);
        if (old && ownedOld) text::freeBlock(old);
        m_data = block;
        m_borrowed = false;
        m_capacity = static_cast<uint32_t>(want);
    } else {
        std::memmove(m_data + m_size, bytes, n);
    }
    m_size += n;
    return true;
}

bool DataBuffer::append(const DataBuffer& other) {
    check();
    other.check();
    return append(other.m_data, other.m_size);
}

bool DataBuffer::appendByte(unsigned char b) {
    check();
    if (m_size == UINT32_MAX) return false;
    if (m_size + 1 > m_capacity || m_borrowed) {
        uint64_t want = static_cast<uint64_t>(m_size) + kByteGrowth;
        if (want > UINT32_MAX) want = UINT32_MAX;
        if (!ensureCapacity(static_cast<uint32_t>(want))) return false;
    }
    m_data[m_size++] = b;
    return true;
}

bool DataBuffer::reserve(uint32_t capacity) {
    check();
    if (capacity <= m_capacity) return true;
    return ensureCapacity(capacity);
}

uint32_t DataBuffer::replaceByte(unsigned char from, unsigned char to) {
    check();
    if (from == to || !containsByte(from)) return 0;
    if (m_borrowed && !ensureCapacity(m_size)) return 0;
    uint32_t count = 0;
    for (uint32_t i = 0; i < m_size; ++i) {
        if (m_data[i] == from) {
            m_data[i] = to;
            ++count;
        }
    }
    return count;
}

bool DataBuffer::containsByte(unsigned char b) const {
    check();
    return m_size && std::memchr(m_data, b, m_size) != nullptr;
}

void DataBuffer::reverse() {
    check();
    if (m_size < 2) return;
    if (m_borrowed && !ensureCapacity(m_size)) return;
    for (uint32_t i = 0, j = m_size - 1; i < j; ++i, --j) {
        unsigned char t = m_data[i];
        m_data[i] = m_data[j];
        m_data[j] = t;
    }
}

void DataBuffer::removeFront(uint32_t n) {
    check();
    if (n == 0) return;
    if (n >= m_size) {
        if (m_borrowed)
            release();
        else
            m_size = 0;
        return;
    }
    if (m_borrowed) {
        // Narrow the view instead of writing to memory we do not own.
        m_data += n;
        m_size -= n;
        m_capacity -= n;
        return;
    }
    std::memmove(m_data, m_data + n, m_size - n);
    m_size -= n;
}

void DataBuffer::truncate(uint32_t newSize) {
    check();
    if (newSize < m_size) m_size = newSize;
}

void DataBuffer::borrow(const void* bytes, uint32_t n) {
    check();
    release();
    if (!bytes) return;
    m_data = static_cast<unsigned char*>(const_cast<void*>(bytes));
    m_size = n;
    m_capacity = n;
    m_borrowed = true;
}

void DataBuffer::takeOver(void* block, uint32_t size, uint32_t capacity) {
    check();
    release();
    if (!block) return;
    m_data = static_cast<unsigned char*>(block);
    m_size = size;
    m_capacity = capacity < size ? size : capacity;
}

const unsigned char* DataBuffer::data() const {
    check();
    return m_data;
}

unsigned char* DataBuffer::data() {
    check();
    return m_data;
}

uint32_t DataBuffer::size() const {
    check();
    return m_size;
}

uint32_t DataBuffer::capacity() const {
    check();
    return m_capacity;
}

bool DataBuffer::isBorrowed() const {
    check();
    return m_borrowed;
}

bool DataBuffer::equals(const void* bytes, uint32_t n) const {
    check();
    if (n != m_size) return false;
    return n == 0 || std::memcmp(m_data, bytes, n) == 0;
}
