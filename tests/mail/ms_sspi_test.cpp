// The SSPI client over a scripted provider, so that every status a real
// security package can return is exercised on every platform, and over the
// in-process NTLM provider. The scripts and what must come of them are the
// rows of tests/data/ntlm/sspi_statuses.txt.
#include "mail/ms_sspi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mail/ntlm_provider.h"
#include "mail/package_exchange.h"
#include "mail_test_support.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/hex.h"

using namespace testsupport;

namespace {

// What the scripted provider does and saw. One test at a time uses it.
struct Script {
    SECURITY_STATUS acquireStatus = SEC_E_OK;
    std::vector<SECURITY_STATUS> contextStatuses;  // one per InitializeSecurityContext call
    int completeCalls = 0;
    std::string identity = "-";       // the user name handed over, "-" for none
    std::vector<std::string> inputs;  // one per InitializeSecurityContext call
    int freedCredentials = 0, freedBuffers = 0;
};
Script g_script;
const std::string kToken = "TOKEN";  // what every InitializeSecurityContext call puts out

// Two packages, NTLM second, with room for a token.
SECURITY_STATUS SEC_ENTRY enumerate(unsigned long* count, PSecPkgInfoA* info) {
    static char names[2][8] = {"Kerbero", "NTLM"};
    static SecPkgInfoA packages[2] = {{0, 0, 0, 64, names[0], nullptr},
                                      {0, 0, 0, 64, names[1], nullptr}};
    *count = 2;
    *info = packages;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY acquire(SEC_CHAR*, SEC_CHAR*, unsigned long, void*, void* authData,
                                  SEC_GET_KEY_FN, void*, PCredHandle cred, PTimeStamp) {
    auto* id = static_cast<SEC_WINNT_AUTH_IDENTITY_A*>(authData);
    g_script.identity = id ? std::string(reinterpret_cast<char*>(id->User), id->UserLength) : "-";
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
    std::memcpy(output->pBuffers[0].pvBuffer, kToken.data(), kToken.size());
    output->pBuffers[0].cbBuffer = static_cast<unsigned long>(kToken.size());
    newContext->dwLower = newContext->dwUpper = 2;
    const size_t i = g_script.inputs.size() - 1;
    return i < g_script.contextStatuses.size() ? g_script.contextStatuses[i] : SEC_E_INTERNAL_ERROR;
}

// Plain functions, not lambdas: on 32-bit Windows the table holds
// __stdcall pointers, which a lambda does not convert to.
SECURITY_STATUS SEC_ENTRY complete(PCtxtHandle, PSecBufferDesc) {
    ++g_script.completeCalls;
    return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY deleteContext(PCtxtHandle) {
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

// Answers each token with "CHALLENGE" while it has challenges left, and
// records what it was sent.
class RecordingExchange : public PackageExchange {
  public:
    bool exchangePackage(const DataBuffer& out, DataBuffer& in, LogBase&) override {
        sent.push_back(str(out));
        if (challenges-- <= 0) return false;
        in.append("CHALLENGE", 9);
        return true;
    }
    bool sendFinal(const DataBuffer& out, LogBase&) override {
        finals.push_back(str(out));
        return accept;
    }
    std::vector<std::string> sent, finals;
    int challenges = 0;
    bool accept = true;
};

class MsSspiScripted : public ::testing::Test {
  protected:
    void SetUp() override { g_script = Script(); }

    // "A,B*2" is the statuses named A, B, B, valued by the "status" rows.
    std::vector<SECURITY_STATUS> statuses(const std::string& list) {
        std::vector<SECURITY_STATUS> out;
        std::istringstream items(list);
        for (std::string item; std::getline(items, item, ',');) {
            const size_t star = item.find('*');
            const std::string name = item.substr(0, star);
            EXPECT_EQ(named.count(name), 1u) << name;
            out.insert(out.end(), star == std::string::npos ? 1 : std::stoi(item.substr(star + 1)),
                       named[name]);
        }
        return out;
    }

    std::map<std::string, SECURITY_STATUS> named;
    Logger log;
};

TEST_F(MsSspiScripted, EveryRowOfTheStatusTable) {
    XString user = xs("alice"), pass = xs("secret");
    std::map<std::string, int> seen;
    for (const CaseLine& row : readCases("ntlm/sspi_statuses.txt")) {
        SCOPED_TRACE(row.where);
        ++seen[row.verb];
        if (row.verb == "status") {
            named[row[0]] = static_cast<SECURITY_STATUS>(std::stoul(row[1], nullptr, 16));
            continue;
        }
        g_script = Script();
        log.ClearLog();
        MsSspi sspi(scripted());
        size_t checks = 0;         // where the row's log checks begin
        if (row.verb == "step") {  // INDEX | STATUS | RESULT | COMPLETES
            g_script.contextStatuses = statuses(row[1]);
            DataBuffer in, out;
            out.append("stale", 5);
            bool finished = false, authenticated = true;
            bool result =
                sspi.prepareOutboundPackage(row.num(0), in, out, finished, authenticated, log);
            EXPECT_EQ(std::string({result ? 'r' : '-', finished ? 'f' : '-',
                                   authenticated ? 'a' : '-', out.size() ? 't' : '-'}),
                      row[2]);
            EXPECT_EQ(str(out), out.size() ? kToken : "");
            EXPECT_EQ(g_script.completeCalls, row.num(3));
            checks = 4;
        } else if (row.verb == "acquire") {  // USER | PASSWORD | INDEX | STATUS | RESULT | ID
            g_script.acquireStatus = statuses(row[3])[0];
            XString u = xs(row[0]), p = xs(row[1]);
            EXPECT_EQ(sspi.acquireCredentials(row.num(2), u, p, log), row[4] == "true");
            EXPECT_EQ(g_script.identity, row[5]);
            EXPECT_EQ(xml(log).find("secret"), std::string::npos);
            checks = 6;
        } else {  // loop NAME | STATUSES | CHALLENGES | PEER | RESULT | SENT | FINALS
            ASSERT_EQ(row.verb, "loop");
            g_script.contextStatuses = statuses(row[1]);
            RecordingExchange exchange;
            exchange.challenges = row.num(2);
            exchange.accept = row[3] == "accepts";
            if (row[3] != "absent") sspi.setExchange(&exchange);
            EXPECT_EQ(sspi.authenticate(1, user, pass, log), row[4] == "true") << xml(log);
            EXPECT_EQ(exchange.sent.size(), std::stoul(row[5]));
            EXPECT_EQ(exchange.finals.size(), std::stoul(row[6]));
            // The first call has no input; the next ones get the challenge.
            for (size_t i = 0; i < g_script.inputs.size(); ++i)
                EXPECT_EQ(g_script.inputs[i], i ? "CHALLENGE" : "<none>");
            checks = 7;
        }
        for (size_t i = checks; i < row.args.size(); ++i)
            EXPECT_TRUE(ntlmtest::logShows(log, row[i])) << row[i] << "\n" << xml(log);
    }
    for (const char* verb : {"status", "step", "acquire", "loop"}) EXPECT_GT(seen[verb], 0) << verb;
}

TEST_F(MsSspiScripted, PackagesByNameHandlesFreedAndNoPassword) {
    XString user = xs("alice"), pass = xs("secret"), empty;
    {
        MsSspi sspi(scripted());
        EXPECT_EQ(sspi.packageCount(), 2);
        EXPECT_EQ(sspi.getPackageIndex("NtLm"), 1);
        EXPECT_EQ(sspi.getPackageIndex("MSN"), -1);
        MsSspi::hidePackageForTesting("ntlm");
        EXPECT_EQ(sspi.getPackageIndex("NTLM"), -1);
        MsSspi::hidePackageForTesting(nullptr);
        EXPECT_EQ(sspi.getPackageIndex("NTLM"), 1);
        // A replaced handle is freed at once, the last one with the client.
        ASSERT_TRUE(sspi.acquireCredentials(1, user, pass, log));
        ASSERT_TRUE(sspi.acquireCredentials(1, user, pass, log));
        EXPECT_EQ(g_script.freedCredentials, 1);
        EXPECT_FALSE(sspi.authenticate(1, user, empty, log));
        EXPECT_TRUE(hasError(log, "No username and/or password for SSPI authenticate."));
    }
    EXPECT_EQ(g_script.freedCredentials, 2);
    EXPECT_EQ(g_script.freedBuffers, 1);  // the package list
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

    unsigned char user[] = "User", password[] = "Password";
    SEC_WINNT_AUTH_IDENTITY_A id{user, 4, nullptr, 0, password, 8, SEC_WINNT_AUTH_IDENTITY_ANSI};
    ASSERT_EQ(p.acquireCredentials(nullptr, const_cast<char*>("NTLM"), SECPKG_CRED_OUTBOUND,
                                   nullptr, &id, nullptr, nullptr, &cred, nullptr),
              SEC_E_OK);
    char buffer[ntlm::kProviderMaxToken];
    SecBuffer out{sizeof buffer, SECBUFFER_TOKEN, buffer};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    std::string challenge =
        ntlmtest::type2(0x00028215, fromHex("0123456789abcdef"), ntlmtest::utf16le("Server"), "");
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
