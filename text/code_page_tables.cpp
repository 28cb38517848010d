#include "text/code_page_tables.h"

#include <new>

#include "platform/lock.h"

namespace cptables {
namespace {

// Bytes 0x00..0x7F map to themselves; `high` gives 0x80..0xFF.
constexpr SingleByteTable asciiBased(unsigned codePage, const uint16_t (&high)[128]) {
    SingleByteTable t{codePage, true, {}};
    for (int i = 0; i < 128; ++i) t.toUnicode[i] = static_cast<uint16_t>(i);
    for (int i = 0; i < 128; ++i) t.toUnicode[128 + i] = high[i];
    return t;
}

constexpr uint16_t kNone = 0;

// us-ascii: nothing above 0x7F.
constexpr uint16_t kHigh20127[128] = {};

// iso-8859-1: every byte is the code point of the same value.
constexpr SingleByteTable latin1() {
    uint16_t high[128] = {};
    for (int i = 0; i < 128; ++i) high[i] = static_cast<uint16_t>(0x80 + i);
    return asciiBased(28591, high);
}

// windows-1252 as published by unicode.org: 0x80..0x9F hold typographic
// characters, five of them unassigned; 0xA0..0xFF are as in Latin-1.
constexpr SingleByteTable windows1252() {
    // clang-format off
    constexpr uint16_t block80[32] = {
        0x20AC, kNone,  0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, kNone,  0x017D, kNone,   // 0x88
        kNone,  0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, kNone,  0x017E, 0x0178,  // 0x98
    };
    // clang-format on
    uint16_t high[128] = {};
    for (int i = 0; i < 32; ++i) high[i] = block80[i];
    for (int i = 32; i < 128; ++i) high[i] = static_cast<uint16_t>(0x80 + i);
    return asciiBased(1252, high);
}

constexpr SingleByteTable kTables[] = {
    asciiBased(20127, kHigh20127),
    latin1(),
    windows1252(),
};

// Reverse maps, built on first use under the lock.
struct ReverseNode {
    SingleByteReverse map;
    ReverseNode* next;
};
ReverseNode* g_reverse = nullptr;
platform::RecursiveLock g_lock;

void buildReverse(const SingleByteTable& table, SingleByteReverse& r) {
    r.codePage = table.codePage;
    r.count = 0;
    // Insertion sort by unit; with at most 256 entries this is cheap. When two
    // bytes share a unit the lower byte wins.
    for (int b = 1; b < 256; ++b) {
        uint16_t u = table.toUnicode[b];
        if (u == 0) continue;
        uint32_t pos = r.count;
        while (pos > 0 && r.unit[pos - 1] > u) --pos;
        if (pos > 0 && r.unit[pos - 1] == u) continue;
        for (uint32_t k = r.count; k > pos; --k) {
            r.unit[k] = r.unit[k - 1];
            r.byte[k] = r.byte[k - 1];
        }
        r.unit[pos] = u;
        r.byte[pos] = static_cast<unsigned char>(b);
        ++r.count;
    }
}

}  // namespace

const SingleByteTable* findSingleByte(unsigned codePage) {
    for (const SingleByteTable& t : kTables) {
        if (t.codePage == codePage) return &t;
    }
    return nullptr;
}

bool SingleByteReverse::find(uint16_t u, unsigned char& out) const {
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (unit[mid] < u)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < count && unit[lo] == u) {
        out = byte[lo];
        return true;
    }
    return false;
}

const SingleByteReverse* reverseOf(const SingleByteTable& table) {
    platform::LockGuard guard(g_lock);
    for (ReverseNode* n = g_reverse; n; n = n->next) {
        if (n->map.codePage == table.codePage) return &n->map;
    }
    ReverseNode* node = new (std::nothrow) ReverseNode;
    if (!node) return nullptr;
    buildReverse(table, node->map);
    node->next = g_reverse;
    g_reverse = node;
    return &node->map;
}

void releaseCaches() {
    platform::LockGuard guard(g_lock);
    while (g_reverse) {
        ReverseNode* next = g_reverse->next;
        delete g_reverse;
        g_reverse = next;
    }
}

}  // namespace cptables
