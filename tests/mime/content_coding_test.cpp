#include "mime/content_coding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "mime_test_support.h"

using mimetest::fromHex;
using mimetest::str;
using mimetest::toHex;

namespace {

std::string b64Lines(const std::string& in) {
    StringBuffer out;
    EXPECT_TRUE(ContentCoding().encodeBase64Lines(in.data(), static_cast<uint32_t>(in.size()), out));
    return str(out);
}

std::string qp(const std::string& in) {
    StringBuffer out;
    EXPECT_TRUE(ContentCoding().encodeQuotedPrintable(in.data(), static_cast<uint32_t>(in.size()), out));
    return str(out);
}

std::string qword(const std::string& in, bool addressField = false) {
    ContentCoding cc;
    cc.setAddressField(addressField);
    StringBuffer out;
    cc.encodeQWord(in.data(), static_cast<uint32_t>(in.size()), out);
    return str(out);
}

std::string decodeWords(const char* text) {
    StringBuffer out;
    ContentCoding::decodeEncodedWords(text, out);
    return str(out);
}

TEST(Base64Layout, GroupsPaddingAndLineEnds) {
    EXPECT_EQ(b64Lines(""), "");
    EXPECT_EQ(b64Lines("abc"), "YWJj\r\n");
    EXPECT_EQ(b64Lines("a"), "YQ==\r\n");
    EXPECT_EQ(b64Lines("ab"), "YWI=\r\n");
    // 54 bytes fill one line exactly, and still get a final line end.
    std::string line = b64Lines(std::string(54, 'x'));
    EXPECT_EQ(line.size(), 72u + 2 + 2);
    EXPECT_EQ(line.substr(72), "\r\n\r\n");
    // 53 bytes end in a padded group that completes the line: one line end.
    EXPECT_EQ(b64Lines(std::string(53, 'x')).substr(72), "\r\n");
    // 55 bytes: a full line and a padded second one.
    std::string two = b64Lines(std::string(55, 'x'));
    EXPECT_EQ(two.substr(72), "\r\neA==\r\n");
    StringBuffer flat;
    ContentCoding::encodeBase64(std::string(55, 'x').data(), 55, flat);
    EXPECT_EQ(flat.length(), 76u);
    EXPECT_EQ(str(flat).find('\r'), std::string::npos);
}

TEST(QuotedPrintableRules, LineStartsBlanksAndEscapes) {
    EXPECT_EQ(qp("From here"), "=46rom here");
    EXPECT_EQ(qp("a\r\nFrom x"), "a\r\n=46rom x");
    EXPECT_EQ(qp("Fromage"), "Fromage");
    EXPECT_EQ(qp(".\r\n."), "=2E\r\n=2E");
    EXPECT_EQ(qp("a.b"), "a.b");
    EXPECT_EQ(qp("a b"), "a b");
    EXPECT_EQ(qp("a "), "a=20");
    EXPECT_EQ(qp("a\t\r\nb"), "a=09\r\nb");
    EXPECT_EQ(qp("a = b"), "a =3D b");
    EXPECT_EQ(qp(std::string("\x00\x7f\xe9\r\n", 5)), "=00=7F=E9\r\n");
    EXPECT_EQ(qp("lone\rcr\nlf"), "lone=0Dcr=0Alf");
}

TEST(QuotedPrintableRules, SoftBreaksAfter72Columns) {
    std::string out = qp(std::string(200, 'a'));
    EXPECT_EQ(out, std::string(72, 'a') + "=\r\n" + std::string(72, 'a') + "=\r\n" + std::string(56, 'a'));
    // No soft break right before a hard one, nor at the very end.
    EXPECT_EQ(qp(std::string(72, 'a') + "\r\nb"), std::string(72, 'a') + "\r\nb");
    EXPECT_EQ(qp(std::string(72, 'a')), std::string(72, 'a'));
    // An escape that crosses column 72 finishes before the break; a "." that
    // then starts the next line is escaped.
    out = qp(std::string(71, 'a') + "=.x");
    EXPECT_EQ(out, std::string(71, 'a') + "=3D=\r\n=2Ex");
}

TEST(QWordRules, LiteralsSpacesAndEscapes) {
    EXPECT_EQ(qword("Hello World"), "Hello_World");
    EXPECT_EQ(qword("a=b?c_d"), "a=3Db=3Fc=5Fd");
    EXPECT_EQ(qword("x,y"), "x,y");
    EXPECT_EQ(qword("x,y", true), "x=2Cy");
    EXPECT_EQ(qword("\xC3\xA9\t"), "=C3=A9=09");
}

TEST(Decoders, HandleDamagedInput) {
    DataBuffer out;
    ContentCoding::decodeBase64("YW\r\nJj ZA==trailing", 19, out);
    EXPECT_EQ(str(out), "abcd");
    out.clear();
    const char* q = "a=3Db=\r\nc=\nd=zz=4";
    ContentCoding::decodeQuotedPrintable(q, static_cast<uint32_t>(std::strlen(q)), out);
    EXPECT_EQ(str(out), "a=bcd=zz=4");
}

TEST(Decoders, EncodedWordsJoinAndConvert) {
    EXPECT_EQ(decodeWords("=?iso-8859-1?Q?Gr=FC=DFe?= =?UTF-8?b?IHdlbHQ=?= end"), "Gr\xC3\xBC\xC3\x9F" "e welt end");
    EXPECT_EQ(decodeWords("a =?utf-8?q?x_y?= b"), "a x y b");
    EXPECT_EQ(decodeWords("=?8bit?Q?caf=C3=A9?="), "caf\xC3\xA9");
    // Not words: left as they are.
    EXPECT_EQ(decodeWords("=?broken =? x?="), "=?broken =? x?=");
    EXPECT_EQ(decodeWords("1+1=?"), "1+1=?");
    unsigned cp = 0;
    StringBuffer out;
    ContentCoding::decodeEncodedWords("x =?ISO-8859-2?Q?a?=", out, &cp);
    EXPECT_EQ(cp, 28592u);
}

// Reference encodings made by Python (tests/data/mime/make_vectors.py).
TEST(PythonVectors, EncodersAndDecodersAgree) {
    std::ifstream f(std::string(SMTP_TEST_DATA_DIR) + "/mime/coding_vectors.txt");
    ASSERT_TRUE(f.good());
    std::string line;
    int b64 = 0, qpd = 0, ew = 0;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string kind, a, b;
        in >> kind >> a >> b;
        std::string x = fromHex(a);
        std::string y = kind == "B64" ? (b == "-" ? "" : b) : fromHex(b);
        if (kind == "B64") {
            StringBuffer out;
            ContentCoding::encodeBase64(x.data(), static_cast<uint32_t>(x.size()), out);
            EXPECT_EQ(str(out), y) << line;
            DataBuffer back;
            ContentCoding::decodeBase64(y.data(), static_cast<uint32_t>(y.size()), back);
            EXPECT_EQ(str(back), x) << line;
            ++b64;
        } else if (kind == "QPD") {
            DataBuffer back;
            ContentCoding::decodeQuotedPrintable(y.data(), static_cast<uint32_t>(y.size()), back);
            EXPECT_EQ(toHex(str(back)), toHex(x)) << line;
            ++qpd;
        } else if (kind == "EW") {
            EXPECT_EQ(toHex(decodeWords(x.c_str())), toHex(y)) << x;
            ++ew;
        }
    }
    EXPECT_GT(b64, 80);
    EXPECT_GT(qpd, 50);
    EXPECT_GT(ew, 30);
}

// Our encoders' output on random input, decoded by Python.
TEST(PythonOracle, RandomInputDecodesBack) {
    if (std::system("python3 -c \"import quopri, base64, email.header\"") != 0)
        GTEST_SKIP() << "python3 not available";
    std::mt19937 rng(12345);
    const std::string textish = std::string("abc XYZ.=\t\r\n\r\nFrom ?_,", 23) + std::string("\x00\xe9\xff", 3);
    std::string path = ::testing::TempDir() + "mime_oracle_vectors.txt";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 300; ++i) {
            std::string in;
            size_t n = rng() % 400;
            bool text = i % 2 == 0;
            for (size_t k = 0; k < n; ++k)
                in.push_back(text ? textish[rng() % textish.size()] : static_cast<char>(rng() & 0xFF));
            out << "B64L " << toHex(in) << " " << toHex(b64Lines(in)) << "\n";
            out << "QP " << toHex(in) << " " << toHex(qp(in)) << "\n";
            if (!in.empty()) out << "QW " << toHex(in) << " " << toHex(qword(in)) << "\n";
        }
    }
    std::string cmd = "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/check_encodings.py\" \"" + path + "\"";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::remove(path.c_str());
}

}  // namespace
