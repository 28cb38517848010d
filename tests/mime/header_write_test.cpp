// Header fields as text: folding, encoded words and the charset fallbacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/content_coding.h"
#include "mime/mime_header.h"
#include "mime_oracle.h"
#include "text/encoding_convert.h"

using namespace mimetest;

namespace {

std::string write(const char* name, const std::string& value, unsigned cp) {
    MimeField f;
    f.set(name, value.c_str());
    StringBuffer out;
    f.write(out, cp);
    return str(out);
}

std::vector<std::string> split(const std::string& s, const std::string& sep) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t k = s.find(sep, at);
        out.push_back(s.substr(at, k == std::string::npos ? std::string::npos : k - at));
        if (k == std::string::npos) return out;
        at = k + sep.size();
    }
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Every line at most 998 octets, every CR followed by LF and every LF
// preceded by CR.
void expectTransportSafe(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare CR at " << i;
        } else if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    for (const std::string& line : split(text, "\r\n")) EXPECT_LE(line.size(), 998u);
}

const std::string kRussian40 = repeat("\xD0\x96", 40);  // 40 Cyrillic letters

TEST(HeaderWrite, QWordInTheFieldCharset) {
    EXPECT_EQ(write("Subject", "Gr\xC3\xBC\xC3\x9F" "e", 28591), "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=");
    // "=", "?", "_" and the blank inside a word.
    EXPECT_EQ(write("Subject", "\xC3\xA9=?_ x", 28591), "Subject: =?iso-8859-1?Q?=E9=3D=3F=5F_x?=");
}

TEST(HeaderWrite, LongTextIsCutIntoShortQWordsAnd12UnitBWords) {
    // 17 Cyrillic letters would make a Q word of 114 characters: the words
    // get shorter instead, at most 75 characters on lines of at most 76.
    std::string text = write("Subject", kRussian40, 65001);
    std::vector<std::string> words = split(text.substr(9), "\r\n\t");
    ASSERT_EQ(words.size(), 5u) << text;
    EXPECT_EQ(words[0], "=?utf-8?Q?" + repeat("=D0=96", 9) + "?=");
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(words[i], "=?utf-8?Q?" + repeat("=D0=96", 10) + "?=");
    EXPECT_EQ(words[4], "=?utf-8?Q?=D0=96?=");
    for (const std::string& line : split(text, "\r\n")) EXPECT_LE(line.size(), 76u) << line;

    // UTF-16 code pages always go out as B words in utf-8.
    std::string b = write("Subject", kRussian40, 1200);
    std::vector<std::string> bw = split(b.substr(9), "\r\n\t");
    ASSERT_EQ(bw.size(), 4u) << b;  // 12 + 12 + 12 + 4
    for (const std::string& w : bw) EXPECT_EQ(w.substr(0, 10), "=?utf-8?B?");
    StringBuffer decoded;
    ContentCoding::decodeEncodedWords(b.substr(9).c_str(), decoded);
    EXPECT_EQ(str(decoded), kRussian40);
}

TEST(HeaderWrite, JapaneseInShiftJisIsThreeBWords) {
    if (!EncodingConvert::isSupported(932)) GTEST_SKIP() << "code page 932 not available yet";
    std::string hiragana = repeat("\xE3\x81\x82", 30);  // 30 x U+3042
    std::string text = write("Subject", hiragana, 932);
    std::vector<std::string> words = split(text.substr(9), "\r\n\t");
    ASSERT_EQ(words.size(), 3u) << text;
    DataBuffer twelve;
    EncodingConvert().convert(65001, 932, repeat("\xE3\x81\x82", 12).data(), 36, twelve);
    StringBuffer b64;
    ContentCoding::encodeBase64(twelve.data(), twelve.size(), b64);
    EXPECT_EQ(words[0], "=?shift_jis?B?" + str(b64) + "?=");
    StringBuffer decoded;
    ContentCoding::decodeEncodedWords(text.substr(9).c_str(), decoded);
    EXPECT_EQ(str(decoded), hiragana);
}

TEST(HeaderWrite, FoldingAfterSemicolonAndComma) {
    EXPECT_EQ(write("Content-Type", "multipart/mixed;boundary=\"abc\"", 0),
              "Content-Type: multipart/mixed;\r\n\tboundary=\"abc\"");
    EXPECT_EQ(write("Content-Type", "text/plain; charset=\"utf-8\"", 0),
              "Content-Type: text/plain;\r\n\t charset=\"utf-8\"");
    // Before column 21 there is no fold, and never inside quotes.
    EXPECT_EQ(write("A", "x; y", 0), "A: x; y");
    EXPECT_EQ(write("Content-Type", "a/b; name=\"x;;;;;;;;;;;;;;y\"", 0), "Content-Type: a/b; name=\"x;;;;;;;;;;;;;;y\"");

    std::string to = "\"Alexandra Longname\" <alexandra@example.com>, \"Bartholomew\" <bart@example.com>";
    EXPECT_EQ(write("To", to, 0),
              "To: \"Alexandra Longname\" <alexandra@example.com>,\r\n\t \"Bartholomew\" <bart@example.com>");
    // Short lists and text without an at-sign stay on one line.
    EXPECT_EQ(write("To", "a@b.c, d@e.f", 0), "To: a@b.c, d@e.f");
    std::string commas = repeat("word, ", 12);
    EXPECT_EQ(write("Keywords", commas, 0).find("\r\n"), std::string::npos);
}

TEST(HeaderWrite, UserAgentIsNeverFoldedAndPlainTextIsNotBroken) {
    std::string ua = repeat("Agent/1.0; (compatible; x@y, z) ", 6);
    std::string text = write("User-Agent", ua, 0);
    EXPECT_EQ(text.find("\r\n"), std::string::npos) << text;
    std::string seventy = repeat("abcdefg ", 9).substr(0, 70);
    EXPECT_EQ(write("X-Long", seventy, 0), "X-Long: " + seventy);
}

TEST(HeaderWrite, CharsetFallbacks) {
    // o with double acute is in iso-8859-2 only.
    std::string hu = "\xC5\x91r";
    EXPECT_EQ(write("Subject", hu, 28591), "Subject: =?iso-8859-2?Q?=F5r?=");
    EXPECT_EQ(write("Subject", hu, 1252), "Subject: =?iso-8859-2?Q?=F5r?=");
    EXPECT_EQ(write("Subject", "\xD0\x96", 28591), "Subject: =?utf-8?Q?=D0=96?=");
    // No charset at all: utf-8 words.
    EXPECT_EQ(write("Subject", "\xC3\xA9", 0), "Subject: =?utf-8?Q?=C3=A9?=");
    // us-ascii writes what it has.
    EXPECT_EQ(write("Subject", "caf\xC3\xA9", 20127), "Subject: caf\xC3\xA9");
    // Fields that are never encoded.
    EXPECT_EQ(write("Content-Transfer-Encoding", "\xC3\xA9", 28591), "Content-Transfer-Encoding: \xE9");
}

TEST(HeaderWrite, AddressFieldsEncodeOnlyTheNames) {
    std::string to = "\"Zo\xC3\xAB, Smith\" <zoe@example.com>, plain@example.com";
    EXPECT_EQ(write("To", to, 65001), "To: =?utf-8?Q?Zo=C3=AB=2C_Smith?= <zoe@example.com>, plain@example.com");
    // The 7-bit charsets carry names in escapes a reader would show as
    // text: their names are encoded words too.
    if (EncodingConvert::isSupported(50220)) {
        std::string text = write("To", "\"\xE3\x81\x82\" <a@example.jp>", 50220);
        EXPECT_EQ(text, "To: =?iso-2022-jp?B?GyRCJCIbKEI=?= <a@example.jp>");
    }
    EXPECT_EQ(write("Cc", "\"\xC3\xA9t\xC3\xA9\" <e@example.fr>", 65000),
              "Cc: =?utf-7?Q?+AOk-t+AOk-?= <e@example.fr>");
}

TEST(HeaderWrite, NonAsciiParametersBecomeQuotedWords) {
    std::string text = write("Content-Type", "application/pdf; name=\"R\xC3\xA9sum\xC3\xA9.pdf\"", 65001);
    EXPECT_EQ(text, "Content-Type: application/pdf;\r\n\tname=\"=?utf-8?Q?R=C3=A9sum=C3=A9.pdf?=\"");
}

TEST(HeaderWrite, OverlongValuesStayWithinTheLineLimit) {
    expectTransportSafe(write("Subject", repeat("word ", 1000), 0));
    expectTransportSafe(write("Subject", repeat("x", 5000), 0));
    expectTransportSafe(write("X-Data", repeat("\xC3\xA9 ", 2000), 0));
    expectTransportSafe(write("To", repeat("\"\xC3\xA9mile Zola\" <emile@example.fr>, ", 200), 65001));
    expectTransportSafe(write("User-Agent", repeat("agent ", 400), 0));
    // Line breaks inside a value never reach the text.
    expectTransportSafe(write("X-Odd", "a\rb\nc\r\nd", 0));
    expectTransportSafe(write("X-Odd", "\xC3\xA9\rb\nc", 28591));
}

TEST(HeaderWrite, HeaderBlockLeavesOutThePrefixAndTheLastLineEnd) {
    MimeHeader h;
    h.addField("A", "1");
    h.addField("bvx-hidden", "2");
    h.addField("B", "3");
    StringBuffer out;
    h.writeHeader(out, "BVX-", 0);
    EXPECT_EQ(str(out), "A: 1\r\nB: 3");
}

TEST(HeaderWrite, EncodeHeaderWordPicksBOrQByCharsetName) {
    StringBuffer q, b, bom;
    encodeHeaderWord("\xC3\xA9", "iso-8859-1", q);
    EXPECT_EQ(str(q), "=?iso-8859-1?Q?=E9?=");
    encodeHeaderWord("\xC3\xA7", "iso-8859-9", b);
    EXPECT_EQ(str(b), "=?iso-8859-9?B?5w==?=");
    encodeHeaderWord("\xEF\xBB\xBF" "a b", "utf-8", bom);
    EXPECT_EQ(str(bom), "=?utf-8?Q?a_b?=");
}

// Python decodes every encoded header we write back to the original text.
TEST(HeaderWrite, PythonDecodesEveryEncodedValue) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    const std::vector<std::string> values = {
        "Gr\xC3\xBC\xC3\x9F" "e", kRussian40, "\xC5\x91r and more text to make it long enough to split",
        "mixed \xE2\x82\xAC euro \xF0\x9F\x98\x80 emoji and a long tail of plain words here",
        "quote \" and = and ? and _ inside", repeat("\xC3\xA9", 100)};
    const std::vector<unsigned> pages = {0, 28591, 28592, 1252, 65001, 1200, 1251, 932};
    std::string message;
    Expect x;
    int n = 0;
    for (unsigned cp : pages) {
        if (cp && !EncodingConvert::isSupported(cp)) continue;
        for (const std::string& v : values) {
            std::string name = "X-Test-" + std::to_string(n++);
            message += write(name.c_str(), v, cp) + "\r\n";
            x.header(0, name, v);
        }
        message += write("Subject", values[1], cp) + "\r\n";
    }
    message += "\r\nbody\r\n";
    EXPECT_TRUE(pythonAgrees(message, x, "headers")) << message.substr(0, 4000);
}

}  // namespace
