// AUTH NTLM through the loaded module against Postfix with Cyrus SASL's
// NTLM: on Linux the test starts its own Postfix and the module uses its
// in-process NTLM provider; under Wine, scripts/test-windows starts Postfix
// on the Linux side, passes its port in SMTP_POSTFIX_NTLM_PORT, and the DLL
// goes through Wine's NTLM security package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host_support.h"
#include "integration/postfix_process.h"

using host_test::Plugin;
using host_test::ScratchDir;

namespace {

// The account scripts/test-windows creates for the Windows run.
const char kUser[] = "ntlm-user";
const char kPassword[] = "Ntlm pass, more than 14";
const wchar_t kUserW[] = L"ntlm-user";
const wchar_t kPasswordW[] = L"Ntlm pass, more than 14";

class NtlmDelivery : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        const char* port = std::getenv("SMTP_POSTFIX_NTLM_PORT");
        if (!port || !*port)
            GTEST_SKIP() << "SMTP_POSTFIX_NTLM_PORT is not set (scripts/test-windows sets it)";
        m_port = std::wstring(port, port + std::char_traits<char>::length(port));
#else
        std::string why;
        if (!m_postfix.start(kUser, kPassword, "NTLM", why)) {
            if (m_postfix.skipped()) GTEST_SKIP() << why;
            FAIL() << why << m_postfix.logTail();
        }
        m_port = std::to_wstring(m_postfix.port());
#endif
    }

    void compose(Plugin& p) {
        ASSERT_TRUE(p->set_from(L"alice@example.com"));
        ASSERT_TRUE(p->add_to(L"bob@far-away.example"));
        ASSERT_TRUE(p->set_subject(L"Sent after AUTH NTLM"));
        ASSERT_TRUE(p->set_body(L"NTLM body \u00e9"));
    }

    std::wstring m_port;
#ifndef _WIN32
    smtp_integration::PostfixSasl m_postfix;
#endif
};

TEST_F(NtlmDelivery, LogsInAndTheMessageIsAccepted) {
    ScratchDir dir;
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", m_port.c_str(), kUserW, kPasswordW));
    EXPECT_TRUE(p->connect());
    compose(p);
    ASSERT_TRUE(p->send()) << dir.read("smtp_errors.xml");
    EXPECT_EQ(p.takeError(), L"");
#ifndef _WIN32
    std::vector<std::string> delivered = m_postfix.messages(1);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_NE(delivered[0].find("Subject: Sent after AUTH NTLM"), std::string::npos)
        << delivered[0];
#endif
}

TEST_F(NtlmDelivery, WrongPasswordIsRefusedAndExplained) {
    ScratchDir dir;
    Plugin p;
    ASSERT_TRUE(p->set_server(L"127.0.0.1", m_port.c_str(), kUserW, L"Wrong NTLM pass 42"));
    EXPECT_FALSE(p->connect());
    compose(p);
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    const std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<info>Using Microsoft SSPI NTLM.</info>"), std::string::npos) << log;
    EXPECT_NE(log.find("<error>NTLM authentication failed</error>"), std::string::npos) << log;
    EXPECT_NE(log.find("<error>Logon denied.  Check username, password, and domain</error>"),
              std::string::npos);
    EXPECT_EQ(log.find("Wrong NTLM pass 42"), std::string::npos) << log;
}

}  // namespace
