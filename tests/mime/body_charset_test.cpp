// Text bodies in every charset and shape, composed as a host does, sent the
// way the mail manager sends (copy by render and parse, then render), and
// read back by Python's email package: every text part must decode to the
// text the host gave, every attachment to its bytes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/log_base.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "mime_oracle.h"
#include "text/charset_choice.h"

using namespace mimetest;
using namespace std::string_literals;

namespace {

using Tree = std::unique_ptr<Email2>;

struct Text {
    const char* tag;
    const char* utf8;
};

const Text kBodies[] = {
    {"ascii", "Hello, world.\r\nSecond line."},
    {"latin1",
     "Gr\xC3\xBC\xC3\x9F"
     "e aus K\xC3\xB6ln, caf\xC3\xA9"},
    {"cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80"},
    {"cyrillic_dash", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x80\x94 end"},
    {"greek",
     "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 "
     "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5"},
    {"japanese",  // こんにちは、世界。漢字とカタカナ
     "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81"
     "\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82"
     "\xE6\xBC\xA2\xE5\xAD\x97\xE3\x81\xA8\xE3\x82\xAB\xE3\x82\xBF\xE3\x82\xAB\xE3\x83\x8A"},
    {"japanese_tilde",
     "\xE6\x9C\x88\xEF\xBD\x9E\xE9\x87\x91"},  // 月～金: readers of shift_jis see a wave dash
    {"halfwidth_kana",
     "\xEF\xBD\xB6\xEF\xBE\x80\xEF\xBD\xB6\xEF\xBE\x85 \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"},
    {"emoji", "Hi \xF0\x9F\x98\x80 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
    {"mixed",
     "Gr\xC3\xBC\xC3\x9F"
     "e \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7 "
     "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xE2\x80\x94 \xF0\x9F\x98\x80\r\nline two"},
    {"latin_ext",
     "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 ma\xC3\xB1"
     "ana"},  // no single Latin page has both
    {"bare_line_ends", "\xD0\x9F\xD1\x80\xD0\xB8\nline\rend.\r\n.\r\nFrom here\r\n"},
    {"korean", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4"},
    {"korean_rare", "\xEB\x98\xA0\xEB\xB0\xA9"},  // 똠방: 똠 is not in KS X 1001
    {"thai", "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5"},
    {"traditional_han", "\xE5\x9C\x8B\xE8\xAA\x9E"},  // 國語: in GBK, not in GB2312
};

// "" leaves the choice to the e-mail object. Some names stand for less than
// the code page behind them (shift_jis, gb2312, big5, ks_c_5601-1987), some
// are unknown to readers (utf-16 is "unicode", windows-874), gb18030 has no
// tables here.
const char* const kCharsets[] = {"",          "utf-8",          "iso-8859-1",  "koi8-r",
                                 "shift_jis", "euc-jp",         "iso-2022-jp", "gb2312",
                                 "big5",      "ks_c_5601-1987", "utf-7",       "us-ascii",
                                 "utf-16",    "windows-874",    "gb18030"};

enum class Shape {
    Plain,
    Html,
    Alternative,
    HtmlThenPlain,
    PlainAttachment,
    AlternativeAttachment
};

const struct {
    Shape shape;
    const char* tag;
} kShapes[] = {
    {Shape::Plain, "plain"},
    {Shape::Html, "html"},
    {Shape::Alternative, "alternative"},
    {Shape::HtmlThenPlain, "html_then_plain"},
    {Shape::PlainAttachment, "plain_attachment"},
    {Shape::AlternativeAttachment, "alternative_attachment"},
};

std::string attachmentBytes() {
    std::string s;
    for (int i = 0; i < 600; ++i) s.push_back(static_cast<char>(i * 13 + 1));
    return s;
}

Email2& treeOf(ClsEmail& e) {
    bool created = false;
    return *e.getEmailTree(created);
}

std::string htmlOf(const std::string& text) {
    return "<p>" + text + "</p>";
}

// Composes one message through the e-mail object; the host's charset, if
// any, is set last, as the plug-in does before it sends.
void compose(ClsEmail& e, Shape shape, const std::string& text, const char* charset) {
    XString plain = utf8(text.c_str());
    std::string html = htmlOf(text);
    switch (shape) {
        case Shape::Plain:
        case Shape::PlainAttachment:
            e.put_Body(plain);
            break;
        case Shape::Html:
            e.SetHtmlBody(html.c_str(), true);
            break;
        case Shape::Alternative:
        case Shape::AlternativeAttachment:
            e.put_Body(plain);
            treeOf(e).convertToAlternative();
            e.SetHtmlBody(html.c_str(), true);
            break;
        case Shape::HtmlThenPlain:
            e.SetHtmlBody(html.c_str(), true);
            treeOf(e).convertToAlternative();
            e.put_Body(plain);
            break;
    }
    if (shape == Shape::PlainAttachment || shape == Shape::AlternativeAttachment) {
        // One file per shape: the shapes run as separate, parallel tests.
        std::string path = ::testing::TempDir() + "body_charset_data_" +
                           std::to_string(static_cast<int>(shape)) + ".bin";
        writeFileUtf8(path, attachmentBytes());
        XString p = utf8(path.c_str());
        StringBuffer type;
        ASSERT_TRUE(e.AddFileAttachment(p, type));
    }
    if (*charset) {
        XString cs = utf8(charset);
        e.put_Charset(cs);
    }
}

// What the mail manager sends: a copy made by rendering and parsing back,
// without Return-Path, rendered with the BVX- filter.
std::string sendText(Email2& tree, Tree& copy) {
    LogNull log;
    copy.reset(tree.clone(log));
    if (!copy) return std::string();
    copy->removeHeaderField("Return-Path");
    return render(*copy);
}

// Many messages checked by one run of Python: each travels as a
// message/rfc822 part of one container, whose walk() visits them in order.
class Batch {
  public:
    // Adds a message rendered from tree; its text leaves must read as
    // text, its attachment as the test file's bytes.
    void add(const std::string& name, const std::string& message, const Email2& tree,
             const std::string& text) {
        int start = m_next;
        m_next += 1;  // the message/rfc822 part
        m_expect.type(start, "message/rfc822", true);
        expectNode(tree, text);
        m_messages.push_back(message);
        m_names.push_back(std::to_string(start) + " " + name);
    }

    void check(const char* tag) {
        ASSERT_FALSE(m_messages.empty());
        if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
        std::string all =
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer-batch\"\r\n\r\n";
        for (const std::string& m : m_messages) {
            // The line end before a delimiter belongs to the delimiter.
            all += "--outer-batch\r\nContent-Type: message/rfc822\r\n\r\n" + m + "\r\n";
        }
        all += "--outer-batch--\r\n";
        m_expect.type(0, "multipart/mixed", true).parts(m_next);
        std::string index;
        for (const std::string& n : m_names) index += n + "\n";
        EXPECT_TRUE(pythonAgrees(all, m_expect, tag)) << "first entity of each message:\n" << index;
    }

  private:
    void expectNode(const Email2& e, const std::string& text) {
        int me = m_next++;
        std::string type = e.contentType().isEmpty() ? "text/plain" : str(e.contentType());
        m_expect.type(me, type, e.numParts() > 0);
        for (uint32_t i = 0; i < e.numParts(); ++i) expectNode(*e.getPart(i), text);
        if (e.numParts()) return;
        if (e.isAttachment(false)) {
            m_expect.body(me, attachmentBytes());
        } else if (type == "text/html") {
            // The HTML goes out whole, declaring the charset it is sent in.
            std::string label = e.charset().getNameSb().isEmpty() ? "utf-8" : e.charset().getName();
            m_expect.text(
                me, "<html><head><META http-equiv=\"Content-Type\" content=\"text/html;charset=" +
                        label + "\"></head><body>" + htmlOf(text) + "</body></html>");
        } else {
            m_expect.text(me, text);
        }
    }

    Expect m_expect;
    int m_next = 1;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_names;
};

// One run per shape: every body in every charset, the composed message as
// rendered and as sent.
class BodyCharsets : public ::testing::TestWithParam<int> {};

TEST_P(BodyCharsets, EveryTextPartReadsAsTheHostsText) {
    const auto& shape = kShapes[GetParam()];
    Batch batch;
    for (const Text& body : kBodies) {
        for (const char* charset : kCharsets) {
            std::string name =
                std::string(shape.tag) + "/" + body.tag + "/" + (*charset ? charset : "auto");
            ClsEmail e;
            compose(e, shape.shape, body.utf8, charset);
            Email2& tree = treeOf(e);
            std::string direct = render(tree);
            batch.add(name + " rendered", direct, tree, body.utf8);
            Tree copy;
            std::string sent = sendText(tree, copy);
            ASSERT_TRUE(copy) << name;
            batch.add(name + " sent", sent, *copy, body.utf8);
        }
    }
    batch.check(shape.tag);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BodyCharsets,
                         ::testing::Range(0, static_cast<int>(std::size(kShapes))),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kShapes[info.param].tag);
                         });

// The charset chosen for a text carries all of it, or is utf-8.
TEST(AutomaticCharset, CarriesTheWholeTextElseUtf8) {
    const struct {
        const char* text;
        unsigned codePage;
    } rows[] = {
        {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 28595},
        // An em dash is not in iso-8859-5.
        {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x80\x94 end", 65001},
        {"\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1", 28597},
        // U+0370 counts as Greek but is not in iso-8859-7.
        {"\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7 \xCD\xB0", 65001},
        {"Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87", 28592},
        // An n with tilde is not in iso-8859-2.
        {"Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 ma\xC3\xB1", 65001},
        {"\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF", 932},
        // A full-width tilde: shift_jis readers would see a wave dash.
        {"\xE3\x81\x8B \xEF\xBD\x9E", 65001},
        {"\xE4\xB8\xAD\xE6\x96\x87", 936},
        // In GBK, not in gb2312.
        {"\xE5\x9C\x8B\xE8\xAA\x9E", 65001},
        {"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", 949},
        // Beyond KS X 1001.
        {"\xEB\x98\xA0\xEB\xB0\xA9", 65001},
        {"\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", 28598},
        // Thai: readers do not know the name "windows-874".
        {"\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1", 65001},
    };
    for (const auto& row : rows) {
        ClsEmail e;
        XString body = utf8(row.text);
        e.put_Body(body);
        EXPECT_EQ(treeOf(e).charset().getCodePage(), row.codePage) << row.text;
        ClsEmail s;
        XString subject = utf8(row.text);
        s.put_Subject(subject);
        EXPECT_EQ(treeOf(s).charset().getCodePage(), row.codePage) << row.text;
    }
}

// Files that the extension table calls message/rfc822 go as bytes: a
// message/* part could only be 7bit or 8bit text, which no file's bytes are
// sure to survive.
TEST(MessageFileAttachments, TravelAsTheirBytes) {
    // Bare line ends, a NUL, 8-bit bytes, a line over 998 octets, a lone dot.
    std::string mht =
        "From: <Saved by a browser>\nSubject: page\n"
        "Content-Type: multipart/related; boundary=\"b\"\n\n"
        "--b\r\nContent-Type: text/html\r\n\r\n<p>\xE9\xFF"s +
        '\0' + std::string(1200, 'x') + "</p>\r\n.\r\n--b--\rlone CR\n";
    for (const char* name : {"page.mht", "page.MHTML", "news.nws"}) {
        ClsEmail e;
        XString body = utf8("see the page");
        e.put_Body(body);
        std::string path = ::testing::TempDir() + name;
        writeFileUtf8(path, mht);
        XString p = utf8(path.c_str());
        StringBuffer type;
        ASSERT_TRUE(e.AddFileAttachment(p, type)) << name;
        EXPECT_EQ(str(type), "application/octet-stream") << name;
        Tree copy;
        std::string sent = sendText(treeOf(e), copy);
        ASSERT_TRUE(copy) << name;
        if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
        Expect x;
        x.parts(3).type(2, "application/octet-stream", false).body(2, mht).filename(2, name);
        EXPECT_TRUE(pythonAgrees(sent, x, "mht")) << sent;
    }
    // Also when the caller names the type.
    Tree e(Email2::createNewEmail());
    std::string path = ::testing::TempDir() + "named.eml";
    writeFileUtf8(path, mht);
    StringBuffer type;
    LogNull log;
    ASSERT_TRUE(e->addFileAttachment(path.c_str(), "message/rfc822", type, log));
    EXPECT_EQ(str(type), "application/octet-stream");
    EXPECT_EQ(str(e->getPart(1)->transferEncoding()), "base64");
}

// Unencoded bodies go with CR LF line ends whatever they hold; a multipart
// without a boundary gets one.
TEST(SentText, LineEndsAndBoundariesReadersCanTrust) {
    for (const char* encoding : {"7bit", "8bit"}) {
        Tree e = parse(
            std::string("Subject: x\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: ") +
            encoding + "\r\n\r\none\ntwo\rthree\r\n\n");
        ASSERT_TRUE(e);
        Tree copy;
        std::string sent = sendText(*e, copy);
        EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), "one\r\ntwo\r\nthree\r\n\r\n")
            << encoding;
        if (pythonEmailAvailable()) {
            EXPECT_TRUE(pythonAgrees(sent, Expect().parts(1), "line_ends")) << sent;
        }
    }
    Tree m(Email2::createNewEmail());
    m->setBody("text", 4, false);
    m->convertToMixed();
    m->setContentType("multipart/mixed", "", "", "", nullptr, "", "", "");
    ASSERT_TRUE(m->boundary().isEmpty());
    Tree copy;
    std::string sent = sendText(*m, copy);
    ASSERT_TRUE(copy);
    EXPECT_FALSE(copy->boundary().isEmpty());
    if (pythonEmailAvailable()) {
        EXPECT_TRUE(pythonAgrees(
            sent, Expect().parts(2).type(0, "multipart/mixed", true).text(1, "text"), "boundary"))
            << sent;
    }
}

}  // namespace
