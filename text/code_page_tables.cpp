#include "text/code_page_tables.h"

#include <cstring>
#include <new>

#include "platform/lock.h"

namespace cptables {
namespace {

struct PageData {
    unsigned codePage;
    bool multiByte;
    bool asciiLow;
    const uint16_t* data;
    uint32_t dataLen;
    const uint16_t* rev;  // [unit, len<<8|key>>16, key&0xFFFF] triples
    uint32_t revCount;
    const uint8_t* rtl;
    const char* source;
    uint16_t defaultUnit;    // what an undefined byte decodes to; 0: dropped
    const uint8_t* seqBits;  // lead bits, then trail bits; null: from the pairs
};

#include "text/generated/codepage_tables.inc"

constexpr uint32_t kPageCount = sizeof kPageData / sizeof kPageData[0];

const PageData* findData(unsigned codePage) {
    uint32_t lo = 0, hi = kPageCount;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (kPageData[mid].codePage == codePage) return &kPageData[mid];
        if (kPageData[mid].codePage < codePage)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

// ---------------------------------------------------------------- caches
// Every expanded table lives in one list of nodes, freed by releaseCaches.
// All access to the list happens under g_lock.
enum class Kind { Single, SingleRev, Multi, MultiRev };

struct Node {
    Kind kind;
    unsigned codePage;
    void* table;
    Node* next;
};
Node* g_nodes = nullptr;
platform::RecursiveLock g_lock;

// A one-entry memo per kind, so repeated look-ups of the same page skip the
// list walk (still under the lock).
void* findNode(Kind kind, unsigned codePage) {
    for (Node* n = g_nodes; n; n = n->next)
        if (n->kind == kind && n->codePage == codePage) return n->table;
    return nullptr;
}

bool addNode(Kind kind, unsigned codePage, void* table) {
    Node* n = new (std::nothrow) Node{kind, codePage, table, g_nodes};
    if (!n) return false;
    g_nodes = n;
    return true;
}

void freeMulti(MultiByteTable* t) {
    if (!t) return;
    for (auto*& p : t->twoByte) delete[] p;
    delete[] t->threeKeys;
    delete[] t->threeUnits;
    delete t;
}

void freeNode(Node* n) {
    switch (n->kind) {
        case Kind::Single:
            delete static_cast<SingleByteTable*>(n->table);
            break;
        case Kind::SingleRev:
            delete static_cast<SingleByteReverse*>(n->table);
            break;
        case Kind::Multi:
            freeMulti(static_cast<MultiByteTable*>(n->table));
            break;
        case Kind::MultiRev: {
            MultiByteReverse* r = static_cast<MultiByteReverse*>(n->table);
            delete[] r->threeUnits;
            delete[] r->threeKeys;
            delete r;
            break;
        }
    }
    delete n;
}

// ---------------------------------------------------------------- expansion

SingleByteTable* expandSingle(const PageData& d) {
    SingleByteTable* t = new (std::nothrow) SingleByteTable;
    if (!t) return nullptr;
    t->codePage = d.codePage;
    t->asciiLow = d.asciiLow;
    t->rtlBits = d.rtl;
    t->defaultUnit = d.defaultUnit;
    std::memset(t->toUnicode, 0, sizeof t->toUnicode);
    if (d.asciiLow) {
        for (int b = 0; b < 128; ++b) t->toUnicode[b] = static_cast<uint16_t>(b);
        for (int b = 0; b < 128; ++b) t->toUnicode[128 + b] = d.data[b];
    } else {
        for (int b = 0; b < 256; ++b) t->toUnicode[b] = d.data[b];
    }
    t->toUnicode[0] = 0;
    return t;
}

// Calls f(length, key, unit) for every mapping of a multi-byte stream.
template <class F>
void forEachMapping(const PageData& d, F f) {
    uint32_t i = 0;
    while (i + 3 <= d.dataLen) {
        uint16_t h0 = d.data[i], h1 = d.data[i + 1], count = d.data[i + 2];
        unsigned len = h0 >> 12;
        bool literal = (h0 >> 8) & 1;
        uint32_t key = (static_cast<uint32_t>(h0 & 0xFF) << 16) | h1;
        i += 3;
        for (uint32_t k = 0; k < count; ++k) {
            uint16_t u = literal ? d.data[i + k] : static_cast<uint16_t>(d.data[i] + k);
            f(len, key + k, u);
        }
        i += literal ? count : 1;
    }
}

bool dropsLeadWithNext(unsigned cp) {
    switch (cp) {
        case 932:
        case 936:
        case 949:
        case 950:
        case 51932:
        case 51936:
        case 51949:
            return true;
        default:
            return false;
    }
}

MultiByteTable* expandMulti(const PageData& d) {
    MultiByteTable* t = new (std::nothrow) MultiByteTable;
    if (!t) return nullptr;
    t->codePage = d.codePage;
    t->asciiLow = d.asciiLow;
    t->dropLeadWithNext = dropsLeadWithNext(d.codePage);
    t->defaultUnit = d.defaultUnit;
    std::memset(t->single, 0, sizeof t->single);
    std::memset(t->isLead, 0, sizeof t->isLead);
    std::memset(t->isTrail, 0, sizeof t->isTrail);
    if (d.seqBits) {
        // Lead bytes of rows without any pair still start a sequence.
        for (int b = 0; b < 256; ++b) {
            t->isLead[b] = (d.seqBits[b >> 3] >> (b & 7)) & 1;
            t->isTrail[b] = (d.seqBits[32 + (b >> 3)] >> (b & 7)) & 1;
        }
    }
    for (auto& p : t->twoByte) p = nullptr;
    t->threeCount = 0;
    t->threeKeys = nullptr;
    t->threeUnits = nullptr;
    bool ok = true;
    uint32_t threes = 0;
    forEachMapping(d, [&](unsigned len, uint32_t key, uint16_t u) {
        if (len == 1) {
            t->single[key & 0xFF] = u;
        } else if (len == 2) {
            unsigned lead = key >> 8;
            t->isLead[lead] = true;
            if (!t->twoByte[lead]) {
                t->twoByte[lead] = new (std::nothrow) uint16_t[256]();
                if (!t->twoByte[lead]) {
                    ok = false;
                    return;
                }
            }
            t->twoByte[lead][key & 0xFF] = u;
        } else if (len == 3) {
            t->isLead[key >> 16] = true;
            ++threes;
        }
    });
    if (ok && threes) {
        t->threeKeys = new (std::nothrow) uint32_t[threes];
        t->threeUnits = new (std::nothrow) uint16_t[threes];
        ok = t->threeKeys && t->threeUnits;
        if (ok) {
            // The stream is sorted by (length, key), so the keys come sorted.
            forEachMapping(d, [&](unsigned len, uint32_t key, uint16_t u) {
                if (len != 3) return;
                t->threeKeys[t->threeCount] = key;
                t->threeUnits[t->threeCount] = u;
                ++t->threeCount;
            });
        }
    }
    if (!ok) {
        freeMulti(t);
        return nullptr;
    }
    return t;
}

}  // namespace

uint16_t MultiByteTable::findThree(uint32_t key) const {
    uint32_t lo = 0, hi = threeCount;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (threeKeys[mid] == key) return threeUnits[mid];
        if (threeKeys[mid] < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

const SingleByteTable* findSingleByte(unsigned codePage) {
    const PageData* d = findData(codePage);
    if (!d || d->multiByte) return nullptr;
    platform::LockGuard guard(g_lock);
    if (void* t = findNode(Kind::Single, codePage)) return static_cast<SingleByteTable*>(t);
    SingleByteTable* t = expandSingle(*d);
    if (t && !addNode(Kind::Single, codePage, t)) {
        delete t;
        t = nullptr;
    }
    return t;
}

const SingleByteReverse* reverseOf(const SingleByteTable& table) {
    platform::LockGuard guard(g_lock);
    if (void* r = findNode(Kind::SingleRev, table.codePage))
        return static_cast<SingleByteReverse*>(r);
    SingleByteReverse* r = new (std::nothrow) SingleByteReverse;
    if (!r) return nullptr;
    r->codePage = table.codePage;
    std::memset(r->toByte, 0, sizeof r->toByte);
    // The lowest byte of a unit wins, unless the source encodes it otherwise.
    for (int b = 255; b >= 1; --b) {
        uint16_t u = table.toUnicode[b];
        if (u) r->toByte[u] = static_cast<unsigned char>(b);
    }
    if (const PageData* d = findData(table.codePage)) {
        for (uint32_t i = 0; i < d->revCount; ++i)
            r->toByte[d->rev[3 * i]] = static_cast<unsigned char>(d->rev[3 * i + 2]);
    }
    if (!addNode(Kind::SingleRev, table.codePage, r)) {
        delete r;
        return nullptr;
    }
    return r;
}

const MultiByteTable* findMultiByte(unsigned codePage) {
    const PageData* d = findData(codePage);
    if (!d || !d->multiByte) return nullptr;
    platform::LockGuard guard(g_lock);
    if (void* t = findNode(Kind::Multi, codePage)) return static_cast<MultiByteTable*>(t);
    MultiByteTable* t = expandMulti(*d);
    if (t && !addNode(Kind::Multi, codePage, t)) {
        freeMulti(t);
        t = nullptr;
    }
    return t;
}

uint32_t MultiByteReverse::findThree(uint16_t u) const {
    uint32_t lo = 0, hi = threeCount;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (threeUnits[mid] == u) return threeKeys[mid];
        if (threeUnits[mid] < u)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

const MultiByteReverse* reverseOf(const MultiByteTable& table) {
    const PageData* d = findData(table.codePage);
    if (!d) return nullptr;
    platform::LockGuard guard(g_lock);
    if (void* r = findNode(Kind::MultiRev, table.codePage))
        return static_cast<MultiByteReverse*>(r);
    // The full encoded form of each unit first: the stream is sorted by
    // (length, key), so the first sequence of a unit is the lowest, and wins
    // unless the source encodes the unit otherwise.
    uint32_t* full = new (std::nothrow) uint32_t[65536]();
    if (!full) return nullptr;
    forEachMapping(*d, [&](unsigned len, uint32_t key, uint16_t u) {
        if (!full[u]) full[u] = (len << 24) | key;
    });
    for (uint32_t i = 0; i < d->revCount; ++i) {
        const uint16_t* e = d->rev + 3 * i;
        full[e[0]] = (static_cast<uint32_t>(e[1] >> 8) << 24) |
                     (static_cast<uint32_t>(e[1] & 0xFF) << 16) | e[2];
    }
    full[0] = 0;
    MultiByteReverse* r = new (std::nothrow) MultiByteReverse;
    if (!r) {
        delete[] full;
        return nullptr;
    }
    r->codePage = table.codePage;
    r->threeCount = 0;
    r->threeUnits = nullptr;
    r->threeKeys = nullptr;
    uint32_t threes = 0;
    for (uint32_t u = 0; u < 65536; ++u) {
        uint32_t v = full[u];
        unsigned len = v >> 24;
        if (len == 3) {
            r->code[u] = 0xFFFF;
            ++threes;
        } else if (len == 2 && (v & 0xFFFF) >= 0x100 && (v & 0xFFFF) != 0xFFFF) {
            r->code[u] = static_cast<uint16_t>(v);
        } else if (len == 1) {
            r->code[u] = static_cast<uint16_t>(v & 0xFF);
        } else {
            r->code[u] = 0;
        }
    }
    if (threes) {
        r->threeUnits = new (std::nothrow) uint16_t[threes];
        r->threeKeys = new (std::nothrow) uint32_t[threes];
        if (!r->threeUnits || !r->threeKeys) {
            delete[] r->threeUnits;
            delete[] r->threeKeys;
            delete r;
            delete[] full;
            return nullptr;
        }
        for (uint32_t u = 0; u < 65536; ++u) {
            if (r->code[u] != 0xFFFF) continue;
            r->threeUnits[r->threeCount] = static_cast<uint16_t>(u);
            r->threeKeys[r->threeCount] = full[u] & 0xFFFFFF;
            ++r->threeCount;
        }
    }
    delete[] full;
    if (!addNode(Kind::MultiRev, table.codePage, r)) {
        delete[] r->threeUnits;
        delete[] r->threeKeys;
        delete r;
        return nullptr;
    }
    return r;
}

uint16_t kanaFullWidth(unsigned char halfWidth, int mark) {
    if (halfWidth < 0xA1 || halfWidth > 0xDF || mark < 0 || mark > 2) return 0;
    return kKanaFold[(halfWidth - 0xA1) * 3 + mark];
}

const char* sourceOf(unsigned codePage) {
    const PageData* d = findData(codePage);
    return d ? d->source : nullptr;
}

uint32_t tablePages(const unsigned** pages) {
    static const struct Pages {
        unsigned cp[kPageCount];
        Pages() {
            for (uint32_t i = 0; i < kPageCount; ++i) cp[i] = kPageData[i].codePage;
        }
    } all;
    if (pages) *pages = all.cp;
    return kPageCount;
}

void releaseCaches() {
    platform::LockGuard guard(g_lock);
    while (g_nodes) {
        Node* next = g_nodes->next;
        freeNode(g_nodes);
        g_nodes = next;
    }
}

}  // namespace cptables
