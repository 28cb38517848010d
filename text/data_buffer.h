#pragma once
// A growable byte array. It may also wrap memory it does not own.
#include <cstdint>

#include "text/brenvik_object.h"

class DataBuffer : public BrenvikObject {
  public:
    DataBuffer();
    DataBuffer(const DataBuffer& other);
    DataBuffer& operator=(const DataBuffer& other);
    ~DataBuffer() override;

    void clear();  // size 0, capacity kept
    bool append(const void* bytes, uint32_t n);
    bool append(const DataBuffer& other);
    bool appendByte(unsigned char b);
    bool reserve(uint32_t capacity);  // grows to exactly capacity when larger
    uint32_t replaceByte(unsigned char from, unsigned char to);
    bool containsByte(unsigned char b) const;
    void reverse();
    // Drops the first n bytes.
    void removeFront(uint32_t n);
    void truncate(uint32_t newSize);

    // Uses external memory without owning it; it is never freed or written by
    // this buffer: an append, replaceByte or reverse first copies it into an
    // owned block, clear forgets it, removeFront narrows the view.
    void borrow(const void* bytes, uint32_t n);
    // Takes over a block from text::allocateBlock (StringBuffer::releaseBlock
    // gives one); the buffer frees it.
    void takeOver(void* block, uint32_t size, uint32_t capacity);

    const unsigned char* data() const;
    unsigned char* data();
    uint32_t size() const;
    uint32_t capacity() const;
    bool isEmpty() const { return size() == 0; }
    bool isBorrowed() const;
    bool equals(const void* bytes, uint32_t n) const;

  private:
    bool ensureCapacity(uint32_t needed);
    void release();
    void check() const {
        if (m_magic != 0xDB) fatalObjectCorruption("DataBuffer");
    }

    unsigned char m_magic;
    bool m_borrowed;
    unsigned char* m_data;
    uint32_t m_size;
    uint32_t m_capacity;
};
