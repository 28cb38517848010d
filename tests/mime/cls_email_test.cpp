#include "mime/cls_email.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "mime/email2.h"
#include "mime_test_support.h"

using mimetest::str;
using mimetest::utf8;

namespace {

std::string xmlOf(ClsEmail& e) {
    StringBuffer sb;
    EXPECT_TRUE(e.log().GetXml(sb));
    return str(sb);
}

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

Email2& tree(ClsEmail& e) {
    bool created = false;
    Email2* t = e.getEmailTree(created);
    EXPECT_FALSE(created);
    return *t;
}

unsigned charsetAfterBody(const char* text) {
    ClsEmail e;
    XString b = utf8(text);
    e.put_Body(b);
    return tree(e).charset().getCodePage();
}

std::string field(ClsEmail& e, const char* name) {
    StringBuffer v;
    if (!tree(e).getHeaderField(name, v)) return "<none>";
    return str(v);
}

TEST(CharsetChoice, EveryDecisionThroughTheBody) {
    EXPECT_EQ(charsetAfterBody("Hello, plain ASCII"), 0u);
    EXPECT_EQ(charsetAfterBody(""), 0u);
    EXPECT_EQ(charsetAfterBody("Gr\xC3\xBC\xC3\x9F" "e"), 28591u);
    EXPECT_EQ(charsetAfterBody("Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"), 28592u);            // Polish
    EXPECT_EQ(charsetAfterBody("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), 28595u);  // Russian
    EXPECT_EQ(charsetAfterBody("\xCE\xB1\xCE\xB2"), 28597u);                              // Greek
    EXPECT_EQ(charsetAfterBody("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D"), 28598u);              // Hebrew
    EXPECT_EQ(charsetAfterBody("\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85"), 28596u);              // Arabic
    // Thai: 874 would do, but readers do not know its name "windows-874".
    EXPECT_EQ(charsetAfterBody("\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1"), 65001u);
    EXPECT_EQ(charsetAfterBody("\xE3\x81\x8B\xE3\x81\xAA\xE6\xBC\xA2"), 932u);            // Kana + Han
    EXPECT_EQ(charsetAfterBody("\xED\x95\x9C\xEA\xB5\xAD"), 949u);                        // Hangul
    EXPECT_EQ(charsetAfterBody("\xE4\xB8\xAD\xE6\x96\x87"), 936u);                        // Han only
    EXPECT_EQ(charsetAfterBody("\xD0\x94\xCE\xB1"), 65001u);                              // Cyrillic + Greek
    EXPECT_EQ(charsetAfterBody("\xD0\x94\xC2\xA0\xD0\x94"), 65001u);  // Cyrillic + a Latin-1 no-break space
    EXPECT_EQ(charsetAfterBody("\xF0\x9F\x98\x80"), 65001u);          // other
}

TEST(CharsetChoice, OnlyOnceAndOnlyFromNamesOfVisibleRecipients) {
    ClsEmail e;
    XString n = utf8("J\xC3\xBCrgen"), a = utf8("j@x.example");
    ASSERT_TRUE(e.AddBcc(n, a));
    EXPECT_EQ(tree(e).charset().getCodePage(), 0u);
    EXPECT_EQ(field(e, "Bcc"), "<none>");
    ASSERT_TRUE(e.AddTo(n, a));
    EXPECT_EQ(tree(e).charset().getCodePage(), 28591u);
    XString ru = utf8("\xD0\x94");
    e.put_Subject(ru);  // a charset is set: no second choice
    EXPECT_EQ(tree(e).charset().getCodePage(), 28591u);

    ClsEmail u;
    XString cs = utf8("utf-8");
    EXPECT_TRUE(u.put_Charset(cs));
    ASSERT_TRUE(u.AddCC(n, a));
    EXPECT_EQ(tree(u).charset().getCodePage(), 65001u);
    EXPECT_EQ(field(u, "Content-Type"), "text/plain; charset=\"utf-8\"");
}

TEST(Recipients, LoggedAndValidated) {
    ClsEmail e;
    XString n = utf8(""), a = utf8("");
    EXPECT_FALSE(e.AddTo(n, a));
    EXPECT_EQ(xmlOf(e),
              "<BrenvikLog>\r\n<AddTo>\r\n<DllDate>Feb  8 2009</DllDate>\r\n<name></name>\r\n"
              "<address></address>\r\n<error>No Email Address was provided</error>\r\n"
              "</AddTo>\r\n</BrenvikLog>\r\n");
    EXPECT_EQ(field(e, "To"), "<none>");
    XString blank = utf8(" \t\r\n");
    EXPECT_FALSE(e.AddCC(n, blank));

    XString bob = utf8("\t Bob Smith \r\n"), bobAddr = utf8(" bob@x.example\t");
    ASSERT_TRUE(e.AddTo(bob, bobAddr));
    EXPECT_TRUE(has(xmlOf(e), "<name>Bob Smith</name>\r\n<address>bob@x.example</address>\r\n</AddTo>"));
    EXPECT_EQ(field(e, "To"), "\"Bob Smith\" <bob@x.example>");
    StringBuffer sb("stale");
    e.getTo(0, sb);
    EXPECT_EQ(str(sb), "bob@x.example");
    e.getTo(1, sb);
    EXPECT_TRUE(sb.isEmpty());
    e.getBcc(-1, sb);
    EXPECT_TRUE(sb.isEmpty());
    EXPECT_EQ(e.numTo(), 1);
    EXPECT_EQ(e.numCc(), 0);
    EXPECT_EQ(e.log().contextDepth(), 1u);
}

TEST(Subject, SetReplacedAndRemoved) {
    ClsEmail e;
    XString s = utf8("Line\r\nbreak");
    e.put_Subject(s);
    EXPECT_EQ(field(e, "Subject"), "Linebreak");
    XString empty = utf8("");
    e.put_Subject(empty);
    EXPECT_EQ(field(e, "Subject"), "<none>");
}

TEST(Sender, FromIsTrimmedAndNeedsAnAtSign) {
    ClsEmail e;
    XString bad = utf8("nobody");
    e.put_From(bad);
    EXPECT_EQ(field(e, "From"), "<none>");
    XString f = utf8(" \t alice@x.example \r\n");
    e.put_From(f);
    EXPECT_EQ(field(e, "From"), "alice@x.example");
    StringBuffer env;
    tree(e).getEnvelopeFrom(env);
    EXPECT_EQ(str(env), "alice@x.example");
}

TEST(Bodies, TextThenHtmlThenTextOnTheRoot) {
    ClsEmail e;
    XString t = utf8("plain");
    e.put_Body(t);
    EXPECT_EQ(str(tree(e).body()), "plain");
    EXPECT_EQ(str(tree(e).transferEncoding()), "quoted-printable");
    e.SetHtmlBody("<p>hi</p>", true);
    Email2& root = tree(e);
    EXPECT_EQ(root.numParts(), 0u);
    EXPECT_EQ(str(root.contentType()), "text/html");
    EXPECT_EQ(str(root.body()),
              "<html><head><META http-equiv=\"Content-Type\" content=\"text/html;charset=utf-8\">"
              "</head><body><p>hi</p></body></html>");
    EXPECT_FALSE(has(xmlOf(e), "<error>"));
    e.put_Body(t);
    EXPECT_EQ(str(root.contentType()), "text/plain");
    EXPECT_EQ(str(root.body()), "plain");
}

TEST(Bodies, HtmlNullAndHtmlCharsetChoice) {
    ClsEmail e;
    e.SetHtmlBody(nullptr, true);
    EXPECT_TRUE(has(xmlOf(e), "<SetHtmlBody>\r\n<DllDate>Feb  8 2009</DllDate>\r\n"
                              "<error>HTML string is NULL</error>\r\n</SetHtmlBody>"));
    EXPECT_EQ(str(tree(e).contentType()), "text/plain");
    EXPECT_TRUE(tree(e).body().isEmpty());

    e.SetHtmlBody("<p>\xD0\x94\xD0\xB0</p>", true);  // Cyrillic, no declared charset
    EXPECT_EQ(tree(e).charset().getCodePage(), 28595u);
    ClsEmail d;
    d.SetHtmlBody("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
                  "\xD0\x94",
                  true);
    // Declared: the choice is left alone (the body setter still picks one).
    EXPECT_NE(tree(d).charset().getCodePage(), 28595u);
}

TEST(Charset, PutCharsetReachesHtmlPlainAndRoot) {
    ClsEmail e;
    XString body = utf8("x");
    e.put_Body(body);
    XString cs = utf8("iso-8859-2");
    EXPECT_TRUE(e.put_Charset(cs));
    EXPECT_EQ(tree(e).charset().getCodePage(), 28592u);
    EXPECT_EQ(field(e, "Content-Type"), "text/plain; charset=\"iso-8859-2\"");
    XString unknown = utf8("no-such-charset");
    EXPECT_TRUE(e.put_Charset(unknown));
    EXPECT_EQ(tree(e).charset().getCodePage(), 28592u);
}

class Attachments : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("mime_att_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // The UTF-8 form of a path, as the host hands it over.
    static std::string u8path(const std::filesystem::path& p) {
        std::u8string u = p.u8string();
        return std::string(u.begin(), u.end());
    }
    std::filesystem::path write(const std::u8string& name, const std::string& bytes) {
        std::filesystem::path p = dir / std::filesystem::path(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::filesystem::path dir;
};

TEST_F(Attachments, BodyThenAttachmentMakesMixed) {
    ClsEmail e;
    XString body = utf8("see attached");
    e.put_Body(body);
    std::filesystem::path p = write(u8"r\u00e9sum\u00e9.PDF", std::string("%PDF\x00\xff", 6));
    XString path = utf8(u8path(p).c_str());
    StringBuffer ct;
    ASSERT_TRUE(e.AddFileAttachment(path, ct));
    EXPECT_EQ(str(ct), "application/pdf");
    std::string xml = xmlOf(e);
    EXPECT_TRUE(has(xml, "<filename>" + u8path(p) + "</filename>\r\n<contentType>application/pdf</contentType>"))
        << xml;

    Email2& root = tree(e);
    EXPECT_EQ(str(root.contentType()), "multipart/mixed");
    EXPECT_TRUE(root.boundary().endsWith("_.MIX"));
    EXPECT_FALSE(root.hasHeaderField("Content-Transfer-Encoding"));
    ASSERT_EQ(root.numParts(), 2u);
    EXPECT_EQ(str(root.getPart(0)->contentType()), "text/plain");
    EXPECT_EQ(str(root.getPart(0)->body()), "see attached");
    Email2* att = root.getPart(1);
    EXPECT_EQ(str(att->body()), std::string("%PDF\x00\xff", 6));
    EXPECT_EQ(str(att->transferEncoding()), "base64");
    EXPECT_EQ(str(att->filename()), "r\xC3\xA9sum\xC3\xA9.PDF");
    StringBuffer v;
    att->getHeaderField("Content-Disposition", v);
    EXPECT_EQ(str(v), "attachment; filename=\"r\xC3\xA9sum\xC3\xA9.PDF\"");

    // A second attachment joins the same container; a text file goes quoted-printable.
    std::filesystem::path t = write(u8"notes.txt", "hello");
    XString tp = utf8(u8path(t).c_str());
    ASSERT_TRUE(e.AddFileAttachment(tp, ct));
    EXPECT_EQ(str(ct), "text/plain");
    ASSERT_EQ(root.numParts(), 3u);
    EXPECT_EQ(str(root.getPart(2)->transferEncoding()), "quoted-printable");
    // A later plain body still goes to the first part.
    XString again = utf8("changed");
    e.put_Body(again);
    EXPECT_EQ(str(root.getPart(0)->body()), "changed");
    EXPECT_EQ(root.findPlainPart(), root.getPart(0));
}

TEST_F(Attachments, MissingOrUnreadableLeavesTheTreeUnchanged) {
    ClsEmail e;
    StringBuffer ct("stale");
    for (const std::string& p : {u8path(dir / "missing.bin"), u8path(dir), std::string()}) {
        XString path = utf8(p.c_str());
        EXPECT_FALSE(e.AddFileAttachment(path, ct)) << p;
        EXPECT_TRUE(ct.isEmpty());
        std::string xml = xmlOf(e);
        EXPECT_TRUE(has(xml, "<error>Failed to add file attachment</error>")) << xml;
        if (!p.empty()) {
            EXPECT_TRUE(has(xml, "<WindowsError>")) << xml;
        }
        EXPECT_EQ(e.log().contextDepth(), 1u);
        EXPECT_EQ(str(tree(e).contentType()), "text/plain");
        EXPECT_EQ(tree(e).numParts(), 0u);
    }
}

TEST(Tree, ManagerSeesAnExistingTree) {
    ClsEmail e;
    bool created = true;
    EXPECT_NE(e.getEmailTree(created), nullptr);
    EXPECT_FALSE(created);
    EXPECT_FALSE(e.isSending());
    e.setSendingFlag(true);
    EXPECT_TRUE(e.isSending());
}

}  // namespace
