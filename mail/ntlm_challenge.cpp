#include "mail/ntlm_challenge.h"

#include <cstring>

#include "diag/log_base.h"
#include "text/data_buffer.h"
#include "text/encoding_convert.h"

namespace ntlm {
namespace {

// A security buffer: length, allocated length, offset from the message start.
// False when it reaches past the end of the message.
bool securityBuffer(const unsigned char* message, uint32_t size, uint32_t at, uint32_t& offset,
                    uint32_t& length) {
    length = readU16(message + at);
    offset = readU32(message + at + 4);
    return static_cast<uint64_t>(offset) + length <= size;
}

void toUtf8(unsigned codePage, const unsigned char* bytes, uint32_t n, StringBuffer& out) {
    out.clear();
    if (n == 0) return;
    DataBuffer utf8;
    EncodingConvert conv;
    conv.convert(codePage, cp::Utf8, bytes, n, utf8);
    out.append(reinterpret_cast<const char*>(utf8.data()), utf8.size());
}

// Walks the AV pairs: id, length, value; id 0 ends the list.
void readTargetInfo(const unsigned char* info, uint32_t size, Challenge& out) {
    uint32_t pos = 0;
    while (size - pos >= 4) {
        const uint16_t id = readU16(info + pos);
        const uint16_t length = readU16(info + pos + 2);
        if (id == 0) return;
        pos += 4;
        if (length > size - pos) return;
        StringBuffer* name = nullptr;
        switch (id) {
            case 1:
                name = &out.nbComputer;
                break;
            case 2:
                name = &out.nbDomain;
                break;
            case 3:
                name = &out.dnsComputer;
                break;
            case 4:
                name = &out.dnsDomain;
                break;
            default:
                break;
        }
        // length / 2 UTF-16 characters: an odd last byte is not part of one.
        if (name) toUtf8(cp::Utf16LE, info + pos, length & ~1u, *name);
        pos += length;
    }
}

}  // namespace

bool parseChallenge(const unsigned char* message, uint32_t size, unsigned oemCodePage,
                    Challenge& out, LogBase& log) {
    out = Challenge();
    if (!message || size < kMinChallengeBytes) {
        log.LogError("TYPE2 message is not long enough.");
        return false;
    }
    if (memcmp(message, kSignature, 7) != 0) {
        log.LogError("Expected TYPE2 message to begin with NTLMSSP.");
        return false;
    }
    if (readU32(message + 8) != 2) {
        log.LogError("TYPE2 message type not equal to 2");
        return false;
    }
    out.flags = readU32(message + 20);
    memcpy(out.serverChallenge, message + 24, 8);

    uint32_t offset = 0, length = 0;
    if (!securityBuffer(message, size, 12, offset, length)) {
        log.LogError("Failed to get target name from TYPE2 message.");
        return false;
    }
    toUtf8((out.flags & kNegotiateUnicode) ? cp::Utf16LE : oemCodePage, message + offset,
           (out.flags & kNegotiateUnicode) ? (length & ~1u) : length, out.targetName);

    if (!securityBuffer(message, size, 40, offset, length)) {
        log.LogError("Failed to get target info data from TYPE2 message.");
        return false;
    }
    readTargetInfo(message + offset, length, out);
    return true;
}

}  // namespace ntlm
