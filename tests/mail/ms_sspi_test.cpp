// The SSPI client over a scripted provider, so that every status a real
// security package can return is exercised on every platform, and over the
// in-process NTLM provider.
#include "mail/ms_sspi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/ntlm_provider.h"
#include "mail/package_exchange.h"
#include "ntlm_test_support.h"
#include "support/engine_log.h"

using namespace testsupport;

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
    int freedCredentials = 0, freedBuffers = 0;
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
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY freeCredentials(PCredHandle) {
    return ++g_script.freedCredentials, SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY freeBuffer(void*) {
    return ++g_script.freedBuffers, SEC_E_OK;
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

// One line of tests/data/ntlm/sspi_statuses.txt: its words, then the errors
// that must be logged.
struct Row {
    std::vector<std::string> words, errors;
};

std::vector<Row> rows(const std::string& kind) {
    std::vector<Row> out;
    std::ifstream in(std::string(SMTP_TEST_DATA_DIR) + "/ntlm/sspi_statuses.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t bar = line.find(" | ");
        Row row;
        std::istringstream words(line.substr(0, bar));
        for (std::string w; words >> w;) row.words.push_back(w);
        for (size_t at = bar; at != std::string::npos; at = line.find(" | ", at + 3))
            row.errors.push_back(line.substr(at + 3, line.find(" | ", at + 3) - at - 3));
        if (!row.words.empty() && row.words[0] == kind) out.push_back(row);
    }
    EXPECT_FALSE(out.empty()) << kind;
    return out;
}

// The status with that name, from the file's "status NAME VALUE" lines.
SECURITY_STATUS statusNamed(const std::string& name) {
    for (const Row& row : rows("status"))
        if (row.words[1] == name)
            return static_cast<SECURITY_STATUS>(std::stoul(row.words[2], nullptr, 16));
    ADD_FAILURE() << "no status " << name;
    return SEC_E_OK;
}

// "A,B*2" is A, B, B.
std::vector<SECURITY_STATUS> statuses(const std::string& list) {
    std::vector<SECURITY_STATUS> out;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        size_t star = item.find('*');
        int times = star == std::string::npos ? 1 : std::stoi(item.substr(star + 1));
        out.insert(out.end(), times, statusNamed(item.substr(0, star)));
    }
    return out;
}

void expectErrors(Logger& log, const std::vector<std::string>& errors) {
    for (const std::string& e : errors) EXPECT_TRUE(hasError(log, e)) << e << "\n" << xml(log);
}

TEST_F(MsSspiScripted, EveryStatusOfOneStep) {
    for (const Row& row : rows("step")) {
        const std::vector<std::string>& w = row.words;  // step STATUS RESULT COMPLETES CODE
        SCOPED_TRACE(w[1]);
        g_script = Script();
        g_script.contextStatuses = statuses(w[1]);
        log.ClearLog();
        MsSspi sspi(scripted());
        ASSERT_EQ(sspi.getPackageIndex("ntlm"), 1);
        DataBuffer in, out;
        out.append("stale", 5);
        bool finished = false, authenticated = true;
        bool result = sspi.prepareOutboundPackage(1, in, out, finished, authenticated, log);
        EXPECT_EQ(std::string({result ? 'r' : '-', finished ? 'f' : '-', authenticated ? 'a' : '-',
                               out.size() ? 't' : '-'}),
                  w[2]);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()),
                  out.size() ? "TOKEN" : "");
        EXPECT_EQ(g_script.completeCalls, std::stoi(w[3]));
        expectErrors(log, row.errors);
        EXPECT_EQ(data(log, "statusCode"), w[4] == "-" ? "<none>" : w[4]);
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

    for (const Row& row : rows("acquire")) {
        const std::string& name = row.words[2];  // acquire STATUS LOGGED
        SCOPED_TRACE(name);
        g_script.acquireStatus = statusNamed(row.words[1]);
        log.ClearLog();
        MsSspi sspi(scripted());
        EXPECT_FALSE(sspi.acquireCredentials(1, user, pass, log));
        EXPECT_TRUE(hasError(log, "Failed to acquire credentials handle"));
        EXPECT_EQ(data(log, "username"), "alice");
        EXPECT_EQ(data(log, "domain"), "NONE");
        EXPECT_EQ(data(log, "status_code"), name);
        EXPECT_EQ(xml(log).find("secret"), std::string::npos);
    }
}

TEST_F(MsSspiScripted, TokenLoop) {
    XString user = xs("alice"), pass = xs("secret"), empty;
    for (const Row& row : rows("loop")) {
        // loop NAME STATUSES CHALLENGES PEER RESULT SENT FINALS
        const std::vector<std::string>& w = row.words;
        SCOPED_TRACE(w[1]);
        g_script = Script();
        g_script.contextStatuses = statuses(w[2]);
        log.ClearLog();
        RecordingExchange exchange;
        exchange.challenges.assign(std::stoul(w[3]), "CHALLENGE");
        exchange.accept = w[4] == "accepts";
        MsSspi sspi(scripted());
        sspi.setExchange(&exchange);
        EXPECT_EQ(sspi.authenticate(1, user, pass, log), w[5] == "true") << xml(log);
        EXPECT_EQ(exchange.sent.size(), std::stoul(w[6]));
        EXPECT_EQ(exchange.finals.size(), std::stoul(w[7]));
        expectErrors(log, row.errors);
        // The first call has no input; the next gets the challenge.
        g_script.inputs.resize(2, "CHALLENGE");
        EXPECT_EQ(g_script.inputs[0], "<none>");
        EXPECT_EQ(g_script.inputs[1], "CHALLENGE");
    }

    log.ClearLog();
    MsSspi sspi(scripted());
    EXPECT_FALSE(sspi.authenticate(1, user, empty, log));
    EXPECT_TRUE(hasError(log, "No username and/or password for SSPI authenticate."));
    EXPECT_FALSE(sspi.authenticate(1, user, pass, log));
    EXPECT_TRUE(hasError(log, "BrenvikSSPI.authenticate: no package exchange object"));
}

#ifndef _WIN32
// The in-process provider against misuse: forged handles, other packages,
// a short buffer, a third step. Its good road runs in the NTLM scenarios.
TEST(InProcessNtlmProvider, RefusesMisuse) {
    const platform::SecurityFunctions& p = ntlm::inProcessProvider();
    CredHandle cred{0x1234, 0x43524544};  // forged
    CtxtHandle ctx{};
    SecBufferDesc none{};
    EXPECT_EQ(p.initializeContext(&cred, nullptr, nullptr, 0, 0, 0, nullptr, 0, &ctx, &none,
                                  nullptr, nullptr),
              SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.freeCredentials(&cred), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.acquireCredentials(nullptr, const_cast<char*>("Kerberos"), SECPKG_CRED_OUTBOUND,
                                   nullptr, nullptr, nullptr, nullptr, &cred, nullptr),
              SEC_E_SECPKG_NOT_FOUND);

    std::string user = "User", password = "Password";
    SEC_WINNT_AUTH_IDENTITY_A id{reinterpret_cast<unsigned char*>(user.data()),
                                 4,
                                 nullptr,
                                 0,
                                 reinterpret_cast<unsigned char*>(password.data()),
                                 8,
                                 SEC_WINNT_AUTH_IDENTITY_ANSI};
    ASSERT_EQ(p.acquireCredentials(nullptr, const_cast<char*>("NTLM"), SECPKG_CRED_OUTBOUND,
                                   nullptr, &id, nullptr, nullptr, &cred, nullptr),
              SEC_E_OK);
    char buffer[ntlm::kProviderMaxToken];
    SecBuffer out{sizeof buffer, SECBUFFER_TOKEN, buffer};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    std::string challenge = ntlmtest::type2(0x00028215, ntlmtest::fromHex("0123456789abcdef"),
                                            ntlmtest::utf16le("Server"), "");
    SecBuffer in{static_cast<unsigned long>(challenge.size()), SECBUFFER_TOKEN, challenge.data()};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
    auto step = [&](CtxtHandle* context, SecBufferDesc* input, unsigned long room) {
        out.cbBuffer = room;
        return p.initializeContext(&cred, context, nullptr, 4, 0, 16, input, 0, &ctx, &outDesc,
                                   nullptr, nullptr);
    };
    ASSERT_EQ(step(nullptr, nullptr, sizeof buffer), SEC_I_CONTINUE_NEEDED);
    EXPECT_EQ(step(&ctx, &inDesc, 10), SEC_E_BUFFER_TOO_SMALL);  // no room for a TYPE3
    ASSERT_EQ(step(&ctx, &inDesc, sizeof buffer), SEC_E_OK);
    EXPECT_TRUE(ntlmtest::readType3(std::string(buffer, out.cbBuffer)).ok);
    EXPECT_EQ(step(&ctx, &inDesc, sizeof buffer), SEC_E_OUT_OF_SEQUENCE);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_OK);
    EXPECT_EQ(p.deleteContext(&ctx), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(p.freeCredentials(&cred), SEC_E_OK);
}
#endif

}  // namespace
