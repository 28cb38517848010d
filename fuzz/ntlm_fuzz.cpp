// NTLM: the server's challenge (TYPE2) read through to the answer (TYPE3).
// Input: a byte choosing the OEM code page, then the TYPE2 bytes.
// Oracle: no crash, out-of-bounds read or undefined behaviour; a TYPE3 is
// built exactly when the TYPE2 parses; the names read from it are valid
// UTF-8; the TYPE3 is well-formed: signature, type 3, the flags the client
// and the server share, every security buffer inside the message, 24-byte
// responses, an empty domain and session key, the user name in UTF-16LE or
// the OEM code page as negotiated; and the base64 road (genType3) gives
// the same message.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "diag/log_base.h"
#include "fuzz/fuzz_support.h"
#include "mail/cls_ntlm.h"
#include "mail/ntlm_challenge.h"
#include "mime/content_coding.h"
#include "text/encoding_convert.h"

namespace {

const unsigned kOemPages[] = {437, 850, 866, 932, 1252};
const char kUser[] = "J\xC3\xBCrgen.M\xC3\xB6ller";  // non-ASCII on purpose
const char kPassword[] = "S3cr\xC3\xA9t-Passw0rd-longer-than-14";
const char kWorkstation[] = "WS-\xC3\x85SA";

bool isUtf8(const StringBuffer& s) {
    std::string plain;
    for (uint32_t i = 0; i < s.length(); ++i)
        if (s.charAt(i) != 0) plain += s.charAt(i);
    return fuzzsupport::validUtf8(plain) == plain;
}

struct Field {
    uint32_t length, offset;
};
Field field(const DataBuffer& m, uint32_t at) {
    return {ntlm::readU16(m.data() + at), ntlm::readU32(m.data() + at + 4)};
}

std::string expectedText(const char* utf8, bool unicode, unsigned oem) {
    DataBuffer out;
    EncodingConvert().convert(65001, unicode ? 1200 : oem, utf8,
                              static_cast<uint32_t>(std::strlen(utf8)), out);
    return fuzzsupport::str(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 0x10000) return 0;
    const unsigned oem = kOemPages[data[0] % (sizeof kOemPages / sizeof kOemPages[0])];
    const unsigned char* type2 = data + 1;
    const auto n = static_cast<uint32_t>(size - 1);
    LogNull log;

    ntlm::Challenge challenge;
    const bool parsed = ntlm::parseChallenge(type2, n, oem, challenge, log);
    if (parsed) {
        FUZZ_CHECK(isUtf8(challenge.targetName) && isUtf8(challenge.nbComputer) &&
                       isUtf8(challenge.nbDomain) && isUtf8(challenge.dnsComputer) &&
                       isUtf8(challenge.dnsDomain),
                   "a name read from TYPE2 is not UTF-8");
    }

    static const unsigned char kClient[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ClsNtlm ntlm;
    ntlm.setOemCodePage(oem);
    XString user, password, workstation;
    user.setFromUtf8(kUser);
    password.setFromUtf8(kPassword);
    workstation.setFromUtf8(kWorkstation);
    ntlm.setUsername(user);
    ntlm.setPassword(password);
    ntlm.setWorkstation(workstation);
    ntlm.setClientChallengeForTesting(kClient);

    DataBuffer type3;
    const bool built = ntlm.buildType3(type2, n, type3, log);
    FUZZ_CHECK(built == parsed, "TYPE3 built for a TYPE2 that does not parse, or not built");
    if (!built) return 0;

    const uint32_t size3 = type3.size();
    FUZZ_CHECK(size3 >= 64, "TYPE3 shorter than its header");
    FUZZ_CHECK(std::memcmp(type3.data(), ntlm::kSignature, 8) == 0, "TYPE3 signature");
    FUZZ_CHECK(ntlm::readU32(type3.data() + 8) == 3, "TYPE3 type");
    const uint32_t flags = ntlm::readU32(type3.data() + 60);
    FUZZ_CHECK(flags == (ClsNtlm::kDefaultFlags & challenge.flags), "TYPE3 flags");
    for (uint32_t at : {12u, 20u, 28u, 36u, 44u, 52u}) {
        const Field f = field(type3, at);
        FUZZ_CHECK(ntlm::readU16(type3.data() + at + 2) == f.length, "allocated length differs");
        FUZZ_CHECK(f.offset >= 64 || f.length == 0, "a security buffer points into the header");
        FUZZ_CHECK(static_cast<uint64_t>(f.offset) + f.length <= size3,
                   "a security buffer points past the message");
    }
    FUZZ_CHECK(field(type3, 12).length == 24 && field(type3, 20).length == 24,
               "responses are not 24 bytes");
    FUZZ_CHECK(field(type3, 28).length == 0 && field(type3, 52).length == 0,
               "domain or session key not empty");
    const bool unicode = (flags & ntlm::kNegotiateUnicode) != 0;
    const Field u = field(type3, 36);
    const std::string userBytes(reinterpret_cast<const char*>(type3.data()) + u.offset, u.length);
    FUZZ_CHECK(userBytes == expectedText(kUser, unicode, oem), "user name in the wrong form");

    // The same message through base64, as it travels.
    StringBuffer type2Text, type3Text, direct;
    ContentCoding::encodeBase64(type2, n, type2Text);
    FUZZ_CHECK(ntlm.genType3(type2Text, log, type3Text), "genType3 refused what buildType3 took");
    ContentCoding::encodeBase64(type3.data(), type3.size(), direct);
    FUZZ_CHECK(type3Text.equals(direct), "genType3 and buildType3 differ");
    return 0;
}
