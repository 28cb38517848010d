#include "mail/ms_sspi.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "diag/log_base.h"
#include "mail/ntlm_provider.h"
#include "mail/package_exchange.h"
#include "text/ascii.h"
#include "text/xstring.h"

using text::toUpperAscii;

namespace {

// More rounds than any package here needs; a peer that keeps answering
// with new challenges is not followed further.
constexpr int kMaxRounds = 16;

std::mutex g_hiddenLock;
std::set<std::string> g_hidden;  // upper-case names

std::string upper(const char* s) {
    std::string out(s ? s : "");
    return toUpperAscii(out);
}

bool hidden(const char* name) {
    std::lock_guard<std::mutex> guard(g_hiddenLock);
    return !g_hidden.empty() && g_hidden.count(upper(name)) != 0;
}

const char* credentialStatusName(SECURITY_STATUS status) {
    switch (static_cast<uint32_t>(status)) {
        case 0x8009030D:
            return "SEC_E_UNKNOWN_CREDENTIALS";
        case 0x8009030E:
            return "SEC_E_NO_CREDENTIALS";
        case 0x80090306:
            return "SEC_E_NOT_OWNER";
        case 0x80090300:
            return "SEC_E_INSUFFICIENT_MEMORY";
        case 0x80090304:
            return "SEC_E_INTERNAL_ERROR";
        case 0x80090305:
            return "SEC_E_SECPKG_NOT_FOUND";
        default:
            return nullptr;
    }
}

// Overwrites the bytes in place before emptying the buffer.
void wipe(StringBuffer& sb) {
    const std::string zeros(sb.length(), '\0');
    sb.setString(zeros.data(), static_cast<uint32_t>(zeros.size()));
    sb.clear();
}

bool isDefault(XString& value) {
    StringBuffer s(value.getUtf8());
    s.toLowerCase();
    s.trim();
    return s.equals("default");
}

}  // namespace

MsSspi::MsSspi() {
    m_library = platform::loadSecurityLibrary(m_functions);
    m_haveFunctions = m_library != nullptr;
#ifndef _WIN32
    if (!m_haveFunctions) {
        m_functions = ntlm::inProcessProvider();
        m_haveFunctions = true;
    }
#endif
    listPackages();
}

MsSspi::MsSspi(const platform::SecurityFunctions& functions) : m_functions(functions) {
    m_haveFunctions = m_functions.complete();
    listPackages();
}

MsSspi::~MsSspi() {
    if (m_haveFunctions) {
        if (m_packages) m_functions.freeContextBuffer(m_packages);
        if (m_haveContext) m_functions.deleteContext(&m_context);
        if (m_haveCredentials) m_functions.freeCredentials(&m_credentials);
    }
    platform::freeSecurityLibrary(m_library);
    m_packages = nullptr;
    m_packageCount = 0;
    m_haveContext = m_haveCredentials = m_haveFunctions = false;
    m_library = nullptr;
    m_exchange = nullptr;
}

void MsSspi::listPackages() {
    if (!m_haveFunctions || !m_functions.complete()) {
        m_haveFunctions = false;
        return;
    }
    unsigned long count = 0;
    PSecPkgInfoA packages = nullptr;
    if (m_functions.enumeratePackages(&count, &packages) != SEC_E_OK || !packages) return;
    m_packages = packages;
    m_packageCount = static_cast<int>(count);
}

int MsSspi::getPackageIndex(const char* name) const {
    if (!name || hidden(name)) return -1;
    for (int i = 0; i < m_packageCount; ++i)
        if (m_packages[i].Name && upper(m_packages[i].Name) == upper(name)) return i;
    return -1;
}

void MsSspi::hidePackageForTesting(const char* name) {
    std::lock_guard<std::mutex> guard(g_hiddenLock);
    if (name)
        g_hidden.insert(upper(name));
    else
        g_hidden.clear();
}

bool MsSspi::acquireCredentials(int packageIndex, XString& username, XString& password,
                                LogBase& log) {
    if (username.isEmpty() || password.isEmpty()) {
        log.LogError("Failed to acquire alternate credentials: no username and/or password");
        return false;
    }
    if (packageIndex < 0 || packageIndex >= m_packageCount) {
        log.LogError("Failed to acquire alternate credentials: package index out of range");
        log.LogDataLong("PackageIndex", packageIndex);
        log.LogDataLong("NumPackages", m_packageCount);
        return false;
    }
    if (m_haveCredentials) {
        m_functions.freeCredentials(&m_credentials);
        m_haveCredentials = false;
    }
    void* authData = nullptr;
    if (isDefault(username) && isDefault(password)) {
        log.LogInfo("Using default NTLM credentials.");
    } else {
        m_username.setString(username.getAnsi());
        m_password.setString(password.getAnsi());
        m_identity = SEC_WINNT_AUTH_IDENTITY_A{};
        m_identity.User =
            reinterpret_cast<unsigned char*>(const_cast<char*>(m_username.getString()));
        m_identity.UserLength = m_username.length();
        m_identity.Password =
            reinterpret_cast<unsigned char*>(const_cast<char*>(m_password.getString()));
        m_identity.PasswordLength = m_password.length();
        m_identity.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
        authData = &m_identity;
    }
    TimeStamp expiry{};
    SECURITY_STATUS status = m_functions.acquireCredentials(
        nullptr, m_packages[packageIndex].Name, SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr,
        nullptr, &m_credentials, &expiry);
    // The identity points into our buffers: the password is not kept longer
    // than the provider needs it.
    wipe(m_password);
    m_identity = SEC_WINNT_AUTH_IDENTITY_A{};
    if (status == SEC_E_OK) {
        m_haveCredentials = true;
        return true;
    }
    log.LogError("Failed to acquire credentials handle");
    log.LogData("username", username.getUtf8());
    log.LogData("domain", "NONE");
    if (const char* name = credentialStatusName(status))
        log.LogData("status_code", name);
    else
        log.LogDataHex("status_code", static_cast<uint32_t>(status));
    return false;
}

namespace {

// The log text of a failure status the provider is known to return.
const char* failedStatusText(uint32_t status) {
    switch (status) {
        case 0x80090301:
            return "BrenvikSSPI.prepareOutboundPackage: SEC_E_INVALID_HANDLE";
        case 0x80090303:
            return "BrenvikSSPI.prepareOutboundPackage: SEC_E_TARGET_UNKNOWN";
        case 0x80090304:
            return "BrenvikSSPI.prepareOutboundPackage: SEC_E_INTERNAL_ERROR";
        case 0x8009030E:
            return "BrenvikSSPI.prepareOutboundPackage: SEC_E_NO_CREDENTIALS";
        case 0x80090311:
            return "BrenvikSSPI.prepareOutboundPackage: SEC_E_NO_AUTHENTICATING_AUTHORITY";
        default:
            return nullptr;
    }
}

}  // namespace

bool MsSspi::judgeStatus(uint32_t status, SecBufferDesc& outDesc, bool& finished,
                         bool& authenticated, bool& useOutput, LogBase& log) {
    switch (status) {
        case 0x00000000:  // SEC_E_OK
            authenticated = useOutput = true;
            return true;
        case 0x00090312:  // SEC_I_CONTINUE_NEEDED
            finished = false;
            useOutput = true;
            return true;
        case 0x00090313:  // SEC_I_COMPLETE_NEEDED
            log.LogError("BrenvikSSPI.prepareOutboundPackage: SEC_I_COMPLETE_NEEDED");
            m_functions.completeAuthToken(&m_context, &outDesc);
            authenticated = useOutput = true;
            return true;
        case 0x00090314:  // SEC_I_COMPLETE_AND_CONTINUE
            log.LogError("BrenvikSSPI.prepareOutboundPackage: SEC_I_COMPLETE_AND_CONTINUE");
            m_functions.completeAuthToken(&m_context, &outDesc);
            finished = false;
            useOutput = true;
            return true;
        case 0x8009030C:  // SEC_E_LOGON_DENIED: the server still gets the token
            log.LogError("LOGON_DENIED");
            useOutput = true;
            return true;
        case 0x80090308:  // SEC_E_INVALID_TOKEN
            return true;
        default:
            if (const char* text = failedStatusText(status)) log.LogError(text);
            log.LogDataHex("statusCode", status);
            log.LogError("Finished and NOT authenticated");
            return false;
    }
}

bool MsSspi::prepareOutboundPackage(int packageIndex, const DataBuffer& incoming,
                                    DataBuffer& outgoing, bool& finished, bool& authenticated,
                                    LogBase& log) {
    finished = true;
    authenticated = false;
    outgoing.clear();
    if (packageIndex < 0 || packageIndex >= m_packageCount) {
        log.LogError("BrenvikSSPI.prepareOutboundPackage: package index out of range");
        log.LogDataLong("packageIndex", packageIndex);
        return false;
    }
    const unsigned long maxToken = m_packages[packageIndex].cbMaxToken;
    DataBuffer token;
    token.reserve(maxToken ? static_cast<uint32_t>(maxToken) : 1);
    SecBuffer outBuffer{maxToken, SECBUFFER_TOKEN, token.data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    SecBuffer inBuffer{incoming.size(), SECBUFFER_TOKEN,
                       const_cast<unsigned char*>(incoming.data())};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    unsigned long attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status = m_functions.initializeContext(
        &m_credentials, m_haveContext ? &m_context : nullptr, nullptr, m_contextRequirements, 0,
        SECURITY_NATIVE_DREP, incoming.isEmpty() ? nullptr : &inDesc, 0, &m_context, &outDesc,
        &attributes, &expiry);

    bool useOutput = false;
    const bool result = judgeStatus(static_cast<uint32_t>(status), outDesc, finished, authenticated,
                                    useOutput, log);
    if (useOutput) {
        m_haveContext = true;
        // A provider cannot hand back more than the buffer it was given.
        const unsigned long size = outBuffer.cbBuffer < maxToken ? outBuffer.cbBuffer : maxToken;
        outgoing.append(token.data(), static_cast<uint32_t>(size));
    }
    return result;
}

bool MsSspi::authenticate(int packageIndex, XString& username, XString& password, LogBase& log) {
    if (username.isEmpty() || password.isEmpty()) {
        log.LogError("No username and/or password for SSPI authenticate.");
        return false;
    }
    if (!m_exchange) {
        log.LogError("BrenvikSSPI.authenticate: no package exchange object");
        return false;
    }
    if (!acquireCredentials(packageIndex, username, password, log)) {
        log.LogError("BrenvikSSPI.authenticate: cannot acquire alternate credentials");
        return false;
    }
    DataBuffer outgoing, incoming;
    bool finished = false, authenticated = false;
    if (!prepareOutboundPackage(packageIndex, incoming, outgoing, finished, authenticated, log)) {
        log.LogError("BrenvikSSPI.authenticate: failed to prepare 1st outbound package");
        return false;
    }
    for (int round = 0; round < kMaxRounds; ++round) {
        incoming.clear();
        if (!m_exchange->exchangePackage(outgoing, incoming, log)) {
            log.LogError("BrenvikSSPI.authenticate: exchange failed");
            return false;
        }
        if (!prepareOutboundPackage(packageIndex, incoming, outgoing, finished, authenticated,
                                    log)) {
            log.LogError("BrenvikSSPI.authenticate: failed to prepare next package");
            return false;
        }
        if (finished) return m_exchange->sendFinal(outgoing, log);
    }
    log.LogError("BrenvikSSPI.authenticate: too many token exchanges");
    return false;
}
