// Reply lines, EHLO capabilities, envelope commands and CRAM-MD5 responses
// as values: tables of wire texts, no socket.
#include "mail/smtp_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "mail/cram_md5.h"
#include "mail/smtp_capabilities.h"
#include "mail/smtp_commands.h"

namespace {

using smtpreply::LineKind;

TEST(SmtpReplyLine, Classification) {
    struct Case {
        std::string line;
        LineKind kind;
        int code;
    } cases[] = {
        {"250 OK\r\n", LineKind::Final, 250},
        {"250-first\r\n", LineKind::Continuation, 250},
        {"250\r\n", LineKind::Final, 250},  // RFC 5321: the text is optional
        {"250 \r\n", LineKind::Final, 250},
        {"250", LineKind::Final, 250},
        {"25\r\n", LineKind::Unrecognized, -2},
        {"\r\n", LineKind::Unrecognized, -2},
        {"abc\r\n", LineKind::Unrecognized, -2},
        {"OK, fine\r\n", LineKind::Final, -2},  // judged by the caller's expected code
        {"2x0-x\r\n", LineKind::Continuation, -2},
        {"554 5.7.1 no\n", LineKind::Final, 554},
        {"220-\r\n", LineKind::Continuation, 220},
        {"999 odd but numeric\r\n", LineKind::Final, 999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        StringBuffer line;
        line.setString(c.line.data(), static_cast<uint32_t>(c.line.size()));
        int code = 0;
        EXPECT_EQ(smtpreply::classify(line, code), c.kind);
        EXPECT_EQ(code, c.code);
    }
}

TEST(SmtpCapabilitiesValue, EhloLinesGiveMechanismsAndKeywords) {
    SmtpCapabilities caps;
    bool first = true;
    for (const char* line : {"250-mail.example.com Hello\r\n", "250-PIPELINING\r\n",
                             "250-SIZE 10240000\r\n", "250-auth login Plain cram-md5\r\n",
                             "250-AUTH=LOGIN\r\n", "250-STARTTLS\r\n", "250 SMTPUTF8\r\n"}) {
        StringBuffer sb(line);
        caps.noteEhloLine(sb, first);
        first = false;
    }
    EXPECT_EQ(caps.mechanisms(),
              SmtpCapabilities::kLogin | SmtpCapabilities::kPlain | SmtpCapabilities::kCramMd5);
    for (const char* k : {"PIPELINING", "size", "STARTTLS", "SmtpUtf8", "AUTH"})
        EXPECT_TRUE(caps.offers(k)) << k;
    EXPECT_FALSE(caps.offers("CHUNKING"));
    EXPECT_FALSE(caps.offers("MAIL.EXAMPLE.COM"));  // the first line names the server
    caps.clear();
    EXPECT_EQ(caps.mechanisms(), 0u);
    EXPECT_FALSE(caps.offers("PIPELINING"));

    // Every mechanism the AUTH line can name, and one that is no mechanism.
    StringBuffer all("250 AUTH NTLM MSN GSSAPI ANONYMOUS DIGEST-MD5 KERBEROS_V4 XOAUTH2\r\n");
    caps.noteEhloLine(all);
    EXPECT_EQ(caps.mechanisms(), SmtpCapabilities::kNtlm | SmtpCapabilities::kMsn |
                                     SmtpCapabilities::kGssapi | SmtpCapabilities::kAnonymous |
                                     SmtpCapabilities::kDigestMd5 | SmtpCapabilities::kKerberosV4);
    // Mechanism names outside an AUTH line set nothing.
    caps.clear();
    StringBuffer other("250 X-NOT-AUTH LOGIN PLAIN\r\n");
    caps.noteEhloLine(other);
    EXPECT_EQ(caps.mechanisms(), 0u);
}

TEST(SmtpEnvelopeCommands, RefuseWhatWouldChangeTheCommand) {
    const std::string at = "@example.com";
    struct Case {
        std::string path;
        smtpcmd::Verdict verdict;
    } cases[] = {
        {"bob@example.com", smtpcmd::Verdict::Ok},
        {"", smtpcmd::Verdict::Ok},  // the null reverse path
        {std::string(254 - at.size(), 'a') + at, smtpcmd::Verdict::Ok},
        {std::string(255 - at.size(), 'a') + at, smtpcmd::Verdict::TooLong},
        {"bob@example.com\r\nRCPT TO:<spy@example.com>", smtpcmd::Verdict::LineBreakOrNul},
        {"bob@example.com\nX", smtpcmd::Verdict::LineBreakOrNul},
        {std::string("bob\0@example.com", 16), smtpcmd::Verdict::LineBreakOrNul},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StringBuffer path, mail, rcpt;
        path.setString(c.path.data(), static_cast<uint32_t>(c.path.size()));
        EXPECT_EQ(smtpcmd::mailFrom(path, mail), c.verdict);
        EXPECT_EQ(smtpcmd::rcptTo(path, rcpt), c.verdict);
        if (c.verdict == smtpcmd::Verdict::Ok) {
            EXPECT_EQ(std::string(mail.getString()), "MAIL FROM:<" + c.path + ">\r\n");
            EXPECT_EQ(std::string(rcpt.getString()), "RCPT TO:<" + c.path + ">\r\n");
        } else {
            EXPECT_TRUE(mail.isEmpty());
        }
    }
}

// RFC 2195's example and a key longer than a block go over the wire in the
// CRAM-MD5 scenarios; here the edges of the challenge.
TEST(CramMD5, EmptyChallengeAndZeroByte) {
    StringBuffer user("u"), key("secret"), forEmpty, whole, cut;
    DataBuffer empty, withZero, before;
    CramMD5::computeResponse(user, key, empty, forEmpty);
    EXPECT_EQ(std::string(forEmpty.getString()),
              "u 5c8db03f04cec0f43bcb060023914190");  // Python hmac
    // A zero byte does not end the challenge.
    withZero.append("ab\0cd", 5);
    before.append("ab", 2);
    CramMD5::computeResponse(user, key, withZero, whole);
    CramMD5::computeResponse(user, key, before, cut);
    EXPECT_NE(std::string(whole.getString()), std::string(cut.getString()));
}

}  // namespace
