#include "mail/cls_ntlm.h"

#include <cstring>

#include "crypto/des.h"
#include "crypto/md4.h"
#include "crypto/md5.h"
#include "diag/log_base.h"
#include "mail/ntlm_challenge.h"
#include "mime/content_coding.h"
#include "platform/code_pages.h"
#include "platform/random.h"
#include "text/case_mapping.h"
#include "text/encoding_convert.h"

using ntlm::writeU16;
using ntlm::writeU32;

namespace {

// Sets the security buffer at `at` to describe length bytes at offset.
void setSecurityBuffer(unsigned char* message, uint32_t at, uint32_t length, uint32_t offset) {
    writeU16(message + at, static_cast<uint16_t>(length));
    writeU16(message + at + 2, static_cast<uint16_t>(length));
    writeU32(message + at + 4, offset);
}

// Upper-cases UTF-16LE text character by character, surrogate pairs whole.
void upperCaseUtf16(const DataBuffer& in, DataBuffer& out) {
    const unsigned char* p = in.data();
    const uint32_t units = in.size() / 2;
    auto unit = [p](uint32_t i) { return static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)); };
    auto put = [&out](uint32_t u) {
        out.appendByte(static_cast<unsigned char>(u));
        out.appendByte(static_cast<unsigned char>(u >> 8));
    };
    for (uint32_t i = 0; i < units; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        }
        // y with diaeresis has its capital outside Latin-1.
        const uint32_t upper = c == 0xFF ? 0x178 : toUpperW(c);
        if (upper >= 0x10000) {
            put(0xD800 + ((upper - 0x10000) >> 10));
            put(0xDC00 + ((upper - 0x10000) & 0x3FF));
        } else {
            put(upper);
        }
    }
}

}  // namespace

ClsNtlm::ClsNtlm() : m_oemCodePage(platform::oemCodePage()), m_flags(kDefaultFlags) {}

void ClsNtlm::setClientChallengeForTesting(const unsigned char* challenge) {
    m_fixedClientChallenge = challenge != nullptr;
    if (challenge) memcpy(m_clientChallenge, challenge, 8);
}

bool ClsNtlm::clientChallenge(unsigned char out[8], LogBase& log) {
    if (m_fixedClientChallenge) {
        memcpy(out, m_clientChallenge, 8);
        return true;
    }
    if (platform::secureRandom(out, 8)) return true;
    log.LogError("No random bytes for the NTLM client challenge");
    return false;
}

// ---------------------------------------------------------------- hashes

void ClsNtlm::ntHash(XString& password, unsigned char out[kHashSize]) {
    const DataBuffer& utf16 = password.getUtf16Db();
    Md4::digest(utf16.data(), utf16.size(), out);
}

void ClsNtlm::lmHash(XString& password, unsigned codePage, unsigned char out[kHashSize]) {
    DataBuffer upper, oem;
    upperCaseUtf16(password.getUtf16Db(), upper);
    // Characters the code page lacks are left out, as the conversion does
    // everywhere else.
    EncodingConvert conv;
    conv.convert(cp::Utf16LE, codePage, upper.data(), upper.size(), oem);
    unsigned char key[14] = {};
    if (!oem.isEmpty()) memcpy(key, oem.data(), oem.size() < 14 ? oem.size() : 14);
    static const unsigned char kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    des::encryptBlock56(key, kMagic, out);
    des::encryptBlock56(key + 7, kMagic, out + 8);
}

bool ClsNtlm::desl(const unsigned char* hash, uint32_t hashSize, const unsigned char* challenge,
                   uint32_t challengeSize, unsigned char out[kResponseSize]) {
    if (!hash || !challenge || hashSize != kHashSize || challengeSize != 8) return false;
    unsigned char keys[21] = {};
    memcpy(keys, hash, kHashSize);
    for (int i = 0; i < 3; ++i) des::encryptBlock56(keys + 7 * i, challenge, out + 8 * i);
    return true;
}

// ---------------------------------------------------------------- TYPE1

void ClsNtlm::buildType1(DataBuffer& out, LogBase& log) {
    out.clear();
    DataBuffer workstation;
    if (!m_workstation.isEmpty()) {
        EncodingConvert conv;
        const DataBuffer& utf16 = m_workstation.getUtf16Db();
        conv.convert(cp::Utf16LE, m_oemCodePage, utf16.data(), utf16.size(), workstation);
    }
    uint32_t flags = m_flags;
    if (!workstation.isEmpty()) flags |= ntlm::kOemWorkstationSupplied;
    log.LogDataHex("t1_flags", flags);

    unsigned char header[32] = {};
    memcpy(header, ntlm::kSignature, 8);
    writeU32(header + 8, 1);
    writeU32(header + 12, flags);
    if (!workstation.isEmpty()) setSecurityBuffer(header, 24, workstation.size(), 32);
    out.append(header, sizeof header);
    out.append(workstation);
}

bool ClsNtlm::genType1(LogBase& log, StringBuffer& out) {
    DataBuffer message;
    buildType1(message, log);
    out.clear();
    return ContentCoding::encodeBase64(message.data(), message.size(), out);
}

// ---------------------------------------------------------------- TYPE3

void ClsNtlm::appendText(XString& text, bool unicode, DataBuffer& payload) {
    const DataBuffer& utf16 = text.getUtf16Db();
    if (unicode) {
        payload.append(utf16);
        return;
    }
    EncodingConvert conv;
    conv.convert(cp::Utf16LE, m_oemCodePage, utf16.data(), utf16.size(), payload);
}

void ClsNtlm::computeResponses(const ntlm::Challenge& challenge, const unsigned char* client,
                               unsigned char* lm, unsigned char* nt) {
    unsigned char ntHashBytes[kHashSize];
    ntHash(m_password, ntHashBytes);
    if (challenge.flags & ntlm::kExtendedSessionSecurity) {
        // NTLM2 session response: the NT response covers both challenges.
        unsigned char both[16], digest[Md5::kDigestSize];
        memcpy(both, challenge.serverChallenge, 8);
        memcpy(both + 8, client, 8);
        Md5::digest(both, sizeof both, digest);
        desl(ntHashBytes, kHashSize, digest, 8, nt);
        memcpy(lm, client, 8);
    } else {
        desl(ntHashBytes, kHashSize, challenge.serverChallenge, 8, nt);
        if (challenge.flags & ntlm::kNegotiateNtOnly) {
            memcpy(lm, nt, kResponseSize);
        } else {
            unsigned char lmHashBytes[kHashSize];
            lmHash(m_password, m_oemCodePage, lmHashBytes);
            desl(lmHashBytes, kHashSize, challenge.serverChallenge, 8, lm);
        }
    }
}

bool ClsNtlm::assembleType3(uint32_t flags, bool unicode, const unsigned char* lm,
                            const unsigned char* nt, DataBuffer& out, LogBase& log) {
    // Header first, then the payload in a fixed order; each buffer points at
    // where its part starts (an empty part at the current end).
    unsigned char header[64] = {};
    memcpy(header, ntlm::kSignature, 8);
    writeU32(header + 8, 3);
    writeU32(header + 60, flags);
    DataBuffer payload;
    uint32_t at = sizeof header;
    auto place = [&](uint32_t field, uint32_t start) {
        setSecurityBuffer(header, field, payload.size() + sizeof header - start, start);
        at = payload.size() + sizeof header;
    };
    place(28, at);  // no domain
    uint32_t start = at;
    appendText(m_username, unicode, payload);
    place(36, start);
    start = at;
    appendText(m_workstation, unicode, payload);
    place(44, start);
    start = at;
    payload.append(lm, kResponseSize);
    place(12, start);
    start = at;
    payload.append(nt, kResponseSize);
    place(20, start);
    if (sizeof header + payload.size() > 0xFFFF) {
        log.LogError("NTLM TYPE3 message too large");
        return false;
    }
    return out.append(header, sizeof header) && out.append(payload);
}

bool ClsNtlm::buildType3(const unsigned char* type2, uint32_t size, DataBuffer& out, LogBase& log) {
    out.clear();
    ntlm::Challenge challenge;
    if (!ntlm::parseChallenge(type2, size, m_oemCodePage, challenge, log)) {
        log.LogError("Failed to decode TYPE2 input message.");
        return false;
    }
    log.LogDataSb("TargetName", challenge.targetName);
    log.LogDataSb("nbComputer", challenge.nbComputer);
    log.LogDataSb("nbDomain", challenge.nbDomain);
    log.LogDataSb("dnsComputer", challenge.dnsComputer);
    log.LogDataSb("dnsDomain", challenge.dnsDomain);
    log.LogDataHex("t2_flags", challenge.flags);

    const uint32_t flags = m_flags & challenge.flags;
    const bool unicode = (flags & ntlm::kNegotiateUnicode) != 0;
    log.LogDataHex("t3_flags", flags);

    unsigned char client[8];
    if (!clientChallenge(client, log)) return false;
    log.LogDataLong("NtlmVersion", 1);

    unsigned char lm[kResponseSize] = {};
    unsigned char nt[kResponseSize] = {};
    computeResponses(challenge, client, lm, nt);
    // Either response and the challenge together can be cracked offline to
    // the password's hash: only their sizes reach the log.
    log.LogData("LmResponse", "24 bytes, not logged");
    log.LogData("NtResponse", "24 bytes, not logged");

    return assembleType3(flags, unicode, lm, nt, out, log);
}

bool ClsNtlm::genType3(const StringBuffer& type2, LogBase& log, StringBuffer& out) {
    out.clear();
    DataBuffer decoded, message;
    ContentCoding::decodeBase64(type2.getString(), type2.length(), decoded);
    if (!buildType3(decoded.data(), decoded.size(), message, log)) return false;
    return ContentCoding::encodeBase64(message.data(), message.size(), out);
}
