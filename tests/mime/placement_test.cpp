#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime/html_help.h"
#include "mime/mime_types.h"
#include "mime_test_support.h"

using mimetest::str;

namespace {

using Tree = std::unique_ptr<Email2>;

void body(Email2& e, const std::string& text, bool html = false) {
    e.setBody(text.data(), static_cast<uint32_t>(text.size()), html);
}

std::string field(const Email2& e, const char* name) {
    StringBuffer v;
    if (!e.getHeaderField(name, v)) return "<none>";
    return str(v);
}

TEST(BodyPlacement, AsciiBodyOnANewEmail) {
    Tree e(Email2::createNewEmail());
    body(*e, "Hello there");
    EXPECT_EQ(e->charset().getCodePage(), 0u);
    EXPECT_EQ(field(*e, "Content-Transfer-Encoding"), "quoted-printable");
    EXPECT_EQ(str(e->body()), "Hello there");
    body(*e, "caf\xC3\xA9");
    EXPECT_EQ(e->charset().getCodePage(), 28591u);
    EXPECT_EQ(field(*e, "Content-Type"), "text/plain; charset=\"iso-8859-1\"");
    // The header's own code page is preferred when it fits.
    Tree h(Email2::createNewEmail());
    h->header().setCodePage(28592);
    body(*h, "caf\xC3\xA9");
    EXPECT_EQ(h->charset().getCodePage(), 28592u);
    Tree u(Email2::createNewEmail());
    body(*u, "\xC3\xA9\xC5\x82\xD0\x94");  // neither Latin page holds all three
    EXPECT_EQ(u->charset().getCodePage(), 65001u);
}

TEST(BodyPlacement, AlternativeReplacesTheSameType) {
    Tree e(Email2::createNewEmail());
    body(*e, "first");
    Email2* converted = e->convertToAlternative();
    EXPECT_EQ(converted, e.get());
    EXPECT_EQ(str(e->contentType()), "multipart/alternative");
    EXPECT_TRUE(e->boundary().endsWith("_.ALT"));
    EXPECT_FALSE(e->hasHeaderField("Content-Transfer-Encoding"));
    ASSERT_EQ(e->numParts(), 1u);
    EXPECT_EQ(str(e->getPart(0)->body()), "first");
    EXPECT_TRUE(e->body().isEmpty());

    body(*e, "second");  // replaces, does not add
    ASSERT_EQ(e->numParts(), 1u);
    EXPECT_EQ(str(e->getPart(0)->body()), "second");
    EXPECT_TRUE(e->getPart(0)->formatFlowed());
    EXPECT_EQ(field(*e->getPart(0), "Content-Type"), "text/plain;format=flowed");

    std::string html = "<p>x</p>";
    LogNull log;
    e->setHtmlBody(html.data(), static_cast<uint32_t>(html.size()), log);
    ASSERT_EQ(e->numParts(), 2u);
    EXPECT_EQ(str(e->getPart(1)->contentType()), "text/html");
    EXPECT_EQ(e->findHtmlPart(), e->getPart(1));
    EXPECT_EQ(e->findPlainPart(), e->getPart(0));
    body(*e, "third");
    ASSERT_EQ(e->numParts(), 2u);
    EXPECT_EQ(str(e->getPart(0)->body()), "third");
}

TEST(BodyPlacement, RelatedRootIsWrappedInMixed) {
    Tree e(Email2::createNewEmail());
    body(*e, "<html></html>");
    e->convertToMixed();
    e->setContentType("multipart/related", "", "", "", nullptr, "B", "", "text/html");
    e->wrapRelatedInMixed();
    EXPECT_EQ(str(e->contentType()), "multipart/mixed");
    ASSERT_EQ(e->numParts(), 1u);
    Email2* rel = e->getPart(0);
    EXPECT_EQ(str(rel->contentType()), "multipart/related");
    EXPECT_EQ(str(rel->typeParam()), "text/html");
    EXPECT_TRUE(rel->boundary().endsWith("_.REL"));
    EXPECT_EQ(rel->numParts(), 1u);
    // A body goes down through mixed and related to the first leaf.
    body(*e, "new");
    EXPECT_EQ(str(rel->getPart(0)->body()), "new");
}

TEST(BodyPlacement, MixedRootTakesAlternativeAsFirstPart) {
    Tree e(Email2::createNewEmail());
    body(*e, "text");
    e->convertToMixed();
    e->addAlternative(nullptr);  // nothing to add: no change
    EXPECT_EQ(e->numParts(), 1u);
    Charset cs;
    cs.setByCodePage(20127);
    std::string html = "<html><head></head><body>h</body></html>";
    e->getPart(0)->convertToAlternative();
    e->getPart(0)->setBody(html.data(), static_cast<uint32_t>(html.size()), true);
    Email2* alt = e->getPart(0);
    ASSERT_EQ(alt->numParts(), 2u);
    EXPECT_EQ(str(alt->getPart(0)->contentType()), "text/plain");
    EXPECT_EQ(str(alt->getPart(1)->contentType()), "text/html");
    e->setHtmlCharset(cs);
    EXPECT_EQ(str(alt->getPart(1)->transferEncoding()), "7bit");
    EXPECT_NE(str(alt->getPart(1)->body()).find("charset=us-ascii"), std::string::npos)
        << str(alt->getPart(1)->body());
}

TEST(Extensions, TableLookup) {
    EXPECT_EQ(numExtensionRows(), 194u);
    EXPECT_STREQ(contentTypeForExtension("pdf"), "application/pdf");
    EXPECT_STREQ(contentTypeForExtension("JPG"), "image/jpeg");
    EXPECT_STREQ(contentTypeForExtension("mht"), "message/rfc822");
    EXPECT_STREQ(contentTypeForExtension("hpp"), "text/plain");
    EXPECT_STREQ(contentTypeForExtension("dll"), "application/octet-stream");
    EXPECT_STREQ(contentTypeForExtension("*"), "application/octet-stream");
    // Keys listed twice are found at their first row.
    EXPECT_STREQ(contentTypeForExtension("cdf"), "application/x-cdf");
    EXPECT_STREQ(contentTypeForExtension("p7m"), "application/pkcs7-mime");
    EXPECT_EQ(contentTypeForExtension("unknownext"), nullptr);
    EXPECT_EQ(contentTypeForExtension(""), nullptr);
}

TEST(Html, SkeletonAndMetaCharset) {
    auto skeleton = [](const char* in) {
        StringBuffer s(in);
        HtmlHelp::ensureSkeleton(s);
        return str(s);
    };
    EXPECT_EQ(skeleton("hi"), "<html><head></head><body>hi</body></html>");
    EXPECT_EQ(skeleton("<HTML><BODY>x</BODY></HTML>"), "<html><head></head><body>x</BODY></HTML>");
    EXPECT_EQ(skeleton("<html><head><title>t</title></head>x</html>"),
              "<html><head><title>t</title></head><body>x</body></html>");
    const char* doc = "<html><head><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
                      "CHARSET=windows-1252\"></head><body></body></html>";
    StringBuffer cs;
    HtmlHelp::readMetaCharset(doc, cs);
    EXPECT_EQ(str(cs), "windows-1252");
    HtmlHelp::readMetaCharset("<meta name=\"x\" content=\"charset=no\">", cs);
    EXPECT_TRUE(cs.isEmpty());
    StringBuffer d(doc);
    HtmlHelp::removeMetaCharset(d);
    EXPECT_EQ(str(d), "<html><head></head><body></body></html>");
    HtmlHelp::insertMetaCharset(d, "utf-8");
    HtmlHelp::readMetaCharset(d.getString(), cs);
    EXPECT_EQ(str(cs), "utf-8");
}

}  // namespace
