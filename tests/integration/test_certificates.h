#pragma once
// The test CA and server certificates (make_tls_certs.sh beside this file),
// made once per test process in a private directory that goes with it.
// POSIX only: the openssl tool runs beside the tests.
#ifndef _WIN32
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "command.h"

namespace smtp_integration {

class TestCertificates {
  public:
    // The directory holding ca.pem, server.pem/.key, server-chain.pem,
    // wrong-name.*, expired.*, untrusted.*, rogue-ca.pem; empty (with the
    // reason in why()) when they could not be made.
    static const TestCertificates& get() {
        static TestCertificates made;
        return made;
    }
    const std::string& dir() const { return m_dir; }
    const std::string& why() const { return m_why; }

    ~TestCertificates() {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }

  private:
    TestCertificates() {
        std::string dir = "/tmp/smtp-test-certs.XXXXXX";
        if (!mkdtemp(dir.data())) {
            m_why = "mkdtemp failed";
            return;
        }
        std::string out;
        const int status = runCommand({SMTP_INTEGRATION_DIR "/make_tls_certs.sh", dir}, out);
        if (status != 0) {
            m_why = "make_tls_certs.sh exited with " + std::to_string(status) + ": " + out;
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
            return;
        }
        m_dir = dir;
    }

    std::string m_dir;
    std::string m_why;
};

}  // namespace smtp_integration
#endif
