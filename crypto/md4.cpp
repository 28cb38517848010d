#include "crypto/md4.h"

#include <cstring>

namespace {

// Word order of rounds 2 and 3; round 1 takes the words in order.
const int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
const int kShift1[4] = {3, 7, 11, 19};
const int kShift2[4] = {3, 5, 9, 13};
const int kShift3[4] = {3, 9, 11, 15};

}  // namespace

void Md4::block(const unsigned char* p) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load32le(p + 4 * i);
    uint32_t v[4] = {m_state[0], m_state[1], m_state[2], m_state[3]};
    // The steps update A, D, C, B in turn, each reading the next three words
    // (cyclically) as b, c and d.
    for (int i = 0; i < 48; ++i) {
        uint32_t& a = v[(4 - i % 4) % 4];
        const uint32_t b = v[(5 - i % 4) % 4];
        const uint32_t c = v[(6 - i % 4) % 4];
        const uint32_t d = v[(7 - i % 4) % 4];
        const int r = i / 16, k = i % 16;
        uint32_t t;
        if (r == 0) {
            t = a + ((b & c) | (~b & d)) + x[k];
            a = rotl(t, kShift1[k % 4]);
        } else if (r == 1) {
            t = a + ((b & c) | (b & d) | (c & d)) + x[kOrder2[k]] + 0x5a827999;
            a = rotl(t, kShift2[k % 4]);
        } else {
            t = a + (b ^ c ^ d) + x[kOrder3[k]] + 0x6ed9eba1;
            a = rotl(t, kShift3[k % 4]);
        }
    }
    for (int i = 0; i < 4; ++i) m_state[i] += v[i];
}
