#pragma once
// The server's NTLM challenge message (TYPE2), read defensively: every
// length and offset in it comes from the peer.
#include <cstdint>

#include "text/string_buffer.h"

class LogBase;

namespace ntlm {

// Negotiate flags this client uses or reads.
constexpr uint32_t kNegotiateUnicode = 0x00000001;
constexpr uint32_t kNegotiateOem = 0x00000002;
constexpr uint32_t kRequestTarget = 0x00000004;
constexpr uint32_t kNegotiateNtlm = 0x00000200;
constexpr uint32_t kNegotiateNtOnly = 0x00000400;
constexpr uint32_t kOemDomainSupplied = 0x00001000;
constexpr uint32_t kOemWorkstationSupplied = 0x00002000;
constexpr uint32_t kAlwaysSign = 0x00008000;
constexpr uint32_t kExtendedSessionSecurity = 0x00080000;

// "NTLMSSP" and its terminating zero.
constexpr unsigned char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
// A shorter TYPE2 is refused.
constexpr uint32_t kMinChallengeBytes = 60;

struct Challenge {
    uint32_t flags = 0;
    unsigned char serverChallenge[8] = {};
    // As UTF-8; the names come from the target-info list when present.
    StringBuffer targetName;
    StringBuffer nbComputer;
    StringBuffer nbDomain;
    StringBuffer dnsComputer;
    StringBuffer dnsDomain;
};

// Parses a TYPE2. The target name is UTF-16LE when the server's flags carry
// NEGOTIATE_UNICODE, else text in oemCodePage. False, with the reason
// logged as an error, when the message is too short, is not an NTLMSSP
// TYPE2, or a security buffer points outside it. A target-info entry that
// runs past the end ends the walk quietly with the names read so far.
bool parseChallenge(const unsigned char* message, uint32_t size, unsigned oemCodePage,
                    Challenge& out, LogBase& log);

// Little-endian helpers shared by the message builders.
inline uint16_t readU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t readU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void writeU16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void writeU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace ntlm
