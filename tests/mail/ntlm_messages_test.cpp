// The NTLM messages built without the system's security packages: hashes
// and responses against Microsoft's published examples and impacket,
// TYPE2 challenges from tests/data/ntlm (published, layouts, hostile ones)
// and the TYPE1 bytes. Random and mutated challenges are fuzz/ntlm_fuzz's.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "crypto/des.h"
#include "integration/command.h"
#include "mail/cls_ntlm.h"
#include "mail_test_support.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/hex.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace ntlmtest;
using namespace testsupport;
using smtptest::base64Encode;

namespace {

const std::string kClientChallenge = fromHex("aaaaaaaaaaaaaaaa");
constexpr auto npos = std::string::npos;

// Builds a TYPE3 for the published inputs (user "User", password
// "Password", workstation "COMPUTER") against the given TYPE2; the base64
// road, as the messages travel, must give the same answer.
bool buildFor(const std::string& challenge2, Type3& out, Logger& log,
              const std::string& user = "User", const std::string& password = "Password",
              unsigned oemCodePage = 437, const std::string& client = kClientChallenge) {
    ClsNtlm ntlm;
    ntlm.setOemCodePage(oemCodePage);
    ntlm.setUsername(xs(user));
    ntlm.setPassword(xs(password));
    ntlm.setWorkstation(xs("COMPUTER"));
    ntlm.setClientChallengeForTesting(reinterpret_cast<const unsigned char*>(client.data()));
    DataBuffer message;
    const auto* in = reinterpret_cast<const unsigned char*>(challenge2.data());
    bool ok = ntlm.buildType3(challenge2.empty() ? nullptr : in,
                              static_cast<uint32_t>(challenge2.size()), message, log);
    out = readType3(str(message));
    StringBuffer type3;
    EXPECT_EQ(ntlm.genType3(StringBuffer(base64Encode(challenge2).c_str()), log, type3), ok);
    EXPECT_EQ(str(type3), ok ? base64Encode(str(message)) : "");
    return ok;
}

// The LM hash from the rule itself: upper-case, OEM bytes, 14 bytes, two
// DES keys over "KGS!@#$%". DES is checked against its own vectors.
std::string lmByRule(std::string key) {
    key.resize(14, '\0');  // cut or padded
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    const auto* magic = reinterpret_cast<const unsigned char*>("KGS!@#$%");
    unsigned char out[16];
    des::encryptBlock56(k, magic, out);
    des::encryptBlock56(k + 7, magic, out + 8);
    return toHex(out, 16);
}

// The responses made of these hashes are checked in type2_challenges.txt.
TEST(NtlmMessages, HashesFollowTheLmRuleAndThePublishedExamples) {
    for (const std::string& line : dataLines("ntlm/lm_hashes.txt")) {
        const std::vector<std::string> f = tabFields(line);
        SCOPED_TRACE(line);
        ASSERT_GE(f.size(), 3u);
        XString password = xs(f[0]);
        unsigned char lm[16], nt[16];
        ClsNtlm::lmHash(password, static_cast<unsigned>(std::stoul(f[1])), lm);
        EXPECT_EQ(toHex(lm, 16), lmByRule(f[2]));
        if (f.size() < 5) continue;
        ClsNtlm::ntHash(password, nt);
        EXPECT_EQ(toHex(lm, 16), f[3]);
        EXPECT_EQ(toHex(nt, 16), f[4]);
    }
    // DESL takes a 16-byte hash and an 8-byte challenge, nothing else.
    unsigned char hash[16] = {}, response[24];
    EXPECT_FALSE(ClsNtlm::desl(hash, 15, response, 8, response));
    EXPECT_FALSE(ClsNtlm::desl(hash, 16, response, 7, response));
    EXPECT_FALSE(ClsNtlm::desl(nullptr, 16, response, 8, response));
}

// One block of type2_challenges.txt: "[name]", then "key: value" lines.
struct ChallengeCase {
    std::string name;
    std::vector<std::pair<std::string, std::string>> lines;
    std::string value(const std::string& key, const std::string& otherwise) const {
        for (const auto& [k, v] : lines)
            if (k == key) return v;
        return otherwise;
    }
};

TEST(NtlmMessages, ChallengesFromTheDataFile) {
    std::vector<ChallengeCase> cases;
    for (const std::string& line : dataLines("ntlm/type2_challenges.txt")) {
        const size_t colon = line.find(':');
        if (line[0] == '[')
            cases.push_back({line.substr(1, line.size() - 2), {}});
        else if (!cases.empty())
            cases.back().lines.emplace_back(
                line.substr(0, colon), unescape(line.substr(std::min(colon + 2, line.size()))));
    }
    ASSERT_EQ(cases.size(), 18u);
    for (const ChallengeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string challenge = fromHex(c.value("type2", ""));
        const bool expectBuilt = c.value("result", "") != "fail";
        Logger log;
        Type3 t;
        ASSERT_EQ(buildFor(challenge, t, log, c.value("user", "User")), expectBuilt) << xml(log);
        const std::string x = xml(log);
        if (expectBuilt) {
            ASSERT_TRUE(t.ok);
            EXPECT_EQ(t.flags, ClsNtlm::kDefaultFlags & u32(challenge, 20));
            for (const std::string& secret : {t.fields["lm"], t.fields["nt"]}) {
                EXPECT_EQ(x.find(toHex(secret)), npos);
                EXPECT_EQ(x.find(base64Encode(secret)), npos);
            }
        }
        for (const auto& [key, value] : c.lines) {
            std::string got = value;  // the inputs
            if (key == "log") got = logShows(log, value) ? value : "<not logged>";
            if (key.rfind("field ", 0) == 0) got = toHex(t.fields[key.substr(6)]);
            if (key.rfind("offset ", 0) == 0) got = std::to_string(t.offsets[key.substr(7)]);
            EXPECT_EQ(got, value) << key << "\n" << x;
        }
    }
}

TEST(NtlmMessages, Type1BytesAndTheBase64Road) {
    const std::string head = std::string("NTLMSSP\0", 8) + le32(1);
    const std::pair<const char*, std::string> cases[] = {
        {"", head + le32(0x00088207) + std::string(16, '\0')},
        {"COMPUTER", head + le32(0x0008A207) + std::string(8, '\0') + le16(8) + le16(8) + le32(32) +
                         "COMPUTER"},
    };
    for (const auto& [workstation, expected] : cases) {
        SCOPED_TRACE(workstation);
        ClsNtlm ntlm;
        ntlm.setWorkstation(xs(workstation));
        Logger log;
        DataBuffer message;
        ntlm.buildType1(message, log);
        EXPECT_EQ(toHex(str(message)), toHex(expected));
        EXPECT_EQ(data(log, "t1_flags"), *workstation ? "0x8a207" : "0x88207");
        // The base64 form is the same bytes on one line.
        StringBuffer b64;
        ASSERT_TRUE(ntlm.genType1(log, b64));
        EXPECT_EQ(str(b64), base64Encode(expected));
    }
    // A challenge that is not base64 at all decodes to too little for a TYPE2.
    ClsNtlm ntlm;
    Logger log;
    StringBuffer out;
    EXPECT_FALSE(ntlm.genType3(StringBuffer("%%% not base64 %%%"), log, out));
    EXPECT_TRUE(hasError(log, "TYPE2 message is not long enough."));
    EXPECT_TRUE(out.isEmpty());
}

TEST(NtlmMessages, RandomCasesAgreeWithImpacket) {
#ifdef _WIN32
    GTEST_SKIP() << "impacket runs on the Linux side";
#else
    std::string text;
    const int status = smtp_integration::runCommand(
        {"/usr/bin/python3", SMTP_INTEGRATION_DIR "/ntlm_oracle.py", "20261206", "400"}, text);
    if (status == 77) GTEST_SKIP() << "python3-impacket is not installed";
    ASSERT_EQ(status, 0) << text;
    std::istringstream lines(text);
    int cases = 0;
    for (std::string line; std::getline(lines, line); ++cases) {
        // user, password, server and client challenge, flags, LM and NT response
        const std::vector<std::string> f = tabFields(line);
        ASSERT_EQ(f.size(), 7u) << line;
        SCOPED_TRACE(line);
        // impacket encodes the upper-cased password as Latin-1.
        Logger log;
        Type3 t;
        ASSERT_TRUE(buildFor(type2(static_cast<uint32_t>(std::stoul(f[4], nullptr, 16)),
                                   fromHex(f[2]), utf16le("SERVER"), ""),
                             t, log, fromHex(f[0]), fromHex(f[1]), 28591, fromHex(f[3])));
        EXPECT_EQ(toHex(t.fields["lm"]), f[5]);
        EXPECT_EQ(toHex(t.fields["nt"]), f[6]);
    }
    EXPECT_EQ(cases, 400);
#endif
}

}  // namespace
