// The NTLM messages built without the system's security packages: hashes
// and responses against Microsoft's published examples and impacket,
// TYPE2 challenges from tests/data/ntlm (published, layouts, hostile ones),
// the TYPE1 bytes and random and mutated challenges.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/des.h"
#include "integration/command.h"
#include "mail/cls_ntlm.h"
#include "mail/ntlm_challenge.h"
#include "mime/content_coding.h"
#include "ntlm_test_support.h"
#include "support/engine_log.h"

using namespace ntlmtest;
using namespace testsupport;

namespace {

const std::string kServerChallenge = fromHex("0123456789abcdef");
const std::string kClientChallenge = fromHex("aaaaaaaaaaaaaaaa");
const uint32_t kCyrusLikeFlags = 0x00008205;  // Unicode, request target, NTLM, always sign
constexpr auto npos = std::string::npos;

// "name  hex" lines of the published examples, keyed by name.
std::map<std::string, std::string> publishedExamples() {
    std::map<std::string, std::string> out;
    std::ifstream in(std::string(SMTP_TEST_DATA_DIR) + "/ntlm/ms_nlmp_examples.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t cut = line.find_last_of(' ');
        std::string name = line.substr(0, line.find_last_not_of(' ', cut) + 1);
        out[name] = line.substr(cut + 1);
    }
    return out;
}

std::string bytes(const DataBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

std::string base64(const std::string& s) {
    StringBuffer b64;
    ContentCoding::encodeBase64(s.data(), static_cast<uint32_t>(s.size()), b64);
    return str(b64);
}

// Builds a TYPE3 for the published inputs (user "User", password
// "Password", workstation "COMPUTER") against the given TYPE2.
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
    bool ok = ntlm.buildType3(reinterpret_cast<const unsigned char*>(challenge2.data()),
                              static_cast<uint32_t>(challenge2.size()), message, log);
    out = readType3(bytes(message));
    return ok;
}

TEST(NtlmMessages, HashesAndResponsesMatchThePublishedExamples) {
    std::map<std::string, std::string> ex = publishedExamples();
    ASSERT_EQ(ex.size(), 7u);
    XString password = xs("Password");
    unsigned char hash[16], response[24];
    ClsNtlm::ntHash(password, hash);
    EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(hash), 16)), ex["NTOWFv1(Password)"]);
    ASSERT_TRUE(ClsNtlm::desl(
        hash, 16, reinterpret_cast<const unsigned char*>(kServerChallenge.data()), 8, response));
    EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(response), 24)),
              ex["NTLMv1 response (NT)"]);
    ClsNtlm::lmHash(password, 437, hash);
    EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(hash), 16)), ex["LMOWFv1(Password)"]);
    ASSERT_TRUE(ClsNtlm::desl(
        hash, 16, reinterpret_cast<const unsigned char*>(kServerChallenge.data()), 8, response));
    EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(response), 24)), ex["LMv1 response"]);

    EXPECT_FALSE(ClsNtlm::desl(hash, 15, response, 8, response));
    EXPECT_FALSE(ClsNtlm::desl(hash, 16, response, 7, response));
    EXPECT_FALSE(ClsNtlm::desl(nullptr, 16, response, 8, response));
}

// "\xHH" in the data file stands for the byte HH.
std::string unescapeBytes(std::string s) {
    for (size_t at = s.find("\\x"); at != npos; at = s.find("\\x", at + 1))
        s.replace(at, 4, fromHex(s.substr(at + 2, 2)));
    return s;
}

// One block of type2_challenges.txt.
struct ChallengeCase {
    std::string name, type2;
    std::vector<std::pair<std::string, std::string>> lines;
};

std::vector<ChallengeCase> challengeCases() {
    std::vector<ChallengeCase> out;
    std::ifstream in(std::string(SMTP_TEST_DATA_DIR) + "/ntlm/type2_challenges.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            out.push_back({line.substr(1, line.size() - 2), "", {}});
        } else if (!out.empty()) {
            std::string key = line.substr(0, colon),
                        value = colon == npos ? "" : line.substr(colon + 2);
            if (colon == npos) key = line.substr(0, line.size() - 1);
            if (key == "type2")
                out.back().type2 = fromHex(value);
            else
                out.back().lines.push_back({key, value});
        }
    }
    return out;
}

TEST(NtlmMessages, ChallengesFromTheDataFile) {
    const std::vector<ChallengeCase> cases = challengeCases();
    ASSERT_EQ(cases.size(), 16u);
    for (const ChallengeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string user = "User";
        bool expectBuilt = true;
        for (const auto& [key, value] : c.lines) {
            if (key == "user") user = unescapeBytes(value);
            if (key == "result") expectBuilt = value != "fail";
        }
        Logger log;
        Type3 t;
        ASSERT_EQ(buildFor(c.type2, t, log, user), expectBuilt) << xml(log);
        const std::string x = xml(log);
        if (expectBuilt) {
            ASSERT_TRUE(t.ok);
            EXPECT_EQ(t.flags, ClsNtlm::kDefaultFlags & u32(c.type2, 20));
            for (const std::string& secret : {t.fields["lm"], t.fields["nt"]}) {
                EXPECT_EQ(x.find(toHex(secret)), npos);
                EXPECT_EQ(x.find(base64(secret)), npos);
            }
        }
        for (const auto& [key, value] : c.lines) {
            std::string got = value;  // the inputs
            if (key == "error") got = hasError(log, value) ? value : "<not logged>";
            if (key.rfind("data ", 0) == 0) got = data(log, key.substr(5));
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
        EXPECT_EQ(toHex(bytes(message)), toHex(expected));
        EXPECT_EQ(data(log, "t1_flags"), *workstation ? "0x8a207" : "0x88207");
        // The base64 form is the same bytes on one line.
        StringBuffer b64;
        ASSERT_TRUE(ntlm.genType1(log, b64));
        EXPECT_EQ(str(b64), base64(expected));
    }
    // TYPE3 from a base64 challenge: garbage is none; a good one gives a TYPE3.
    ClsNtlm ntlm;
    ntlm.setUsername(xs("User"));
    ntlm.setPassword(xs("Password"));
    Logger log;
    StringBuffer out;
    EXPECT_FALSE(ntlm.genType3(StringBuffer("%%% not base64 %%%"), log, out));
    EXPECT_TRUE(hasError(log, "TYPE2 message is not long enough."));
    EXPECT_TRUE(out.isEmpty());
    const std::string good = type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"), "");
    ASSERT_TRUE(ntlm.genType3(StringBuffer(base64(good).c_str()), log, out)) << xml(log);
    DataBuffer decoded;
    ContentCoding::decodeBase64(out.getString(), out.length(), decoded);
    EXPECT_TRUE(readType3(bytes(decoded)).ok);
}

// The LM hash from the rule itself: upper-case, OEM bytes, 14 bytes, two
// DES keys over "KGS!@#$%". DES is checked against its own vectors.
std::string lmByRule(const std::string& oemUpper) {
    unsigned char key[14] = {};
    for (size_t i = 0; i < oemUpper.size() && i < 14; ++i)
        key[i] = static_cast<unsigned char>(oemUpper[i]);
    const unsigned char magic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
    unsigned char out[16];
    des::encryptBlock56(key, magic, out);
    des::encryptBlock56(key + 7, magic, out + 8);
    return toHex(std::string(reinterpret_cast<char*>(out), 16));
}

TEST(NtlmMessages, LmHashUpperCasesInTheOemCodePageAndKeepsFourteenBytes) {
    struct Case {
        const char* name;
        std::string password;  // UTF-8
        unsigned codePage;
        std::string oemUpper;
    } cases[] = {
        {"ascii", "Password", 437, "PASSWORD"},
        {"longer than 14", "abcdefghijklmnopqrstuvwxyz", 437, "ABCDEFGHIJKLMN"},
        // Cyrillic in code page 866: "parol" upper-cased is 8F 80 90 8E 8B 9C.
        {"cyrillic", "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c", 866,
         "\x8f\x80\x90\x8e\x8b\x9c"},
        // Greek in code page 737: "alpha beta" upper-cased is 80 81.
        {"greek", "\xce\xb1\xce\xb2", 737, "\x80\x81"},
        // Latin-1 letters in code page 850: e-acute -> E-acute (0x90), o-umlaut -> 0x99.
        {"latin", "\xc3\xa9t\xc3\xb6", 850, "\x90T\x99"},
        {"empty", "", 437, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        XString password = xs(c.password);
        unsigned char hash[16];
        ClsNtlm::lmHash(password, c.codePage, hash);
        EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(hash), 16)), lmByRule(c.oemUpper));
    }
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
    std::string line;
    int cases = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
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
        ++cases;
    }
    EXPECT_EQ(cases, 400);
#endif
}

TEST(NtlmMessages, RandomAndMutatedChallengesNeverReadOutOfBounds) {
    std::mt19937 rng(12345);
    const std::string seed =
        type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"),
              avPair(1, utf16le("A")) + avPair(3, utf16le("b.c")) + avPair(0, ""));
    int built = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string m;
        if (i % 4 == 0) {
            m.resize(rng() % 120);
            for (char& c : m) c = static_cast<char>(rng());
            if (m.size() >= 12 && (i % 8 == 0))
                m.replace(0, 12, std::string("NTLMSSP\0", 8) + le32(2));
        } else {
            m = seed;
            for (int k = 0, edits = 1 + static_cast<int>(rng() % 6); k < edits; ++k)
                m[rng() % m.size()] = static_cast<char>(rng());
            if (rng() % 3 == 0) m.resize(rng() % (m.size() + 1));
        }
        // Exactly sized heap copy, so that ASan sees any read past the end.
        std::vector<unsigned char> exact(m.begin(), m.end());
        ClsNtlm ntlm;
        ntlm.setUsername(xs("user"));
        ntlm.setPassword(xs("pw"));
        LogNull quiet;
        DataBuffer out;
        if (ntlm.buildType3(exact.empty() ? nullptr : exact.data(),
                            static_cast<uint32_t>(exact.size()), out, quiet)) {
            ++built;
            EXPECT_TRUE(readType3(bytes(out)).ok);
        }
    }
    EXPECT_GT(built, 1000);
}

}  // namespace
