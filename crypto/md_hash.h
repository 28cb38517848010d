#pragma once
// What MD4 (RFC 1320) and MD5 (RFC 1321) share: the initial state, 64-byte
// blocks, padding with 0x80 and the message length in bits, and words
// stored little-endian. Hash supplies block(), the compression function.
#include <cstddef>
#include <cstdint>
#include <cstring>

template <class Hash>
class MdHash {
  public:
    static constexpr size_t kDigestSize = 16;

    MdHash() { reset(); }

    void reset() {
        m_state[0] = 0x67452301;
        m_state[1] = 0xefcdab89;
        m_state[2] = 0x98badcfe;
        m_state[3] = 0x10325476;
        m_bytes = 0;
        m_buffered = 0;
    }

    void update(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        m_bytes += n;
        if (n == 0) return;  // p may be null then
        if (m_buffered) {
            const size_t take = 64 - m_buffered < n ? 64 - m_buffered : n;
            std::memcpy(m_buffer + m_buffered, p, take);
            m_buffered += take;
            p += take;
            n -= take;
            if (m_buffered < 64) return;
            compress(m_buffer);
            m_buffered = 0;
        }
        for (; n >= 64; p += 64, n -= 64) compress(p);
        if (n) std::memcpy(m_buffer, p, n);
        m_buffered = n;
    }

    // Writes the digest; the object must be reset before reuse.
    void finish(unsigned char out[kDigestSize]) {
        const uint64_t bits = m_bytes * 8;
        static const unsigned char kPad[64] = {0x80};
        update(kPad, m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));
        update(length, 8);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                out[4 * i + j] = static_cast<unsigned char>(m_state[i] >> (8 * j));
    }

    static void digest(const void* data, size_t n, unsigned char out[kDigestSize]) {
        Hash h;
        h.update(data, n);
        h.finish(out);
    }

  protected:
    static uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }
    static uint32_t load32le(const unsigned char* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }

    uint32_t m_state[4];

  private:
    void compress(const unsigned char* p) { static_cast<Hash*>(this)->block(p); }

    uint64_t m_bytes;
    unsigned char m_buffer[64];
    size_t m_buffered;
};
