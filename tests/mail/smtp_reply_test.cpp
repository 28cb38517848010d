// Reply lines, EHLO capabilities and envelope commands as values, from the
// tables in tests/data/smtp/*.tsv (CRAM-MD5 responses go over the wire in
// the auth_cram_md5_* scenarios); and arguments the connection refuses
// before it needs a socket.
#include "mail/smtp_reply.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "mail/smtp_capabilities.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "support/data_file.h"
#include "support/engine_log.h"

using namespace testsupport;

namespace {

StringBuffer buffer(const std::string& s) {
    StringBuffer sb;
    sb.setString(s.data(), static_cast<uint32_t>(s.size()));
    return sb;
}

TEST(SmtpReplyLine, Classification) {
    const char* const kinds[] = {"final", "continuation", "unrecognized"};
    for (const std::string& row : dataLines("smtp/reply_lines.tsv")) {
        SCOPED_TRACE(row);
        const auto f = tabFields(row);
        int code = 0;
        EXPECT_EQ(kinds[static_cast<int>(smtpreply::classify(buffer(f.at(0)), code))], f.at(1));
        EXPECT_EQ(code, std::stoi(f.at(2)));
    }
}

TEST(SmtpCapabilitiesValue, EhloLinesGiveMechanismsAndKeywords) {
    // SmtpCapabilities::Mechanism's bits, from the lowest.
    const std::string names[] = {"LOGIN",      "PLAIN",  "CRAM-MD5",    "NTLM",     "MSN",
                                 "DIGEST-MD5", "GSSAPI", "KERBEROS_V4", "ANONYMOUS"};
    // One object for every row: clear() must leave nothing of the last reply.
    SmtpCapabilities caps;
    for (const std::string& row : dataLines("smtp/ehlo_replies.tsv")) {
        SCOPED_TRACE(row);
        const auto f = tabFields(row);
        caps.clear();
        for (size_t i = 3; i < f.size(); ++i) caps.noteEhloLine(buffer(f[i]), i == 3);
        std::string on;
        for (uint32_t bit = 0; bit < 32; ++bit)
            if (caps.mechanisms() >> bit & 1)
                on += (on.empty() ? "" : " ") + (bit < 9 ? names[bit] : std::to_string(bit));
        EXPECT_EQ(on, f.at(0));
        std::istringstream offered(f.at(1)), notOffered(f.at(2));
        for (std::string k; offered >> k;) EXPECT_TRUE(caps.offers(k.c_str())) << k;
        for (std::string k; notOffered >> k;) EXPECT_FALSE(caps.offers(k.c_str())) << k;
    }
}

TEST(SmtpEnvelopeCommands, RefuseWhatWouldChangeTheCommand) {
    const char* const verdicts[] = {"ok", "line-break", "too-long"};
    for (const std::string& row : dataLines("smtp/envelope_paths.tsv")) {
        const auto f = tabFields(row);
        SCOPED_TRACE(row);
        StringBuffer mail, rcpt;
        EXPECT_EQ(verdicts[static_cast<int>(smtpcmd::mailFrom(buffer(f.at(0)), mail))], f.at(1));
        EXPECT_EQ(verdicts[static_cast<int>(smtpcmd::rcptTo(buffer(f.at(0)), rcpt))], f.at(1));
        EXPECT_EQ(str(mail), f.at(1) == "ok" ? "MAIL FROM:<" + f[0] + ">\r\n" : "");
        EXPECT_EQ(str(rcpt), f.at(1) == "ok" ? "RCPT TO:<" + f[0] + ">\r\n" : "");
    }
}

TEST(SmtpArguments, RefusedWithoutASocket) {
    SmtpConnImpl smtp;
    Logger log;
    XString empty, pass = xs("x");
    bool timedOut = true, tryAnother = true;
    EXPECT_FALSE(smtp.authLoginExchange(empty, pass, log, timedOut));
    EXPECT_FALSE(smtp.authPlainExchange(pass, empty, log, timedOut));
    EXPECT_FALSE(smtp.authCramMd5Exchange(empty, empty, log, timedOut));
    EXPECT_FALSE(smtp.authNtlmExchange(empty, pass, log, timedOut, tryAnother));
    EXPECT_FALSE(tryAnother);
    EXPECT_EQ(entries(log).size(), 1u + 3u);  // the root and three errors
    EXPECT_TRUE(hasError(log, "Username and/or password is empty"));

    log.ClearLog();
    int accepted = 5, total = 5;
    StringBuffer from("a@example.com");
    EXPECT_FALSE(smtp.sendEmail(nullptr, from, log, accepted, total, timedOut));
    EXPECT_TRUE(hasError(log, "email argument to SmtpConnImpl is NULL"));
    EXPECT_EQ(accepted + total, 0);
    EXPECT_FALSE(timedOut);
}

}  // namespace
