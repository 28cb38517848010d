#include "mime/email2.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/log_base.h"
#include "mime_test_support.h"

using mimetest::str;

namespace {

std::vector<std::string> names(const Email2& e) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < e.header().numFields(); ++i) out.push_back(str(e.header().fieldAt(i)->name()));
    return out;
}

std::string field(const Email2& e, const char* name) {
    StringBuffer v;
    if (!e.getHeaderField(name, v)) return "<none>";
    return str(v);
}

using Tree = std::unique_ptr<Email2>;
Tree newEmail() { return Tree(Email2::createNewEmail()); }

// Whether text has the shape of pattern, where 'h' stands for a lower-case
// hex digit and every other character for itself.
bool shaped(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (pattern[i] == 'h' ? !hex : c != pattern[i]) return false;
    }
    return true;
}

TEST(NewEmail, HeaderOrderAndDefaults) {
    Tree e = newEmail();
    EXPECT_EQ(names(*e), (std::vector<std::string>{"MIME-Version", "Date", "Message-ID", "Content-Type",
                                                   "Content-Transfer-Encoding", "X-Mailer", "X-Priority"}));
    EXPECT_EQ(field(*e, "mime-version"), "1.0");
    EXPECT_EQ(field(*e, "Content-Type"), "text/plain");
    EXPECT_EQ(field(*e, "content-transfer-encoding"), "7bit");
    EXPECT_EQ(field(*e, "X-Priority"), "3 (Normal)");
    std::string id = field(*e, "Message-ID");
    ASSERT_GT(id.size(), 51u);
    EXPECT_TRUE(shaped(id.substr(0, 50), "<BRENVIK-MID-hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh@")) << id;
    EXPECT_EQ(id.back(), '>');
    EXPECT_GE(e->date().year, 2024);
    EXPECT_EQ(e->charset().getCodePage(), 0u);

    Tree inner(Email2::createInnerPart());
    EXPECT_EQ(names(*inner), (std::vector<std::string>{"Content-Type", "Content-Transfer-Encoding"}));
}

TEST(NewEmail, ResettingMovesAFieldToTheEnd) {
    Tree e = newEmail();
    e->setHeaderField("Subject", "one");
    e->setHeaderField("X-Other", "x");
    e->setHeaderField("SUBJECT", "two\r\n three");
    std::vector<std::string> n = names(*e);
    EXPECT_EQ(n.back(), "SUBJECT");
    EXPECT_EQ(std::count(n.begin(), n.end(), "Subject"), 0);
    EXPECT_EQ(field(*e, "subject"), "two three");
    e->setHeaderField("Subject", "  ");  // blank: removed, not stored
    EXPECT_EQ(field(*e, "Subject"), "<none>");
    std::string before = field(*e, "Message-ID");
    e->generateMessageId();
    EXPECT_NE(field(*e, "Message-ID"), before);
    EXPECT_EQ(names(*e).back(), "Message-ID");
}

TEST(HeaderFields, StoredDecodedUnfoldedAndMerged) {
    MimeHeader h;
    h.replaceField("Subject", "=?iso-8859-1?Q?Gr=FC=DFe?= aus =?utf-8?B?S8O2bG4=?=");
    StringBuffer v;
    ASSERT_TRUE(h.getField("subject", v));
    EXPECT_EQ(str(v), "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln");
    h.replaceField("Content-Type", "multipart/mixed;\r\n\tboundary=\"b\";\r\n name=\"x\"");
    h.getField("Content-Type", v);
    EXPECT_EQ(str(v), "multipart/mixed;boundary=\"b\";name=\"x\"");
    h.addField("To", "a@x.example");
    h.addField("X", "1");
    h.addField("to", "b@x.example");
    h.mergeFields("TO");
    h.getField("to", v);
    EXPECT_EQ(str(v), "a@x.example,b@x.example");
    EXPECT_EQ(h.numFields(), 4u);  // Subject, Content-Type, To, X
    h.addField("User-Agent", "ua");
    EXPECT_TRUE(h.fieldAt(h.numFields() - 1)->noFold());
    h.removeField("x");
    EXPECT_FALSE(h.hasField("X"));
}

TEST(HeaderFields, ContentFieldsAreBuiltWithTheirParameters) {
    Tree e = newEmail();
    e->setContentType("application/pdf", "a.pdf", "", "", nullptr, "", "", "");
    EXPECT_EQ(field(*e, "Content-Type"), "application/pdf;name=\"a.pdf\"");
    Charset utf8;
    utf8.setByCodePage(65001);
    e->setContentType("text/plain", "", "", "", &utf8, "", "", "");
    EXPECT_EQ(field(*e, "Content-Type"), "text/plain; charset=\"utf-8\"");
    e->setContentType("multipart/related", "", "", "", nullptr, "BND", "", "text/html");
    EXPECT_EQ(field(*e, "Content-Type"), "multipart/related; type=\"text/html\";boundary=\"BND\"");
    EXPECT_EQ(e->charset().getCodePage(), 65001u);  // not written for multipart, still kept
    e->setContentType("application/pkcs7-mime", "s.p7m", "", "", &utf8, "", "", "");
    e->setContentType("", "", "p", "sha1", nullptr, "", "enveloped-data", "");
    EXPECT_EQ(field(*e, "content-type"),
              "application/pkcs7-mime;protocol=\"p\";micalg=sha1;smime-type=enveloped-data");
    e->setContentDisposition("attachment", "r.pdf");
    EXPECT_EQ(field(*e, "Content-Disposition"), "attachment; filename=\"r.pdf\"");
    e->removeHeaderField("content-type");
    EXPECT_EQ(e->charset().getCodePage(), 0u);
    EXPECT_TRUE(e->contentType().isEmpty());
}

TEST(HeaderFields, AttachmentTest) {
    Tree e(Email2::createInnerPart());
    e->setContentType("text/plain", "", "", "", nullptr, "", "", "");
    EXPECT_FALSE(e->isAttachment(true));
    e->setContentDisposition("inline", nullptr);
    e->setContentType("image/png", "", "", "", nullptr, "", "", "");
    EXPECT_FALSE(e->isAttachment(false));
    EXPECT_TRUE(e->isAttachment(true));
    e->setContentDisposition("", nullptr);
    e->setContentType("image/png", "p.png", "", "", nullptr, "", "", "");
    e->setContentTransferEncoding("base64");
    EXPECT_TRUE(e->isAttachment(false));
    e->setContentType("message/rfc822", "", "", "", nullptr, "", "", "");
    e->setContentDisposition("attachment", "m.eml");
    EXPECT_FALSE(e->isAttachment(false));
    e->setContentDisposition("attachment", "M.MHT");
    EXPECT_TRUE(e->isAttachment(false));
}

TEST(Recipients, ListsAndTheirFields) {
    Tree e = newEmail();
    EXPECT_FALSE(e->addTo("Nobody", ""));
    EXPECT_EQ(field(*e, "To"), "<none>");
    EXPECT_TRUE(e->addTo("Ann Lee", "ann@x.example"));
    EXPECT_TRUE(e->addTo("", "bob@x.example"));
    EXPECT_EQ(field(*e, "To"), "\"Ann Lee\" <ann@x.example>, bob@x.example");
    EXPECT_TRUE(e->addCc("", "c@x.example"));
    EXPECT_TRUE(e->addBcc("Hidden", "h@x.example"));
    EXPECT_EQ(field(*e, "cc"), "c@x.example");
    EXPECT_EQ(field(*e, "Bcc"), "<none>");
    LogNull log;
    EXPECT_EQ(e->addToList("=?utf-8?Q?D=C3=B6e_J?= <d@x.example>, e@x.example", log), 2);
    EXPECT_EQ(e->numTo(), 4u);
    EXPECT_EQ(str(e->getTo(2)->address()), "d@x.example");
    StringBuffer name;
    e->getTo(2)->getName(name);
    EXPECT_EQ(str(name), "D\xC3\xB6" "e J");
    EXPECT_EQ(field(*e, "To"),
              "\"Ann Lee\" <ann@x.example>, bob@x.example, \"D\xC3\xB6" "e J\" <d@x.example>, e@x.example");
    EXPECT_EQ(e->addBccList("z@x.example", log), 1);
    EXPECT_EQ(e->numBcc(), 2u);
    e->removeHeaderField("TO");
    EXPECT_EQ(e->numTo(), 0u);
    e->clearCc();
    EXPECT_EQ(field(*e, "Cc"), "<none>");
    EXPECT_EQ(e->numCc(), 0u);
    e->clearBcc();
    EXPECT_EQ(e->numBcc(), 0u);
}

TEST(Sender, FromReturnPathAndEnvelope) {
    Tree e = newEmail();
    StringBuffer env;
    e->getEnvelopeFrom(env);
    EXPECT_TRUE(env.isEmpty());
    e->setFromAddress("not an address");
    EXPECT_EQ(field(*e, "From"), "<none>");
    e->setFromAddress("alice@x.example");
    EXPECT_EQ(field(*e, "From"), "alice@x.example");
    EXPECT_EQ(field(*e, "Return-Path"), "alice@x.example");
    e->setFromAddress("alice2@x.example");  // Return-Path stays as first set
    EXPECT_EQ(field(*e, "Return-Path"), "alice@x.example");
    e->getEnvelopeFrom(env);
    EXPECT_EQ(str(env), "alice@x.example");

    e->setHeaderField("Return-Path", "<bounce@x.example>");
    e->setHeaderField("From", "Carol <carol@x.example>");
    EXPECT_EQ(field(*e, "From"), "\"Carol\" <carol@x.example>");
    e->getEnvelopeFrom(env);
    EXPECT_EQ(str(env), "bounce@x.example");
    e->removeHeaderField("Return-Path");
    e->getEnvelopeFrom(env);
    EXPECT_EQ(str(env), "carol@x.example");
    e->removeHeaderField("from");
    e->setHeaderField("Reply-To", "R\xC3\xA9my <r@x.example>");
    EXPECT_EQ(field(*e, "Reply-To"), "\"R\xC3\xA9my\" <r@x.example>");
    e->getEnvelopeFrom(env);
    EXPECT_EQ(str(env), "\"R\xC3\xA9my\" r@x.example");  // the whole field, brackets dropped
}

TEST(Identifiers, BoundaryShape) {
    StringBuffer a, b;
    Email2::generateBoundary(a);
    Email2::generateBoundary(b);
    EXPECT_EQ(a.length(), 40u);
    EXPECT_TRUE(shaped(str(a), "-----_brenvik_hhh_hhhh_hhhhhhhh.hhhhhhhh")) << str(a);
    EXPECT_NE(str(a), str(b));
}

}  // namespace
