#pragma once
// MD4 message digest (RFC 1320). Broken as a hash; needed for NTLM's NT hash only.
#include "crypto/md_hash.h"

class Md4 : public MdHash<Md4> {
  private:
    friend class MdHash<Md4>;
    void block(const unsigned char* p);
};
