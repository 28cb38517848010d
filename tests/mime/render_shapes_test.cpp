// Every shape the tree takes, rendered and read back by Python's email
// package: same structure, same decoded bytes, no defects.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime_oracle.h"
#include "text/encoding_convert.h"

using namespace mimetest;

namespace {

using Tree = std::unique_ptr<Email2>;

std::string writeFile(const std::string& name, const std::string& bytes) {
    std::string path = ::testing::TempDir() + name;
    writeFileUtf8(path, bytes);
    return path;
}

std::string binaryBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i < 256 ? i : rng() & 0xFF));
    return s;
}

void attach(Email2& e, const std::string& fileName, const std::string& bytes) {
    LogNull log;
    StringBuffer type;
    std::string path = ::testing::TempDir() + fileName;
    writeFile(fileName, bytes);
    ASSERT_TRUE(e.addFileAttachment(path.c_str(), nullptr, type, log));
}

// The bytes a leaf must decode to: its text in its own charset, anything
// else as stored.
std::string expectedBytes(const Email2& e) {
    unsigned cp = e.charset().getCodePage();
    std::string body = str(e.body());
    if (!cp || cp == 65001 || !e.isContentType("text/")) return body;
    DataBuffer out;
    EncodingConvert().convert(65001, cp, body.data(), static_cast<uint32_t>(body.size()), out);
    return str(out);
}

// Expectations for every entity in Python's walk() order.
void expectTree(const Email2& e, Expect& x, int& index) {
    int me = index++;
    std::string type = e.contentType().isEmpty() ? "text/plain" : str(e.contentType());
    for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    x.type(me, type, e.numParts() > 0);
    if (e.numParts() == 0) x.body(me, expectedBytes(e));
    if (!e.filename().isEmpty()) x.filename(me, str(e.filename()));
    for (uint32_t i = 0; i < e.numParts(); ++i) expectTree(*e.getPart(i), x, index);
}

int countEntities(const Email2& e) {
    int n = 1;
    for (uint32_t i = 0; i < e.numParts(); ++i) n += countEntities(*e.getPart(i));
    return n;
}

// Renders, then has Python compare structure and bytes with the tree.
void checkWithPython(Email2& e, const char* tag, Expect extra = Expect()) {
    std::string text = render(e);
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    Expect x;
    int index = 0;
    expectTree(e, x, index);
    x.parts(countEntities(e));
    EXPECT_TRUE(pythonAgrees(text, x, tag)) << text.substr(0, 3000);
    if (!extra.str().empty()) {
        EXPECT_TRUE(pythonAgrees(text, extra, tag)) << text.substr(0, 3000);
    }
}

Tree newEmail() { return Tree(Email2::createNewEmail()); }

void setBody(Email2& e, const std::string& s, bool html = false) {
    LogNull log;
    if (html)
        e.setHtmlBody(s.data(), static_cast<uint32_t>(s.size()), log);
    else
        e.setBody(s.data(), static_cast<uint32_t>(s.size()), false);
}

const char* kSubjectDe = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln";
const char* kSubjectRu = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! "
                         "\xD0\xAD\xD1\x82\xD0\xBE \xD0\xB4\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xB0\xD1\x8F "
                         "\xD1\x82\xD0\xB5\xD0\xBC\xD0\xB0 \xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C\xD0\xBC\xD0\xB0";

TEST(RenderShapes, NewEmailWithAsciiBodyIsHeaderBlankLineAndQuotedPrintable) {
    Tree e = newEmail();
    setBody(*e, "Hello there.\r\nA line that ends in a blank \r\n.dot and From here");
    std::string text = render(*e);
    size_t blank = text.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    std::string header = text.substr(0, blank + 2);
    EXPECT_NE(header.find("Content-Type: text/plain\r\n"), std::string::npos) << header;
    EXPECT_EQ(header.find("charset"), std::string::npos);
    EXPECT_NE(header.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(blank + 4), "Hello there.\r\nA line that ends in a blank=20\r\n=2Edot and From here");
    checkWithPython(*e, "ascii");
}

TEST(RenderShapes, SinglePartLatin1BodyAndEncodedSubject) {
    Tree e = newEmail();
    e->setHeaderField("Subject", kSubjectDe);
    e->setFrom("\"J\xC3\xBCrgen M\xC3\xBCller\" <jm@example.de>");
    e->addTo("Zo\xC3\xAB, Smith", "zoe@example.com");
    e->addTo("Plain Name", "plain@example.com");
    setBody(*e, "Gr\xC3\xBC\xC3\x9F" "e\r\n");
    EXPECT_EQ(e->charset().getCodePage(), 28591u);
    Expect x;
    x.header(0, "Subject", kSubjectDe)
        .text(0, "Gr\xC3\xBC\xC3\x9F" "e\r\n")
        .addr(0, "To", 0, "Zo\xC3\xAB, Smith", "zoe@example.com")
        .addr(0, "To", 1, "Plain Name", "plain@example.com")
        .addr(0, "From", 0, "J\xC3\xBCrgen M\xC3\xBCller", "jm@example.de");
    checkWithPython(*e, "latin1", x);
}

TEST(RenderShapes, MixedWithBinaryTextAndNonAsciiNamedAttachments) {
    Tree e = newEmail();
    e->setHeaderField("Subject", kSubjectRu);
    setBody(*e, "See the files.\r\n");
    std::string bin = binaryBytes(5000, 1);
    attach(*e, "data.bin", bin);
    attach(*e, "notes.txt", std::string("bare\nline ends\rand \x00 a NUL\r\n", 27));
    const std::string accented = "R\xC3\xA9sum\xC3\xA9 \xE2\x80\x93 \xC3\x9C" "bersicht der Ergebnisse 2024.pdf";
    attach(*e, accented, "%PDF-1.4 fake");
    ASSERT_EQ(e->numParts(), 4u);
    EXPECT_TRUE(e->boundary().endsWith("_.MIX"));
    std::string text = render(*e);
    EXPECT_NE(text.find("name=\"=?"), std::string::npos) << "non-ASCII name goes out as a quoted encoded word";
    Expect x;
    x.header(0, "Subject", kSubjectRu).header(0, "MIME-Version", "1.0").filename(4, accented).body(2, bin);
    checkWithPython(*e, "mixed", x);
}

TEST(RenderShapes, AlternativePlainAndHtml) {
    Tree e = newEmail();
    setBody(*e, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 plain\r\n");
    e->convertToAlternative();
    setBody(*e, "<p>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 <b>html</b></p>", true);
    ASSERT_TRUE(e->isContentType("multipart/alternative"));
    ASSERT_EQ(e->numParts(), 2u);
    std::string text = render(*e);
    std::string rootHeader = text.substr(0, text.find("\r\n\r\n"));
    EXPECT_EQ(rootHeader.find("Content-Transfer-Encoding"), std::string::npos)
        << "an alternative container carries no transfer encoding";
    checkWithPython(*e, "alternative");
}

TEST(RenderShapes, NestedAlternativeInsideMixed) {
    Tree e = newEmail();
    setBody(*e, "caf\xC3\xA9 plain");
    e->convertToAlternative();
    setBody(*e, "<html><body>caf\xC3\xA9 html</body></html>", true);
    attach(*e, "pic.png", binaryBytes(300, 7));
    ASSERT_TRUE(e->isContentType("multipart/mixed"));
    ASSERT_TRUE(e->getPart(0)->isContentType("multipart/alternative"));
    checkWithPython(*e, "nested");
}

const char* kRelated =
    "MIME-Version: 1.0\r\n"
    "Subject: related\r\n"
    "Content-Type: multipart/related; type=\"text/html\"; boundary=\"rel-b\"\r\n"
    "\r\n"
    "--rel-b\r\n"
    "Content-Type: text/html; charset=\"utf-8\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<html><head></head><body><img src=3D\"cid:logo\">=C3=A9</body></html>\r\n"
    "--rel-b\r\n"
    "Content-Type: image/gif\r\n"
    "Content-ID: <logo>\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "R0lGODlhAQABAAAAACw=\r\n"
    "--rel-b--\r\n";

TEST(RenderShapes, RelatedAndRelatedWrappedInMixed) {
    Tree e = parse(kRelated);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->isContentType("multipart/related"));
    ASSERT_EQ(e->numParts(), 2u);
    checkWithPython(*e, "related");

    attach(*e, "report.PDF", "pdf bytes");
    ASSERT_TRUE(e->isContentType("multipart/mixed"));
    ASSERT_TRUE(e->getPart(0)->isContentType("multipart/related"));
    EXPECT_EQ(str(e->getPart(1)->contentType()), "application/pdf");
    checkWithPython(*e, "related_mixed");
}

TEST(RenderShapes, TextLeafWithoutCharsetIsFixedUp) {
    // Latin-1 bytes, then the same text already in UTF-8: both go out as
    // iso-8859-1 with the same escape.
    for (std::string body : {std::string("caf\xE9"), std::string("caf\xC3\xA9")}) {
        Tree e = parse("Subject: x\r\nContent-Type: text/plain\r\n\r\n" + body);
        ASSERT_TRUE(e);
        std::string text = render(*e);
        EXPECT_NE(text.find("Content-Type: text/plain;\r\n\t charset=\"iso-8859-1\""), std::string::npos) << text;
        EXPECT_NE(text.find("Content-Transfer-Encoding: quoted-printable"), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 6), "caf=E9");
        checkWithPython(*e, "fixup", Expect().text(0, "caf\xC3\xA9"));
    }
    // An attachment is never touched.
    Tree a = parse("Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\"a.txt\"\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\nY2Fm6Q==\r\n");
    ASSERT_TRUE(a);
    std::string text = render(*a);
    EXPECT_EQ(text.find("iso-8859-1"), std::string::npos) << text;
}

TEST(RenderShapes, PrefixFilterLeavesOutBvxFieldsInAnyCase) {
    Tree e = newEmail();
    e->setHeaderField("BVX-Internal", "secret");
    e->setHeaderField("bvx-other", "secret");
    e->setHeaderField("BvXyz", "kept");
    e->setHeaderField("X-BVX-Not-Prefix", "kept");
    std::string text = render(*e);
    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_NE(text.find("BvXyz: kept"), std::string::npos);
    EXPECT_NE(text.find("X-BVX-Not-Prefix: kept"), std::string::npos);
    std::string unfiltered = render(*e, nullptr);
    EXPECT_NE(unfiltered.find("BVX-Internal: secret"), std::string::npos);
}

TEST(RenderShapes, MultipartFramingIsExact) {
    Tree e = newEmail();
    setBody(*e, "body");
    attach(*e, "a.bin", "xyz");
    std::string text = render(*e);
    std::string b = str(e->boundary());
    size_t start = text.find("\r\n\r\n") + 4;
    std::string framing = text.substr(start);
    std::string first = "This is a multi-part message in MIME format.\r\n\r\n--" + b + "\r\n";
    ASSERT_EQ(framing.substr(0, first.size()), first);
    EXPECT_NE(framing.find("\r\n\r\nbody\r\n--" + b + "\r\n"), std::string::npos);
    EXPECT_EQ(framing.substr(framing.size() - b.size() - 10), "\r\n\r\n--" + b + "--\r\n");
}

}  // namespace
