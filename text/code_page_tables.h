#pragma once
// The mapping tables of the code pages the converter knows, and their
// lazily built reverse maps.
#include <cstdint>

namespace cptables {

// One single-byte code page: each byte's UTF-16 unit. An entry of 0 means the
// byte has no mapping, except byte 0, which is always U+0000.
struct SingleByteTable {
    unsigned codePage;
    bool asciiLow;  // bytes below 0x80 are ASCII
    uint16_t toUnicode[256];
};

// The table of a single-byte code page, or null when the page has none.
const SingleByteTable* findSingleByte(unsigned codePage);

// UTF-16 unit to byte for one table: sorted units with their bytes.
struct SingleByteReverse {
    unsigned codePage;
    uint32_t count;
    uint16_t unit[256];
    unsigned char byte[256];

    // False when the unit has no byte in this code page.
    bool find(uint16_t u, unsigned char& out) const;
};

// The reverse map of a table, built on first use and kept until
// releaseCaches(); null only when memory ran out.
const SingleByteReverse* reverseOf(const SingleByteTable& table);

// Frees every lazily built map. No conversion may be running.
void releaseCaches();

}  // namespace cptables
