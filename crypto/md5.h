#pragma once
// MD5 message digest (RFC 1321) and HMAC-MD5 (RFC 2104).
#include <cstddef>
#include <cstdint>

class Md5 {
public:
    static constexpr size_t kDigestSize = 16;

    Md5() { reset(); }
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

// HMAC-MD5 of the message under the key; keys longer than a block are hashed first.
void hmacMd5(const void* key, size_t keyLen, const void* msg, size_t msgLen,
             unsigned char out[Md5::kDigestSize]);
