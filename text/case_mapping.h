#pragma once
// Unicode simple case mapping. The pair tables are generated
// from UnicodeData.txt by scripts/gen-case-tables.py; each is loaded into a
// hash table of 800 buckets on first use (under a lock) and freed by
// releaseCaches().
#include <cstdint>

// 0 stays 0; below 128 ASCII lower-casing; 0xC0..0xDF except 0xD7 add 0x20;
// every other value through the upper-to-lower table, unchanged when absent.
uint32_t toLowerW(uint32_t c);
// Below 128 ASCII upper-casing; 0xE0..0xFF except 0xF7 subtract 0x20; every
// other value through the lower-to-upper table, unchanged when absent.
uint32_t toUpperW(uint32_t c);

namespace casemap {
// Number of pairs in the two generated lists.
uint32_t upperToLowerPairs();
uint32_t lowerToUpperPairs();
// Frees both hash tables.
void releaseCaches();
}  // namespace casemap
