#pragma once
// The CRAM-MD5 response of RFC 2195: the username, a blank and the keyed
// digest of the server's challenge.
#include "text/data_buffer.h"
#include "text/string_buffer.h"

class CramMD5 {
  public:
    // out becomes username + " " + 32 lower-case hex digits of
    // HMAC-MD5(key = password, message = challenge).
    static void computeResponse(const StringBuffer& username, const StringBuffer& password,
                                const DataBuffer& challenge, StringBuffer& out);
};
