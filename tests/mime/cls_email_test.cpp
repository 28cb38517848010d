#include "mime/cls_email.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/code_pages.h"

namespace {

XString utf8(const char* s) {
    XString x;
    x.setFromUtf8(s);
    return x;
}

std::string xmlOf(ClsEmail& e) {
    StringBuffer sb;
    EXPECT_TRUE(e.log().GetXml(sb));
    return sb.getString();
}

std::string to(const ClsEmail& e, int i) {
    StringBuffer sb;
    e.getTo(i, sb);
    return sb.getString();
}

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

TEST(EmailRecipients, EmptyAddressIsRefusedAndLogged) {
    ClsEmail e;
    XString n = utf8(""), a = utf8("");
    EXPECT_FALSE(e.AddTo(n, a));
    EXPECT_EQ(e.numTo(), 0);
    std::string xml = xmlOf(e);
    EXPECT_EQ(xml,
              "<BrenvikLog>\r\n<AddTo>\r\n<DllDate>Feb  8 2009</DllDate>\r\n<name></name>\r\n"
              "<address></address>\r\n<error>No Email Address was provided</error>\r\n"
              "</AddTo>\r\n</BrenvikLog>\r\n");
    EXPECT_EQ(e.log().contextDepth(), 1u);
}

TEST(EmailRecipients, BlankAddressCountsAsEmpty) {
    ClsEmail e;
    XString n = utf8("Bob"), a = utf8(" \t\r\n ");
    EXPECT_FALSE(e.AddCC(n, a));
    EXPECT_EQ(e.numCc(), 0);
    EXPECT_TRUE(has(xmlOf(e), "<error>No Email Address was provided</error>"));
}

TEST(EmailRecipients, NameAndAddressAreTrimmed) {
    ClsEmail e;
    XString n = utf8("\t Bob Smith \r\n"), a = utf8("\r\n bob@example.com \t");
    EXPECT_TRUE(e.AddTo(n, a));
    EXPECT_EQ(to(e, 0), "bob@example.com");
    StringBuffer name;
    e.getToName(0, name);
    EXPECT_STREQ(name.getString(), "Bob Smith");
    std::string xml = xmlOf(e);
    EXPECT_TRUE(has(xml,
                    "<DllDate>Feb  8 2009</DllDate>\r\n<name>Bob Smith</name>\r\n"
                    "<address>bob@example.com</address>\r\n</AddTo>"))
        << xml;
    EXPECT_FALSE(has(xml, "<error>")) << xml;
}

TEST(EmailRecipients, ListsAreSeparateAndOrdered) {
    ClsEmail e;
    XString n = utf8("");
    XString a1 = utf8("a@x.example"), a2 = utf8("b@x.example"), c = utf8("c@x.example"),
            b = utf8("d@x.example");
    EXPECT_TRUE(e.AddTo(n, a1));
    EXPECT_TRUE(e.AddTo(n, a2));
    EXPECT_TRUE(e.AddCC(n, c));
    EXPECT_TRUE(e.AddBcc(n, b));
    EXPECT_EQ(e.numTo(), 2);
    EXPECT_EQ(e.numCc(), 1);
    EXPECT_EQ(e.numBcc(), 1);
    EXPECT_EQ(to(e, 0), "a@x.example");
    EXPECT_EQ(to(e, 1), "b@x.example");
    StringBuffer sb;
    e.getCc(0, sb);
    EXPECT_STREQ(sb.getString(), "c@x.example");
    e.getBcc(0, sb);
    EXPECT_STREQ(sb.getString(), "d@x.example");
    // The log of the last operation only, under its own name.
    std::string xml = xmlOf(e);
    EXPECT_TRUE(has(xml, "<AddBcc>")) << xml;
    EXPECT_FALSE(has(xml, "<AddTo>")) << xml;
    EXPECT_FALSE(has(xml, "<AddCC>")) << xml;
}

TEST(EmailRecipients, OutOfRangeGivesEmptyAndClearsTheOutput) {
    ClsEmail e;
    XString n = utf8(""), a = utf8("a@x.example");
    e.AddTo(n, a);
    StringBuffer sb("stale");
    e.getTo(1, sb);
    EXPECT_TRUE(sb.isEmpty());
    sb.setString("stale");
    e.getTo(-1, sb);
    EXPECT_TRUE(sb.isEmpty());
    e.getCc(0, sb);
    EXPECT_TRUE(sb.isEmpty());
    e.getBcc(2147483647, sb);
    EXPECT_TRUE(sb.isEmpty());
}

TEST(EmailRecipients, ContextNamesFollowTheOperation) {
    ClsEmail e;
    XString n = utf8(""), a = utf8("");
    e.AddCC(n, a);
    EXPECT_TRUE(has(xmlOf(e), "<AddCC>\r\n<DllDate>"));
    e.AddBcc(n, a);
    EXPECT_TRUE(has(xmlOf(e), "<AddBcc>\r\n<DllDate>"));
}

TEST(EmailText, SubjectAndBodyAreKeptAsUtf8) {
    ClsEmail e;
    XString s = utf8(
                "Gr\xC3\xBC\xC3\x9F"
                "e \xF0\x9F\x98\x80"),
            b = utf8("line1\r\nline2");
    e.put_Subject(s);
    e.put_Body(b);
    EXPECT_STREQ(e.subject().getString(),
                 "Gr\xC3\xBC\xC3\x9F"
                 "e \xF0\x9F\x98\x80");
    EXPECT_STREQ(e.body().getString(), "line1\r\nline2");
    XString empty = utf8("");
    e.put_Subject(empty);
    EXPECT_TRUE(e.subject().isEmpty());
}

TEST(EmailText, FromIsTrimmed) {
    ClsEmail e;
    XString f = utf8(" \t alice@example.com \r\n");
    e.put_From(f);
    EXPECT_STREQ(e.from().getString(), "alice@example.com");
}

TEST(EmailHtml, NullIsLoggedAndChangesNothing) {
    ClsEmail e;
    e.SetHtmlBody("<p>first</p>", true);
    e.SetHtmlBody(nullptr, true);
    EXPECT_STREQ(e.htmlBody().getString(), "<p>first</p>");
    std::string xml = xmlOf(e);
    EXPECT_TRUE(has(xml,
                    "<SetHtmlBody>\r\n<DllDate>Feb  8 2009</DllDate>\r\n"
                    "<error>HTML string is NULL</error>\r\n</SetHtmlBody>"))
        << xml;
}

TEST(EmailHtml, NullOnAFreshMessageLeavesItWithoutHtml) {
    ClsEmail e;
    e.SetHtmlBody(nullptr, false);
    EXPECT_FALSE(e.hasHtmlBody());
}

TEST(EmailHtml, TextIsReadByTheSwitch) {
    platform::setCodePagesForTesting(1252, 437);
    ClsEmail e;
    e.SetHtmlBody("caf\xC3\xA9", true);  // UTF-8 bytes, taken as they are
    EXPECT_TRUE(e.hasHtmlBody());
    EXPECT_STREQ(e.htmlBody().getString(), "caf\xC3\xA9");
    e.SetHtmlBody("caf\xE9", false);  // the same word in code page 1252
    EXPECT_STREQ(e.htmlBody().getString(), "caf\xC3\xA9");
    std::string xml = xmlOf(e);
    EXPECT_FALSE(has(xml, "<error>")) << xml;
    platform::setCodePagesForTesting(0, 0);
}

class EmailAttachment : public ::testing::Test {
  protected:
    void SetUp() override {
        dir =
            std::filesystem::temp_directory_path() /
            ("cls_email_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::filesystem::path dir;
};

TEST_F(EmailAttachment, ExistingFileIsKept) {
    std::string path = (dir / "n\xC3\xB8te.txt").string();
    std::ofstream(path) << "x";
    ClsEmail e;
    XString p = utf8(path.c_str());
    StringBuffer contentType("stale");
    EXPECT_TRUE(e.AddFileAttachment(p, contentType));
    ASSERT_EQ(e.numAttachments(), 1);
    StringBuffer stored;
    e.getAttachmentPath(0, stored);
    EXPECT_EQ(std::string(stored.getString()), path);
    std::string xml = xmlOf(e);
    EXPECT_TRUE(has(xml, "<AddFileAttachment>\r\n<DllDate>Feb  8 2009</DllDate>\r\n<filename>" +
                             path + "</filename>"))
        << xml;
    EXPECT_FALSE(has(xml, "<error>")) << xml;
}

TEST_F(EmailAttachment, MissingFileOrDirectoryFails) {
    ClsEmail e;
    StringBuffer ct;
    for (const std::string& path : {(dir / "missing.bin").string(), dir.string(), std::string()}) {
        XString p = utf8(path.c_str());
        EXPECT_FALSE(e.AddFileAttachment(p, ct)) << path;
        std::string xml = xmlOf(e);
        EXPECT_TRUE(has(xml, "<error>Failed to add file attachment</error>")) << xml;
        EXPECT_EQ(e.log().contextDepth(), 1u);
    }
    EXPECT_EQ(e.numAttachments(), 0);
}

TEST(EmailState, CharsetAndSendingFlag) {
    ClsEmail e;
    XString cs = utf8("utf-8");
    EXPECT_TRUE(e.put_Charset(cs));
    EXPECT_STREQ(e.charset().getString(), "utf-8");
    EXPECT_FALSE(e.isSending());
    e.setSendingFlag(true);
    EXPECT_TRUE(e.isSending());
    e.setSendingFlag(false);
    EXPECT_FALSE(e.isSending());
}

TEST(EmailState, ManyRecipientsAreAllKept) {
    ClsEmail e;
    XString n = utf8("");
    for (int i = 0; i < 300; ++i) {
        std::string a = "user" + std::to_string(i) + "@example.com";
        XString x = utf8(a.c_str());
        ASSERT_TRUE(e.AddTo(n, x));
    }
    EXPECT_EQ(e.numTo(), 300);
    EXPECT_EQ(to(e, 299), "user299@example.com");
    EXPECT_EQ(to(e, 0), "user0@example.com");
}

}  // namespace
