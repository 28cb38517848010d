// The SSPI client over a scripted provider, so that every status a real
// security package can return is exercised on every platform, and over the
// in-process NTLM provider.
#include "mail/ms_sspi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mail/ntlm_provider.h"
#include "mail/package_exchange.h"
#include "ntlm_test_support.h"
#include "smtp_test_support.h"

using namespace smtptest_support;

namespace {

// What the scripted provider does and saw. One test at a time uses it.
struct Script {
    SECURITY_STATUS acquireStatus = SEC_E_OK;
    std::vector<SECURITY_STATUS> contextStatuses;  // one per InitializeSecurityContext call
    std::string token = "TOKEN";
    size_t contextCalls = 0;
    int completeCalls = 0;
    bool sawIdentity = false;
    std::string identityUser;
    std::vector<std::string> inputs;
    int freedCredentials = 0, deletedContexts = 0, freedBuffers = 0;
};
Script g_script;

SecPkgInfoA g_packages[2];
char g_names[2][8] = {"Kerbero", "NTLM"};

SECURITY_STATUS SEC_ENTRY enumerate(unsigned long* count, PSecPkgInfoA* info) {
    for (int i = 0; i < 2; ++i) {
        g_packages[i] = SecPkgInfoA{};
        g_packages[i].Name = g_names[i];
        g_packages[i].cbMaxToken = 64;
    }
    *count = 2;
    *info = g_packages;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY acquire(SEC_CHAR*, SEC_CHAR*, unsigned long, void*, void* authData,
                                  SEC_GET_KEY_FN, void*, PCredHandle cred, PTimeStamp) {
    g_script.sawIdentity = authData != nullptr;
    if (authData) {
        auto* id = static_cast<SEC_WINNT_AUTH_IDENTITY_A*>(authData);
        g_script.identityUser.assign(reinterpret_cast<char*>(id->User), id->UserLength);
    }
    cred->dwLower = cred->dwUpper = 1;
    return g_script.acquireStatus;
}
SECURITY_STATUS SEC_ENTRY initialize(PCredHandle, PCtxtHandle, SEC_CHAR*, unsigned long,
                                     unsigned long, unsigned long, PSecBufferDesc input,
                                     unsigned long, PCtxtHandle newContext, PSecBufferDesc output,
                                     unsigned long*, PTimeStamp) {
    g_script.inputs.push_back(input ? std::string(static_cast<char*>(input->pBuffers[0].pvBuffer),
                                                  input->pBuffers[0].cbBuffer)
                                    : "<none>");
    std::memcpy(output->pBuffers[0].pvBuffer, g_script.token.data(), g_script.token.size());
    output->pBuffers[0].cbBuffer = static_cast<unsigned long>(g_script.token.size());
    newContext->dwLower = newContext->dwUpper = 2;
    size_t i = g_script.contextCalls++;
    return i < g_script.contextStatuses.size() ? g_script.contextStatuses[i] : SEC_E_INTERNAL_ERROR;
}
SECURITY_STATUS SEC_ENTRY complete(PCtxtHandle, PSecBufferDesc) {
    ++g_script.completeCalls;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY deleteContext(PCtxtHandle) {
    ++g_script.deletedContexts;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY freeCredentials(PCredHandle) {
    ++g_script.freedCredentials;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY freeBuffer(void*) {
    ++g_script.freedBuffers;
    return SEC_E_OK;
}

platform::SecurityFunctions scripted() {
    platform::SecurityFunctions f;
    f.enumeratePackages = enumerate;
    f.acquireCredentials = acquire;
    f.initializeContext = initialize;
    f.completeAuthToken = complete;
    f.deleteContext = deleteContext;
    f.freeCredentials = freeCredentials;
    f.freeContextBuffer = freeBuffer;
    return f;
}

// Answers each token with the next challenge and records what it was sent.
class RecordingExchange : public PackageExchange {
  public:
    bool exchangePackage(const DataBuffer& out, DataBuffer& in, LogBase&) override {
        sent.emplace_back(reinterpret_cast<const char*>(out.data()), out.size());
        if (challenges.empty()) return false;
        in.append(challenges.front().data(), static_cast<uint32_t>(challenges.front().size()));
        challenges.erase(challenges.begin());
        return true;
    }
    bool sendFinal(const DataBuffer& out, LogBase&) override {
        finals.emplace_back(reinterpret_cast<const char*>(out.data()), out.size());
        return accept;
    }
    std::vector<std::string> challenges, sent, finals;
    bool accept = true;
};

class MsSspiScripted : public ::testing::Test {
  protected:
    void SetUp() override { g_script = Script(); }
    Logger log;
};

TEST_F(MsSspiScripted, EveryStatusOfOneStep) {
    const std::string B = "BrenvikSSPI.prepareOutboundPackage: ";
    struct Case {
        SECURITY_STATUS status;
        bool result, finished, authenticated, output;
        int completes;
        std::vector<std::string> errors;
        const char* statusCode;
    } cases[] = {
        {SEC_E_OK, true, true, true, true, 0, {}, nullptr},
        {SEC_I_CONTINUE_NEEDED, true, false, false, true, 0, {}, nullptr},
        {SEC_I_COMPLETE_NEEDED, true, true, true, true, 1, {B + "SEC_I_COMPLETE_NEEDED"}, nullptr},
        {SEC_I_COMPLETE_AND_CONTINUE,
         true,
         false,
         false,
         true,
         1,
         {B + "SEC_I_COMPLETE_AND_CONTINUE"},
         nullptr},
        {SEC_E_LOGON_DENIED, true, true, false, true, 0, {"LOGON_DENIED"}, nullptr},
        {SEC_E_INVALID_TOKEN, true, true, false, false, 0, {}, nullptr},
        {SEC_E_INVALID_HANDLE,
         false,
         true,
         false,
         false,
         0,
         {B + "SEC_E_INVALID_HANDLE", "Finished and NOT authenticated"},
         "0x80090301"},
        {SEC_E_TARGET_UNKNOWN,
         false,
         true,
         false,
         false,
         0,
         {B + "SEC_E_TARGET_UNKNOWN", "Finished and NOT authenticated"},
         "0x80090303"},
        {SEC_E_INTERNAL_ERROR,
         false,
         true,
         false,
         false,
         0,
         {B + "SEC_E_INTERNAL_ERROR", "Finished and NOT authenticated"},
         "0x80090304"},
        {SEC_E_NO_CREDENTIALS,
         false,
         true,
         false,
         false,
         0,
         {B + "SEC_E_NO_CREDENTIALS", "Finished and NOT authenticated"},
         "0x8009030e"},
        {SEC_E_NO_AUTHENTICATING_AUTHORITY,
         false,
         true,
         false,
         false,
         0,
         {B + "SEC_E_NO_AUTHENTICATING_AUTHORITY", "Finished and NOT authenticated"},
         "0x80090311"},
        {SEC_E_UNSUPPORTED_FUNCTION,
         false,
         true,
         false,
         false,
         0,
         {"Finished and NOT authenticated"},
         "0x80090302"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<uint32_t>(c.status));
        g_script = Script();
        g_script.contextStatuses = {c.status};
        log.ClearLog();
        MsSspi sspi(scripted());
        ASSERT_EQ(sspi.getPackageIndex("ntlm"), 1);
        DataBuffer in, out;
        out.append("stale", 5);
        bool finished = false, authenticated = true;
        EXPECT_EQ(sspi.prepareOutboundPackage(1, in, out, finished, authenticated, log), c.result);
        EXPECT_EQ(finished, c.finished);
        EXPECT_EQ(authenticated, c.authenticated);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()),
                  c.output ? "TOKEN" : "");
        EXPECT_EQ(g_script.completeCalls, c.completes);
        for (const std::string& e : c.errors)
            EXPECT_TRUE(hasError(log, e)) << e << "\n" << xml(log);
        EXPECT_EQ(data(log, "statusCode"), c.statusCode ? c.statusCode : "<none>");
    }
}

TEST_F(MsSspiScripted, PackageIndexAndRange) {
    MsSspi sspi(scripted());
    EXPECT_EQ(sspi.packageCount(), 2);
    EXPECT_EQ(sspi.getPackageIndex("NtLm"), 1);
    EXPECT_EQ(sspi.getPackageIndex("MSN"), -1);
    MsSspi::hidePackageForTesting("ntlm");
    EXPECT_EQ(sspi.getPackageIndex("NTLM"), -1);
    MsSspi::hidePackageForTesting(nullptr);
    EXPECT_EQ(sspi.getPackageIndex("NTLM"), 1);

    DataBuffer in, out;
    bool finished = false, authenticated = true;
    EXPECT_FALSE(sspi.prepareOutboundPackage(2, in, out, finished, authenticated, log));
    EXPECT_TRUE(hasError(log, "BrenvikSSPI.prepareOutboundPackage: package index out of range"));
    EXPECT_EQ(data(log, "packageIndex"), "2");
    EXPECT_TRUE(finished);
    EXPECT_FALSE(authenticated);
}

TEST_F(MsSspiScripted, CredentialsExplicitOrDefaultAndEveryFailureName) {
    XString user = xs("alice"), pass = xs("secret"), empty;
    {
        MsSspi sspi(scripted());
        EXPECT_FALSE(sspi.acquireCredentials(1, empty, pass, log));
        EXPECT_TRUE(
            hasError(log, "Failed to acquire alternate credentials: no username and/or password"));
        EXPECT_FALSE(sspi.acquireCredentials(-1, user, pass, log));
        EXPECT_TRUE(
            hasError(log, "Failed to acquire alternate credentials: package index out of range"));
        EXPECT_EQ(data(log, "PackageIndex"), "-1");
        EXPECT_EQ(data(log, "NumPackages"), "2");

        ASSERT_TRUE(sspi.acquireCredentials(1, user, pass, log));
        EXPECT_TRUE(g_script.sawIdentity);
        EXPECT_EQ(g_script.identityUser, "alice");
        XString defUser = xs("Default"), defPass = xs(" default ");
        log.ClearLog();
        ASSERT_TRUE(sspi.acquireCredentials(1, defUser, defPass, log));
        EXPECT_FALSE(g_script.sawIdentity);
        EXPECT_TRUE(hasInfo(log, "Using default NTLM credentials."));
    }
    EXPECT_EQ(g_script.freedCredentials,
              2);  // the first handle when replaced, the second at the end
    EXPECT_EQ(g_script.freedBuffers, 1);

    struct Case {
        SECURITY_STATUS status;
        const char* name;
    } cases[] = {
        {SEC_E_UNKNOWN_CREDENTIALS, "SEC_E_UNKNOWN_CREDENTIALS"},
        {SEC_E_NO_CREDENTIALS, "SEC_E_NO_CREDENTIALS"},
        {SEC_E_NOT_OWNER, "SEC_E_NOT_OWNER"},
        {SEC_E_INSUFFICIENT_MEMORY, "SEC_E_INSUFFICIENT_MEMORY"},
        {SEC_E_INTERNAL_ERROR, "SEC_E_INTERNAL_ERROR"},
        {SEC_E_SECPKG_NOT_FOUND, "SEC_E_SECPKG_NOT_FOUND"},
        {SEC_E_LOGON_DENIED, "0x8009030c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_script.acquireStatus = c.status;
        log.ClearLog();
        MsSspi sspi(scripted());
        EXPECT_FALSE(sspi.acquireCredentials(1, user, pass, log));
        EXPECT_TRUE(hasError(log, "Failed to acquire credentials handle"));
        EXPECT_EQ(data(log, "username"), "alice");
        EXPECT_EQ(data(log, "domain"), "NONE");
        EXPECT_EQ(data(log, "status_code"), c.name);
        EXPECT_EQ(xml(log).find("secret"), std::string::npos);
    }
}

TEST_F(MsSspiScripted, TokenLoop) {
    XString user = xs("alice"), pass = xs("secret"), empty;
    struct Case {
        const char* name;
        std::vector<SECURITY_STATUS> statuses;
        size_t challenges;
        bool accept, result;
        size_t sent, finals;
        const char* error;
    } cases[] = {
        {"two steps", {SEC_I_CONTINUE_NEEDED, SEC_E_OK}, 1, true, true, 1, 1, nullptr},
        {"refused by the peer", {SEC_I_CONTINUE_NEEDED, SEC_E_OK}, 1, false, false, 1, 1, nullptr},
        {"logon denied still sends",
         {SEC_I_CONTINUE_NEEDED, SEC_E_LOGON_DENIED},
         1,
         false,
         false,
         1,
         1,
         "LOGON_DENIED"},
        {"three steps",
         {SEC_I_CONTINUE_NEEDED, SEC_I_CONTINUE_NEEDED, SEC_E_OK},
         2,
         true,
         true,
         2,
         1,
         nullptr},
        {"first step fails",
         {SEC_E_INTERNAL_ERROR},
         1,
         true,
         false,
         0,
         0,
         "BrenvikSSPI.authenticate: failed to prepare 1st outbound package"},
        {"next step fails",
         {SEC_I_CONTINUE_NEEDED, SEC_E_INTERNAL_ERROR},
         1,
         true,
         false,
         1,
         0,
         "BrenvikSSPI.authenticate: failed to prepare next package"},
        {"peer gone",
         {SEC_I_CONTINUE_NEEDED},
         0,
         true,
         false,
         1,
         0,
         "BrenvikSSPI.authenticate: exchange failed"},
        {"endless challenges", std::vector<SECURITY_STATUS>(40, SEC_I_CONTINUE_NEEDED), 40, true,
         false, 16, 0, "BrenvikSSPI.authenticate: too many token exchanges"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_script = Script();
        g_script.contextStatuses = c.statuses;
        log.ClearLog();
        RecordingExchange exchange;
        exchange.challenges.assign(c.challenges, "CHALLENGE");
        exchange.accept = c.accept;
        MsSspi sspi(scripted());
        sspi.setExchange(&exchange);
        EXPECT_EQ(sspi.authenticate(1, user, pass, log), c.result) << xml(log);
        EXPECT_EQ(exchange.sent.size(), c.sent);
        EXPECT_EQ(exchange.finals.size(), c.finals);
        if (c.error) {
            EXPECT_TRUE(hasError(log, c.error)) << xml(log);
        }
        ASSERT_FALSE(g_script.inputs.empty());
        EXPECT_EQ(g_script.inputs[0], "<none>");
        if (g_script.inputs.size() > 1) {
            EXPECT_EQ(g_script.inputs[1], "CHALLENGE");
        }
    }

    log.ClearLog();
    MsSspi sspi(scripted());
    EXPECT_FALSE(sspi.authenticate(1, user, empty, log));
    EXPECT_TRUE(hasError(log, "No username and/or password for SSPI authenticate."));
    EXPECT_FALSE(sspi.authenticate(1, user, pass, log));
    EXPECT_TRUE(hasError(log, "BrenvikSSPI.authenticate: no package exchange object"));
}

#ifndef _WIN32
// The in-process provider: explicit credentials only, NTLM messages as tokens.
TEST(InProcessNtlmProvider, OffersNtlmAndRefusesTheCurrentLogon) {
    MsSspi sspi;
    ASSERT_EQ(sspi.packageCount(), 1);
    EXPECT_EQ(sspi.getPackageIndex("ntlm"), 0);
    EXPECT_EQ(sspi.getPackageIndex("MSN"), -1);

    Logger log;
    XString def = xs("default");
    EXPECT_FALSE(sspi.acquireCredentials(0, def, def, log));
    EXPECT_EQ(data(log, "status_code"), "SEC_E_NO_CREDENTIALS");

    const platform::SecurityFunctions& p = ntlm::inProcessProvider();
    CredHandle forged{0x1234, 0x43524544};
    CtxtHandle ctx{};
    SecBufferDesc none{};
    EXPECT_EQ(p.initializeContext(&forged, nullptr, nullptr, 0, 0, 0, nullptr, 0, &ctx, &none,
                                  nullptr, nullptr),
              SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.freeCredentials(&forged), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.acquireCredentials(nullptr, const_cast<char*>("Kerberos"), SECPKG_CRED_OUTBOUND,
                                   nullptr, nullptr, nullptr, nullptr, &forged, nullptr),
              SEC_E_SECPKG_NOT_FOUND);
}

TEST(InProcessNtlmProvider, TwoStepsThenOutOfSequence) {
    using namespace ntlmtest;
    const platform::SecurityFunctions& p = ntlm::inProcessProvider();
    SEC_WINNT_AUTH_IDENTITY_A id{};
    std::string user = "User", password = "Password";
    id.User = reinterpret_cast<unsigned char*>(user.data());
    id.UserLength = 4;
    id.Password = reinterpret_cast<unsigned char*>(password.data());
    id.PasswordLength = 8;
    id.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
    CredHandle cred{};
    ASSERT_EQ(p.acquireCredentials(nullptr, const_cast<char*>("NTLM"), SECPKG_CRED_OUTBOUND,
                                   nullptr, &id, nullptr, nullptr, &cred, nullptr),
              SEC_E_OK);
    char buffer[ntlm::kProviderMaxToken];
    SecBuffer out{sizeof buffer, SECBUFFER_TOKEN, buffer};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    CtxtHandle ctx{};
    ASSERT_EQ(p.initializeContext(&cred, nullptr, nullptr, 4, 0, 16, nullptr, 0, &ctx, &outDesc,
                                  nullptr, nullptr),
              SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(std::string(buffer, 12), std::string("NTLMSSP\0\1\0\0\0", 12));

    // A garbage challenge is an invalid token; the context can still take a good one.
    std::string garbage(70, 'x');
    SecBuffer in{static_cast<unsigned long>(garbage.size()), SECBUFFER_TOKEN, garbage.data()};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
    out.cbBuffer = sizeof buffer;
    EXPECT_EQ(p.initializeContext(&cred, &ctx, nullptr, 4, 0, 16, &inDesc, 0, &ctx, &outDesc,
                                  nullptr, nullptr),
              SEC_E_INVALID_TOKEN);

    std::string challenge = type2(0x00028215, fromHex("0123456789abcdef"), utf16le("Server"), "");
    in = SecBuffer{static_cast<unsigned long>(challenge.size()), SECBUFFER_TOKEN, challenge.data()};
    out.cbBuffer = 10;  // too small for a TYPE3
    EXPECT_EQ(p.initializeContext(&cred, &ctx, nullptr, 4, 0, 16, &inDesc, 0, &ctx, &outDesc,
                                  nullptr, nullptr),
              SEC_E_BUFFER_TOO_SMALL);
    out.cbBuffer = sizeof buffer;
    ASSERT_EQ(p.initializeContext(&cred, &ctx, nullptr, 4, 0, 16, &inDesc, 0, &ctx, &outDesc,
                                  nullptr, nullptr),
              SEC_E_OK);
    Type3 t = readType3(std::string(buffer, out.cbBuffer));
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(toHex(t.fields["nt"]), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(p.initializeContext(&cred, &ctx, nullptr, 4, 0, 16, &inDesc, 0, &ctx, &outDesc,
                                  nullptr, nullptr),
              SEC_E_OUT_OF_SEQUENCE);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_OK);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.freeCredentials(&cred), SEC_E_OK);
}
#endif

}  // namespace
