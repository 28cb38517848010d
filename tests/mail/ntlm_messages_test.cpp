// The NTLM messages built without the system's security packages: hashes
// and responses against Microsoft's published examples and impacket, the
// byte layout of TYPE1 and TYPE3, and hostile TYPE2 challenges.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/des.h"
#include "mail/cls_ntlm.h"
#include "mail/ntlm_challenge.h"
#include "mime/content_coding.h"
#include "ntlm_test_support.h"
#include "smtp_test_support.h"

using namespace ntlmtest;
using smtptest_support::data;
using smtptest_support::hasError;
using smtptest_support::xml;
using smtptest_support::xs;

namespace {

const std::string kServerChallenge = fromHex("0123456789abcdef");
const std::string kClientChallenge = fromHex("aaaaaaaaaaaaaaaa");
const uint32_t kCyrusLikeFlags = 0x00008205;  // Unicode, request target, NTLM, always sign

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

struct Built {
    bool ok;
    Type3 type3;
    Logger log;
};

// Builds a TYPE3 for the published inputs (user "User", password
// "Password", workstation "COMPUTER") against the given TYPE2.
bool buildFor(const std::string& challenge2, Type3& out, Logger& log,
              const std::string& user = "User", const std::string& password = "Password",
              unsigned oemCodePage = 437) {
    ClsNtlm ntlm;
    ntlm.setOemCodePage(oemCodePage);
    ntlm.setUsername(xs(user));
    ntlm.setPassword(xs(password));
    ntlm.setWorkstation(xs("COMPUTER"));
    ntlm.setClientChallengeForTesting(
        reinterpret_cast<const unsigned char*>(kClientChallenge.data()));
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

    // The same values inside whole TYPE3 messages.
    Logger log;
    Type3 t;
    ASSERT_TRUE(buildFor(type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"), ""), t, log))
        << xml(log);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(toHex(t.fields["nt"]), ex["NTLMv1 response (NT)"]);
    EXPECT_EQ(toHex(t.fields["lm"]), ex["LMv1 response"]);

    log.ClearLog();
    ASSERT_TRUE(buildFor(type2(kCyrusLikeFlags | ntlm::kExtendedSessionSecurity, kServerChallenge,
                               utf16le("Server"), ""),
                         t, log));
    EXPECT_EQ(toHex(t.fields["nt"]), ex["NT response"]);
    EXPECT_EQ(toHex(t.fields["lm"]), ex["LM response"]);
}

TEST(NtlmMessages, DeslRefusesWrongSizes) {
    unsigned char hash[16] = {}, challenge[8] = {}, out[24];
    EXPECT_FALSE(ClsNtlm::desl(hash, 15, challenge, 8, out));
    EXPECT_FALSE(ClsNtlm::desl(hash, 16, challenge, 7, out));
    EXPECT_FALSE(ClsNtlm::desl(nullptr, 16, challenge, 8, out));
}

TEST(NtlmMessages, Type1WithAndWithoutWorkstation) {
    struct Case {
        const char* workstation;
        uint32_t flags;
        std::string expected;
    } cases[] = {
        {"", 0x00088207,
         std::string("NTLMSSP\0", 8) + le32(1) + le32(0x00088207) + std::string(16, '\0')},
        {"COMPUTER", 0x0008A207,
         std::string("NTLMSSP\0", 8) + le32(1) + le32(0x0008A207) + std::string(8, '\0') + le16(8) +
             le16(8) + le32(32) + "COMPUTER"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.workstation);
        ClsNtlm ntlm;
        ntlm.setWorkstation(xs(c.workstation));
        Logger log;
        DataBuffer message;
        ntlm.buildType1(message, log);
        EXPECT_EQ(toHex(bytes(message)), toHex(c.expected));
        char hexFlags[16];
        std::snprintf(hexFlags, sizeof hexFlags, "0x%x", c.flags);
        EXPECT_EQ(data(log, "t1_flags"), hexFlags);
        // The base64 form is the same bytes on one line.
        StringBuffer b64;
        ASSERT_TRUE(ntlm.genType1(log, b64));
        DataBuffer decoded;
        ContentCoding::decodeBase64(b64.getString(), b64.length(), decoded);
        EXPECT_EQ(bytes(decoded), c.expected);
        EXPECT_EQ(std::string(b64.getString()).find_first_of("\r\n"), std::string::npos);
    }
}

TEST(NtlmMessages, Type3LayoutFollowsTheNegotiatedCharacterSet) {
    struct Case {
        const char* name;
        uint32_t serverFlags;
        std::string user, expectedUser, expectedWorkstation;
    } cases[] = {
        {"unicode", kCyrusLikeFlags, "J\xc3\xbcrgen", std::string("J\0\xfc\0r\0g\0e\0n\0", 12),
         utf16le("COMPUTER")},
        // Without NEGOTIATE_UNICODE the strings are OEM text: u-umlaut is 0x81 in code page 437.
        {"oem", kCyrusLikeFlags & ~ntlm::kNegotiateUnicode, "J\xc3\xbcrgen", "J\x81rgen",
         "COMPUTER"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        Type3 t;
        ASSERT_TRUE(
            buildFor(type2(c.serverFlags, kServerChallenge, utf16le("Server"), ""), t, log, c.user))
            << xml(log);
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(t.flags, ClsNtlm::kDefaultFlags & c.serverFlags);
        EXPECT_EQ(t.fields["domain"], "");
        EXPECT_EQ(t.fields["key"], "");
        EXPECT_EQ(t.offsets["key"], 0u);
        EXPECT_EQ(t.fields["user"], c.expectedUser);
        EXPECT_EQ(t.fields["workstation"], c.expectedWorkstation);
        // Payload order: domain, user, workstation, LM, NT, back to back after the header.
        EXPECT_EQ(t.offsets["domain"], 64u);
        EXPECT_EQ(t.offsets["user"], 64u);
        EXPECT_EQ(t.offsets["workstation"], 64u + c.expectedUser.size());
        EXPECT_EQ(t.offsets["lm"], t.offsets["workstation"] + c.expectedWorkstation.size());
        EXPECT_EQ(t.offsets["nt"], t.offsets["lm"] + 24);
        EXPECT_EQ(data(log, "NtlmVersion"), "1");
    }
}

TEST(NtlmMessages, NtOnlyCopiesTheNtResponse) {
    Logger log;
    Type3 t;
    ASSERT_TRUE(buildFor(
        type2(kCyrusLikeFlags | ntlm::kNegotiateNtOnly, kServerChallenge, utf16le("Server"), ""), t,
        log));
    EXPECT_EQ(toHex(t.fields["lm"]), toHex(t.fields["nt"]));
    EXPECT_EQ(toHex(t.fields["nt"]), publishedExamples()["NTLMv1 response (NT)"]);
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
    std::string cmd = "/usr/bin/python3 \"" + std::string(SMTP_INTEGRATION_DIR) +
                      "/ntlm_oracle.py\" 20261206 400";
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
    int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "python3-impacket is not installed";
    ASSERT_EQ(status, 0);
    std::istringstream lines(text);
    std::string line;
    int cases = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
        ASSERT_EQ(f.size(), 7u) << line;
        SCOPED_TRACE(line);
        ClsNtlm ntlm;
        // impacket encodes the upper-cased password as Latin-1.
        ntlm.setOemCodePage(28591);
        ntlm.setUsername(xs(fromHex(f[0])));
        ntlm.setPassword(xs(fromHex(f[1])));
        std::string client = fromHex(f[3]);
        ntlm.setClientChallengeForTesting(reinterpret_cast<const unsigned char*>(client.data()));
        std::string challenge = type2(static_cast<uint32_t>(std::stoul(f[4], nullptr, 16)),
                                      fromHex(f[2]), utf16le("SERVER"), "");
        Logger log;
        DataBuffer message;
        ASSERT_TRUE(ntlm.buildType3(reinterpret_cast<const unsigned char*>(challenge.data()),
                                    static_cast<uint32_t>(challenge.size()), message, log));
        Type3 t = readType3(bytes(message));
        ASSERT_TRUE(t.ok);
        EXPECT_EQ(toHex(t.fields["lm"]), f[5]);
        EXPECT_EQ(toHex(t.fields["nt"]), f[6]);
        ++cases;
    }
    EXPECT_EQ(cases, 400);
#endif
}

TEST(NtlmMessages, HostileChallengesFailWithTheirReason) {
    const std::string good = type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"), "");
    std::string wrongSignature = good;
    wrongSignature[3] = 'X';
    std::string wrongType = good;
    wrongType[8] = 3;
    std::string nameOutside = good;
    nameOutside.replace(16, 4, le32(static_cast<uint32_t>(good.size()) - 11));
    std::string nameOverflow = good;
    nameOverflow.replace(12, 8, le16(0xFFFF) + le16(0xFFFF) + le32(0xFFFFFFF0u));
    std::string infoOutside = good;
    infoOutside.replace(40, 8, le16(8) + le16(8) + le32(static_cast<uint32_t>(good.size()) - 4));
    struct Case {
        const char* name;
        std::string message;
        const char* error;
    } cases[] = {
        {"empty", "", "TYPE2 message is not long enough."},
        {"59 bytes", good.substr(0, 59), "TYPE2 message is not long enough."},
        {"signature", wrongSignature, "Expected TYPE2 message to begin with NTLMSSP."},
        {"type", wrongType, "TYPE2 message type not equal to 2"},
        {"target name past the end", nameOutside, "Failed to get target name from TYPE2 message."},
        {"target name offset wraps", nameOverflow, "Failed to get target name from TYPE2 message."},
        {"target info past the end", infoOutside,
         "Failed to get target info data from TYPE2 message."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        Type3 t;
        EXPECT_FALSE(buildFor(c.message, t, log));
        EXPECT_TRUE(hasError(log, c.error)) << xml(log);
        EXPECT_TRUE(hasError(log, "Failed to decode TYPE2 input message.")) << xml(log);
    }
    // 60 bytes exactly is long enough.
    Logger log;
    Type3 t;
    EXPECT_TRUE(buildFor(type2(kCyrusLikeFlags, kServerChallenge, "abcd", ""), t, log)) << xml(log);
}

TEST(NtlmMessages, TargetInfoNamesAndATruncatedList) {
    const std::string info = avPair(1, utf16le("NBHOST")) + avPair(2, utf16le("NBDOM")) +
                             avPair(7, "12345678") + avPair(3, utf16le("host.example")) +
                             avPair(4, utf16le("example"));
    struct Case {
        const char* name;
        std::string info;
        const char* dnsComputer;
        const char* dnsDomain;
    } cases[] = {
        {"whole list", info + avPair(0, ""), "host.example", "example"},
        // The last entry claims 200 bytes of which 7 remain: the walk stops there.
        {"last entry runs past the end",
         avPair(1, utf16le("NBHOST")) + avPair(2, utf16le("NBDOM")) + avPair(7, "12345678") +
             avPair(3, utf16le("host.example")) + le16(4) + le16(200) + "example",
         "host.example", ""},
        // A cut inside an entry header.
        {"cut header", avPair(1, utf16le("NBHOST")) + avPair(2, utf16le("NBDOM")) + "\x03", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logger log;
        Type3 t;
        ASSERT_TRUE(
            buildFor(type2(kCyrusLikeFlags, kServerChallenge, utf16le("DOM"), c.info), t, log))
            << xml(log);
        EXPECT_TRUE(t.ok);
        EXPECT_EQ(data(log, "TargetName"), "DOM");
        EXPECT_EQ(data(log, "nbComputer"), "NBHOST");
        EXPECT_EQ(data(log, "nbDomain"), "NBDOM");
        EXPECT_EQ(data(log, "dnsComputer"), c.dnsComputer);
        EXPECT_EQ(data(log, "dnsDomain"), c.dnsDomain);
    }
}

TEST(NtlmMessages, ResponsesNeverReachTheLog) {
    Logger log;
    Type3 t;
    ASSERT_TRUE(buildFor(type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"), ""), t, log));
    std::string x = xml(log);
    for (const std::string& secret : {t.fields["lm"], t.fields["nt"]}) {
        EXPECT_EQ(x.find(toHex(secret)), std::string::npos);
        StringBuffer b64;
        ContentCoding::encodeBase64(secret.data(), static_cast<uint32_t>(secret.size()), b64);
        EXPECT_EQ(x.find(b64.getString()), std::string::npos);
    }
    EXPECT_EQ(data(log, "NtResponse"), "24 bytes, not logged");
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

TEST(NtlmMessages, Base64ChallengeWithGarbageAroundIt) {
    ClsNtlm ntlm;
    ntlm.setUsername(xs("User"));
    ntlm.setPassword(xs("Password"));
    Logger log;
    StringBuffer out;
    EXPECT_FALSE(ntlm.genType3(StringBuffer("%%% not base64 %%%"), log, out));
    EXPECT_TRUE(hasError(log, "TYPE2 message is not long enough."));
    EXPECT_TRUE(out.isEmpty());

    std::string challenge = type2(kCyrusLikeFlags, kServerChallenge, utf16le("Server"), "");
    StringBuffer b64;
    ContentCoding::encodeBase64(challenge.data(), static_cast<uint32_t>(challenge.size()), b64);
    log.ClearLog();
    ASSERT_TRUE(ntlm.genType3(b64, log, out)) << xml(log);
    DataBuffer decoded;
    ContentCoding::decodeBase64(out.getString(), out.length(), decoded);
    EXPECT_TRUE(readType3(bytes(decoded)).ok);
}

}  // namespace
