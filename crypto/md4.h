#pragma once
// MD4 message digest (RFC 1320). Broken as a hash; needed for NTLM's NT hash only.
#include <cstddef>
#include <cstdint>

class Md4 {
  public:
    static constexpr size_t kDigestSize = 16;

    Md4() { reset(); }
    void reset();
    void update(const void* data, size_t n);
    // Writes the 16-byte digest; the object must be reset before reuse.
    void finish(unsigned char out[kDigestSize]);

    static void digest(const void* data, size_t n, unsigned char out[kDigestSize]);

  private:
    void block(const unsigned char* p);

    uint32_t m_state[4];
    uint64_t m_bytes;
    unsigned char m_buffer[64];
    size_t m_buffered;
};
