#include "crypto/md4.h"

#include <cstring>

namespace {

inline uint32_t rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

inline uint32_t load32le(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Word order of rounds 2 and 3; round 1 takes the words in order.
const int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
const int kShift1[4] = {3, 7, 11, 19};
const int kShift2[4] = {3, 5, 9, 13};
const int kShift3[4] = {3, 9, 11, 15};

}  // namespace

void Md4::reset() {
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    m_bytes = 0;
    m_buffered = 0;
}

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

void Md4::update(const void* data, size_t n) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_bytes += n;
    if (n == 0) return;
    if (m_buffered) {
        size_t take = 64 - m_buffered < n ? 64 - m_buffered : n;
        std::memcpy(m_buffer + m_buffered, p, take);
        m_buffered += take;
        p += take;
        n -= take;
        if (m_buffered < 64) return;
        block(m_buffer);
        m_buffered = 0;
    }
    for (; n >= 64; p += 64, n -= 64) block(p);
    if (n) std::memcpy(m_buffer, p, n);
    m_buffered = n;
}

void Md4::finish(unsigned char out[kDigestSize]) {
    const uint64_t bits = m_bytes * 8;
    static const unsigned char kPad[64] = {0x80};
    size_t padLen = m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered;
    update(kPad, padLen);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (8 * i));
    update(len, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<unsigned char>(m_state[i] >> (8 * j));
}

void Md4::digest(const void* data, size_t n, unsigned char out[kDigestSize]) {
    Md4 h;
    h.update(data, n);
    h.finish(out);
}
