#include "text/case_mapping.h"

#include <cctype>
#include <new>

#include "platform/lock.h"

namespace {

#include "text/generated/case_tables.inc"

constexpr uint32_t kBuckets = 800;

struct Entry {
    uint32_t from;
    uint32_t to;
    Entry* next;
};

struct HashTable {
    Entry* bucket[kBuckets];
    Entry* pool;  // all entries, one allocation
};

HashTable* g_lower = nullptr;  // upper -> lower
HashTable* g_upper = nullptr;  // lower -> upper
platform::RecursiveLock g_lock;

HashTable* build(const uint32_t (*pairs)[2], uint32_t count) {
    HashTable* t = new (std::nothrow) HashTable;
    if (!t) return nullptr;
    t->pool = new (std::nothrow) Entry[count];
    if (!t->pool) {
        delete t;
        return nullptr;
    }
    for (Entry*& b : t->bucket) b = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        Entry& e = t->pool[i];
        e.from = pairs[i][0];
        e.to = pairs[i][1];
        uint32_t h = e.from % kBuckets;
        e.next = t->bucket[h];
        t->bucket[h] = &e;
    }
    return t;
}

void destroy(HashTable*& t) {
    if (!t) return;
    delete[] t->pool;
    delete t;
    t = nullptr;
}

uint32_t lookup(HashTable*& table, const uint32_t (*pairs)[2], uint32_t count, uint32_t c) {
    HashTable* t;
    {
        platform::LockGuard guard(g_lock);
        if (!table) table = build(pairs, count);
        t = table;
    }
    if (!t) return c;
    for (const Entry* e = t->bucket[c % kBuckets]; e; e = e->next)
        if (e->from == c) return e->to;
    return c;
}

constexpr uint32_t kLowerCount = sizeof kUpperToLower / sizeof kUpperToLower[0];
constexpr uint32_t kUpperCount = sizeof kLowerToUpper / sizeof kLowerToUpper[0];

}  // namespace

uint32_t toLowerW(uint32_t c) {
    if (c == 0) return 0;
    if (c < 128) return static_cast<uint32_t>(std::tolower(static_cast<int>(c)));
    if (c >= 0xC0 && c <= 0xDF && c != 0xD7) return c + 0x20;
    return lookup(g_lower, kUpperToLower, kLowerCount, c);
}

uint32_t toUpperW(uint32_t c) {
    if (c < 128) return static_cast<uint32_t>(std::toupper(static_cast<int>(c)));
    if (c >= 0xE0 && c <= 0xFF && c != 0xF7) return c - 0x20;
    return lookup(g_upper, kLowerToUpper, kUpperCount, c);
}

namespace casemap {
uint32_t upperToLowerPairs() {
    return kLowerCount;
}
uint32_t lowerToUpperPairs() {
    return kUpperCount;
}
void releaseCaches() {
    platform::LockGuard guard(g_lock);
    destroy(g_lower);
    destroy(g_upper);
}
}  // namespace casemap
