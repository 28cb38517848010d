#pragma once
// The client side of an SSPI login: the security library, its packages,
// credentials, and the token loop with InitializeSecurityContext. On Windows
// the system's library stands behind it; elsewhere the in-process NTLM
// provider does.
#include <memory>
#include <string>
#include <vector>

#include "platform/security_library.h"
#include "text/data_buffer.h"
#include "text/string_buffer.h"

class LogBase;
class PackageExchange;
class XString;

class MsSspi {
  public:
    // ISC_REQ_REPLAY_DETECT.
    static constexpr unsigned long kContextRequirements = 4;

    // Loads the system's security library, or the in-process provider where
    // the system has none, and lists the installed packages.
    MsSspi();
    // The same over the given provider functions (tests).
    explicit MsSspi(const platform::SecurityFunctions& functions);
    ~MsSspi();
    MsSspi(const MsSspi&) = delete;
    MsSspi& operator=(const MsSspi&) = delete;

    int packageCount() const { return m_packageCount; }
    // Index of the first package of that name (ignoring case), else -1.
    int getPackageIndex(const char* name) const;
    void setExchange(PackageExchange* exchange) { m_exchange = exchange; }

    bool acquireCredentials(int packageIndex, XString& username, XString& password, LogBase& log);
    // One step of the token loop: incoming may be empty (the first step).
    bool prepareOutboundPackage(int packageIndex, const DataBuffer& incoming, DataBuffer& outgoing,
                                bool& finished, bool& authenticated, LogBase& log);
    // The whole loop over the exchange.
    bool authenticate(int packageIndex, XString& username, XString& password, LogBase& log);

    // Tests make an installed package look absent; null shows all again.
    static void hidePackageForTesting(const char* name);

  private:
    void listPackages();
    // What one status of the context step means: finished, authenticated,
    // whether the output token goes to the server; false on a failure.
    bool judgeStatus(uint32_t status, SecBufferDesc& outDesc, bool& finished, bool& authenticated,
                     bool& useOutput, LogBase& log);

    SecPkgInfoA* m_packages = nullptr;
    int m_packageCount = 0;
    StringBuffer m_username;
    StringBuffer m_password;
    SEC_WINNT_AUTH_IDENTITY_A m_identity{};
    CredHandle m_credentials{};
    bool m_haveCredentials = false;
    CtxtHandle m_context{};
    bool m_haveContext = false;
    PackageExchange* m_exchange = nullptr;
    unsigned long m_contextRequirements = kContextRequirements;
    void* m_library = nullptr;
    platform::SecurityFunctions m_functions;
    bool m_haveFunctions = false;
};

// What the SMTP code holds for one AUTH exchange.
class BrenvikSSPI {
  public:
    BrenvikSSPI() : m_sspi(std::make_unique<MsSspi>()) {}
    int getPackageIndex(const char* name) const {
        return m_sspi ? m_sspi->getPackageIndex(name) : -1;
    }
    void setExchange(PackageExchange* exchange) {
        if (m_sspi) m_sspi->setExchange(exchange);
    }
    bool authenticate(int packageIndex, XString& username, XString& password, LogBase& log) {
        return m_sspi && m_sspi->authenticate(packageIndex, username, password, log);
    }

  private:
    std::unique_ptr<MsSspi> m_sspi;
};
