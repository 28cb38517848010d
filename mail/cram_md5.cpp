#include "mail/cram_md5.h"

#include "crypto/md5.h"

void CramMD5::computeResponse(const StringBuffer& username, const StringBuffer& password,
                              const DataBuffer& challenge, StringBuffer& out) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[Md5::kDigestSize];
    // An empty buffer may have no storage at all; hand the digest a real address.
    static const unsigned char kNothing = 0;
    const unsigned char* message = challenge.size() ? challenge.data() : &kNothing;
    hmacMd5(password.getBytes(), password.length(), message, challenge.size(), digest);
    out.clear();
    out.append(username);
    out.appendChar(' ');
    for (unsigned char b : digest) {
        out.appendChar(kHex[b >> 4]);
        out.appendChar(kHex[b & 15]);
    }
}
