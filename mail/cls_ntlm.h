#pragma once
// NTLM messages built by this library itself, without the operating
// system's security packages: the negotiate message (TYPE1), the reading of
// the server's challenge (TYPE2) and the authenticate message (TYPE3) with
// NTLMv1 responses, or the NTLM2 session response when the server asks for
// extended session security.
#include <cstdint>

#include "diag/cls_base.h"
#include "text/data_buffer.h"
#include "text/string_buffer.h"
#include "text/xstring.h"

namespace ntlm {
struct Challenge;
}

class ClsNtlm : public ClsBase {
  public:
    // NEGOTIATE_UNICODE | NEGOTIATE_OEM | REQUEST_TARGET | NEGOTIATE_NTLM |
    // ALWAYS_SIGN | EXTENDED_SESSIONSECURITY.
    static constexpr uint32_t kDefaultFlags = 0x00088207;
    static constexpr uint32_t kHashSize = 16;
    static constexpr uint32_t kResponseSize = 24;

    ClsNtlm();

    void setWorkstation(const XString& name) { m_workstation.copyFrom(name); }
    void setUsername(const XString& name) { m_username.copyFrom(name); }
    void setPassword(const XString& password) { m_password.copyFrom(password); }
    void setOemCodePage(unsigned codePage) { m_oemCodePage = codePage; }
    unsigned oemCodePage() const { return m_oemCodePage; }
    uint32_t flags() const { return m_flags; }

    // The messages as they travel: base64 on one line, no line end.
    bool genType1(LogBase& log, StringBuffer& out);
    bool genType3(const StringBuffer& type2, LogBase& log, StringBuffer& out);

    // The same messages as bytes.
    void buildType1(DataBuffer& out, LogBase& log);
    bool buildType3(const unsigned char* type2, uint32_t size, DataBuffer& out, LogBase& log);

    // MD4 of the password in UTF-16LE.
    static void ntHash(XString& password, unsigned char out[kHashSize]);
    // The password upper-cased and converted to the code page, cut or padded
    // to 14 bytes, each half a DES key for "KGS!@#$%".
    static void lmHash(XString& password, unsigned codePage, unsigned char out[kHashSize]);
    // The hash padded to 21 bytes, three DES keys over the challenge. False
    // (and no response) unless the hash has 16 bytes and the challenge 8.
    static bool desl(const unsigned char* hash, uint32_t hashSize, const unsigned char* challenge,
                     uint32_t challengeSize, unsigned char out[kResponseSize]);

    // Tests pin the client challenge, which is otherwise fresh random bytes
    // for every TYPE3; null returns to random.
    void setClientChallengeForTesting(const unsigned char* challenge);

  private:
    // The LM and NT responses (kResponseSize bytes each) to the server's
    // challenge: NTLMv1, or the NTLM2 session response.
    void computeResponses(const ntlm::Challenge& challenge, const unsigned char* client,
                          unsigned char* lm, unsigned char* nt);
    // The TYPE3 message: its header, then the payload in a fixed order.
    bool assembleType3(uint32_t flags, bool unicode, const unsigned char* lm,
                       const unsigned char* nt, DataBuffer& out, LogBase& log);
    // Appends a text to the TYPE3 payload in the negotiated form.
    void appendText(XString& text, bool unicode, DataBuffer& payload);
    bool clientChallenge(unsigned char out[8], LogBase& log);

    unsigned m_oemCodePage;
    uint32_t m_flags;
    XString m_workstation;
    XString m_username;
    XString m_password;
    bool m_fixedClientChallenge = false;
    unsigned char m_clientChallenge[8] = {};
};
