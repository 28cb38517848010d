#pragma once
// MD5 message digest (RFC 1321) and HMAC-MD5 (RFC 2104).
#include <cstddef>

#include "crypto/md_hash.h"

class Md5 : public MdHash<Md5> {
  private:
    friend class MdHash<Md5>;
    void block(const unsigned char* p);
};

// HMAC-MD5 of the message under the key; keys longer than a block are hashed first.
void hmacMd5(const void* key, size_t keyLen, const void* msg, size_t msgLen,
             unsigned char out[Md5::kDigestSize]);
