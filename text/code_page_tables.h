#pragma once
// The mapping tables of the code pages the converter knows. The tables are
// committed in a compact generated form (text/generated/codepage_tables.inc,
// made by scripts/gen-codepage-tables.py from Python's codecs, glibc's
// iconv and data files of Windows' converter) and expanded on first use under a lock;
// releaseCaches() frees every expanded table. A pointer returned here stays valid until
// releaseCaches().
#include <cstdint>

namespace cptables {

// One single-byte code page: each byte's UTF-16 unit. An entry of 0 means the
// byte has no mapping, except byte 0, which is always U+0000.
struct SingleByteTable {
    unsigned codePage;
    bool asciiLow;  // bytes below 0x80 are ASCII
    uint16_t toUnicode[256];
    // Right-to-left class of each byte (x-mac-arabic only), else null.
    const uint8_t* rtlBits;
    // The page's default character, which a byte without a mapping decodes
    // to; 0 when such a byte is dropped.
    uint16_t defaultUnit;
};

// The table of a single-byte code page, or null when the page has none.
const SingleByteTable* findSingleByte(unsigned codePage);

// UTF-16 unit to byte for one single-byte table.
struct SingleByteReverse {
    unsigned codePage;
    unsigned char toByte[65536];  // 0: no byte (U+0000 is byte 0 by rule)

    // False when the unit has no byte in this code page.
    bool find(uint16_t u, unsigned char& out) const {
        out = toByte[u];
        return out != 0 || u == 0;
    }
};

// The reverse map of a table, built on first use and kept until
// releaseCaches(); null only when memory ran out.
const SingleByteReverse* reverseOf(const SingleByteTable& table);

// A multi-byte page: sequences of 1 to 3 bytes to UTF-16 units.
struct MultiByteTable {
    unsigned codePage;
    bool asciiLow;           // bytes below 0x80 are ASCII
    bool dropLeadWithNext;   // an unmappable lead byte takes the next byte along
    uint16_t single[256];    // one-byte sequences, 0 = none
    bool isLead[256];        // starts some longer sequence
    bool isTrail[256];       // may follow a lead byte (set with defaultUnit)
    uint16_t defaultUnit;    // an undefined sequence decodes to it; 0: dropped
    uint16_t* twoByte[256];  // per lead byte: 256 units (0 = none), or null
    uint32_t threeCount;     // sorted three-byte keys and their units
    uint32_t* threeKeys;
    uint16_t* threeUnits;

    // The unit of a 3-byte key (b0<<16|b1<<8|b2); 0 when none.
    uint16_t findThree(uint32_t key) const;
};

// Encoded form of a unit in a multi-byte page: code[u] is 0 (no mapping),
// the byte (1..0xFF), the two bytes (lead << 8 | trail, lead >= 0x80), or
// 0xFFFF for a three-byte sequence, found with findThree.
struct MultiByteReverse {
    unsigned codePage;
    uint16_t code[65536];
    uint32_t threeCount;  // sorted units with their three-byte keys
    uint16_t* threeUnits;
    uint32_t* threeKeys;

    uint32_t findThree(uint16_t u) const;
};

const MultiByteTable* findMultiByte(unsigned codePage);
const MultiByteReverse* reverseOf(const MultiByteTable& table);

// Whether byte b is right-to-left in a table that carries the class.
inline bool isRtl(const SingleByteTable& t, unsigned char b) {
    return t.rtlBits && (t.rtlBits[b >> 3] >> (b & 7)) & 1;
}

// Half-width katakana 0xA1..0xDF (Shift_JIS): the Shift_JIS code of the
// full-width form, and of the forms with the voiced (mark 1) or semi-voiced
// (mark 2) sound mark merged; 0 when no such form exists.
uint16_t kanaFullWidth(unsigned char halfWidth, int mark);

// The source a page's table came from ("Python codecs 'cp1252'"), or null.
const char* sourceOf(unsigned codePage);
// Every code page with a table, ascending; returns the count.
uint32_t tablePages(const unsigned** pages);

// Frees every lazily built table. No conversion may be running.
void releaseCaches();

}  // namespace cptables
