// Functions of their input, checked against tests/data/mime/values.txt,
// and the coders against Python's own (coding_vectors.txt made by
// make_vectors.py, check_encodings.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "mime/cls_email.h"
#include "mime/content_coding.h"
#include "mime/date_parser.h"
#include "mime/html_help.h"
#include "mime/mime_header.h"
#include "mime/mime_types.h"
#include "mime/rfc822_address.h"
#include "mime_oracle.h"
#include "text/encoding_convert.h"

using namespace mimetest;

namespace {

// Our encoders: base64 in lines, quoted-printable, Q word text.
std::string encode(const std::string& kind, const std::string& in) {
    ContentCoding cc;
    cc.setAddressField(kind == "qword-address");
    StringBuffer out;
    const auto n = static_cast<uint32_t>(in.size());
    bool ok = kind == "b64l" ? cc.encodeBase64Lines(in.data(), n, out)
              : kind == "qp" ? cc.encodeQuotedPrintable(in.data(), n, out)
                             : (cc.encodeQWord(in.data(), n, out), true);
    EXPECT_TRUE(ok) << kind;
    return str(out);
}

std::string write(const std::string& name, const std::string& value, unsigned cp) {
    MimeField f;
    f.set(name.c_str(), value.c_str());
    StringBuffer out;
    f.write(out, cp);
    return str(out);
}

std::string utc(const std::string& text) {
    SystemTime t;
    if (!DateParser::parseRfc822Date(text.c_str(), t)) return "fail";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d w%d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.dayOfWeek);
    return buf;
}

// Lines of at most 998 octets, CR only before LF and LF only after CR.
void expectTransportSafe(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        bool paired = text[i] == '\r' ? text.compare(i + 1, 1, "\n") == 0
                                      : text[i] != '\n' || (i > 0 && text[i - 1] == '\r');
        EXPECT_TRUE(paired) << "bare CR or LF at " << i;
    }
    for (size_t at = 0, end = 0; at < text.size(); at = end + 2) {
        end = std::min(text.find("\r\n", at), text.size());
        EXPECT_LE(end - at, 998u);
    }
    expectShortWords(text);
}

// What a row of values.txt computes from its inputs.
std::string value(const Line& l) {
    const std::string &v = l.verb, &in = l[0];
    auto size = static_cast<uint32_t>(in.size());
    StringBuffer out;
    DataBuffer bytes;
    LogNull log;
    if (v == "b64l" || v == "qp" || v.rfind("qword", 0) == 0) return encode(v, in);
    if (v == "base64") return ContentCoding::encodeBase64(in.data(), size, out), str(out);
    if (v == "unbase64") return ContentCoding::decodeBase64(in.data(), size, bytes), str(bytes);
    if (v == "unqp")
        return ContentCoding::decodeQuotedPrintable(in.data(), size, bytes), str(bytes);
    if (v == "words") return ContentCoding::decodeEncodedWords(in.c_str(), out), str(out);
    if (v == "hword") return encodeHeaderWord(in.c_str(), l[1].c_str(), out), str(out);
    if (v == "date") return utc(in);
    if (v == "skeleton") return out.append(in.c_str()), HtmlHelp::ensureSkeleton(out), str(out);
    if (v == "extension")
        return contentTypeForExtension(in.c_str()) ? contentTypeForExtension(in.c_str()) : "-";
    if (v == "words-cp") {
        unsigned cp = 0;
        ContentCoding::decodeEncodedWords(in.c_str(), out, &cp);
        return std::to_string(cp);
    }
    if (v == "datefmt") {
        std::istringstream s(in);
        int a[8] = {};
        for (int& x : a) s >> x;
        DateParser::formatRfc822(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], out);
        return str(out);
    }
    if (v.rfind("write", 0) == 0) {
        std::string text = write(in, l[2], static_cast<unsigned>(l.num(1)));
        expectTransportSafe(text);
        if (v == "write-safe") return "";
        if (v == "write-unfolded") return text.find("\r\n") == std::string::npos ? "" : text;
        return text;
    }
    if (v == "address") {
        std::unique_ptr<Rfc822Address> a(Rfc822Address::parseAddress(in.c_str(), log));
        if (!a) return "-";
        a->format(out);
        return str(a->name()) + " | " + str(a->address()) + " | " + str(out);
    }
    if (v == "pair") {
        Rfc822Address a(in.c_str(), l[1].c_str());
        a.format(out);
        return str(a.name()) + " | " + str(a.address()) + " | " + str(a.sourceText()) + " | " +
               str(out);
    }
    if (v == "meta") {
        StringBuffer doc(in.c_str());
        HtmlHelp::readMetaCharset(in.c_str(), out);
        HtmlHelp::removeMetaCharset(doc);
        std::string got = str(out) + " | " + str(doc);
        HtmlHelp::insertMetaCharset(doc, "utf-8");
        HtmlHelp::readMetaCharset(doc.getString(), out);
        return got + (str(out) == "utf-8" ? "" : " | inserted " + str(out));
    }
    if (v == "choose") {
        std::string got[2];
        for (int subject = 0; subject < 2; ++subject) {
            ClsEmail e;
            XString text = xs(in);
            subject ? e.put_Subject(text) : e.put_Body(text);
            bool created = false;
            got[subject] = std::to_string(e.getEmailTree(created)->charset().getCodePage());
        }
        return got[0] + (got[0] == got[1] ? "" : " subject " + got[1]);
    }
    return "unknown verb " + v;
}

// Every row of a case file: what value() computes, against the arguments
// after its inputs ("*": not checked).
int runRows(const std::string& file) {
    int rows = 0;
    for (const Line& l : readCases(file)) {
        SCOPED_TRACE(l.where);
        size_t inputs = l.verb.rfind("write", 0) == 0           ? 3
                        : l.verb == "hword" || l.verb == "pair" ? 2
                                                                : 1;
        if (l.verb == "python" ||
            (inputs == 3 && l.num(1) && !EncodingConvert::isSupported(l.num(1))))
            continue;
        std::string expected, got = value(l);
        for (size_t i = inputs, at = 0; i < l.args.size(); ++i) {
            expected += (i > inputs ? " | " : "") + l[i];
            if (l[i] == "*") got.replace(at, std::min(got.find(" | ", at), got.size()) - at, "*");
            size_t sep = got.find(" | ", at);
            at = sep == std::string::npos ? got.size() : sep + 3;
        }
        EXPECT_EQ(got, expected);
        ++rows;
    }
    return rows;
}

TEST(MimeValues, AsValuesTxtSays) {
    EXPECT_GT(runRows("values.txt"), 150);
    EXPECT_EQ(numExtensionRows(), 194u);
}

// Reference encodings made by Python's own modules (make_vectors.py).
TEST(MimeValues, PythonVectorsDecodeAndEncode) {
    EXPECT_GT(runRows("coding_vectors.txt"), 280);
}

// Python decodes every encoded header we write back to the original text.
TEST(MimeValues, PythonDecodesEveryHeaderWritten) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    std::string message;
    Expect x;
    int n = 0;
    for (unsigned cp : {0, 28591, 28592, 1252, 65001, 1200, 1251, 932}) {
        if (cp && !EncodingConvert::isSupported(cp)) continue;
        for (const Line& l : readCases("values.txt")) {
            if (l.verb != "python") continue;
            std::string name = "X-Test-" + std::to_string(n++);
            message += write(name, l[0], cp) + "\r\n";
            x.header(0, name, l[0]);
        }
    }
    EXPECT_TRUE(pythonAgrees(message + "\r\nbody\r\n", x, "headers")) << message.substr(0, 4000);
}

// Our encoders' output on random input, decoded by Python.
TEST(MimeValues, PythonDecodesRandomInputBack) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    std::mt19937 rng(12345);
    const std::string textish = std::string("abc XYZ.=\t\r\n\r\nFrom ?_,\0\xe9\xff", 26);
    std::ostringstream out;
    for (int i = 0; i < 300; ++i) {
        std::string in;
        for (size_t k = 0, n = rng() % 400; k < n; ++k)
            in.push_back(i % 2 == 0 ? textish[rng() % textish.size()]
                                    : static_cast<char>(rng() & 0xFF));
        out << "B64L " << toHex(in) << " " << toHex(encode("b64l", in)) << "\nQP " << toHex(in)
            << " " << toHex(encode("qp", in)) << "\n";
        if (!in.empty()) out << "QW " << toHex(in) << " " << toHex(encode("qword", in)) << "\n";
    }
    std::string path = writeFileUtf8(tempName("vectors.txt"), out.str());
    EXPECT_TRUE(runPython("check_encodings.py", "\"" + path + "\""));
    std::remove(path.c_str());
}

TEST(MimeValues, AddressLists) {
    LogNull log;
    ExtPtrArray list;
    EXPECT_EQ(Rfc822Address::parseAddressList("\"Doe, Jane, Dr.\" <jane@x.example>, bob@x.example",
                                              list, false, log),
              2);
    EXPECT_EQ(str(list.at<Rfc822Address>(0)->name()), "Doe, Jane, Dr.");
    // Duplicates skipped in any letter case, folded lists read whole.
    EXPECT_EQ(Rfc822Address::parseAddressList("BOB@X.example,\r\n\tnew@x.example", list, true, log),
              1);
    ASSERT_EQ(list.count(), 3u);
    EXPECT_EQ(str(list.at<Rfc822Address>(2)->address()), "new@x.example");
    EXPECT_EQ(Rfc822Address::parseAddressList("undisclosed-recipients:;", list, false, log), 0);
    EXPECT_EQ(Rfc822Address::parseAddressList(" , ,", list, false, log), 0);
    list.deleteAll();
}

// Now: parses back, with one blank before the offset and a two-digit day.
TEST(MimeValues, CurrentDateReadsBack) {
    StringBuffer out;
    DateParser::currentDateRfc822(out);
    std::string now = str(out);
    ASSERT_EQ(now.size(), 31u) << now;
    EXPECT_EQ(now.substr(3, 2), ", ");
    EXPECT_EQ(now[25], ' ');
    EXPECT_TRUE(now[26] == '+' || now[26] == '-');
    EXPECT_NE(utc(now), "fail") << now;
    SystemTime t;
    EXPECT_FALSE(DateParser::parseRfc822Date(nullptr, t));
}

}  // namespace
