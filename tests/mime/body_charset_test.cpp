// Text bodies in every charset and shape (tests/data/mime/bodies.txt),
// composed as a host does, sent the way the mail manager sends (copy by
// render and parse, then render), and read back by Python's email package:
// every text part must decode to the text the host gave, every attachment
// to its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "mime/cls_email.h"
#include "mime_test_support.h"

using namespace mimetest;

namespace {

std::string attachmentBytes() {
    std::string s;
    for (int i = 0; i < 600; ++i) s.push_back(static_cast<char>(i * 13 + 1));
    return s;
}

// One run per shape: every body in every charset, the composed message as
// rendered and as sent, checked by one run of Python: each message travels
// as a message/rfc822 part of one container, whose walk() visits them in
// order.
class BodyCharsets : public ::testing::TestWithParam<const char*> {};

TEST_P(BodyCharsets, EveryTextPartReadsAsTheHostsText) {
    const std::string shape = GetParam();
    std::vector<std::string> charsets;
    std::vector<Line> bodies;
    for (const Line& l : readCases("bodies.txt")) {
        if (l.verb == "body") bodies.push_back(l);
        std::istringstream in(l.verb == "charsets" ? l[0] : "");
        for (std::string cs; in >> cs;) charsets.push_back(cs);
    }
    ASSERT_GT(bodies.size() * charsets.size(), 200u);
    // One file per shape: the shapes run as separate, parallel tests.
    XString file = xs(writeFileUtf8(tempName(shape + ".bin"), attachmentBytes()));
    Expect x;
    int next = 1;
    std::string all, names;
    // Its text leaves must read as the text, its attachment as the file's bytes.
    std::function<void(const Email2&, const std::string&)> expect = [&](const Email2& e,
                                                                        const std::string& text) {
        int me = next++;
        std::string type = e.contentType().isEmpty() ? "text/plain" : str(e.contentType());
        x.type(me, type, e.numParts() > 0);
        for (uint32_t i = 0; i < e.numParts(); ++i) expect(*e.getPart(i), text);
        if (e.numParts()) return;
        // The HTML goes out whole, declaring the charset it is sent in.
        std::string label = e.charset().getNameSb().isEmpty() ? "utf-8" : e.charset().getName();
        if (e.isAttachment(false))
            x.body(me, attachmentBytes());
        else if (type == "text/html")
            x.text(me,
                   "<html><head><META http-equiv=\"Content-Type\" content=\"text/html;charset=" +
                       label + "\"></head><body><p>" + text + "</p></body></html>");
        else
            x.text(me, text);
    };
    auto add = [&](const std::string& name, const std::string& message, const Email2& tree,
                   const std::string& text) {
        names += std::to_string(next) + " " + name + "\n";
        x.type(next++, "message/rfc822", true);
        expect(tree, text);
        // The line end before a delimiter belongs to the delimiter.
        all += "--outer-batch\r\nContent-Type: message/rfc822\r\n\r\n" + message + "\r\n";
    };
    for (const Line& body : bodies) {
        for (const std::string& charset : charsets) {
            const std::string name = shape + "/" + body[0] + "/" + charset, &text = body[1];
            // Composed through the e-mail object; the host's charset, if
            // any, is set last, as the plug-in does before it sends.
            ClsEmail e;
            bool created = false;
            XString plainText = xs(text), cs = xs(charset);
            const std::string htmlText = "<p>" + text + "</p>";
            StringBuffer type;
            std::string words = shape;
            std::replace(words.begin(), words.end(), '_', ' ');
            std::istringstream steps(words);
            for (std::string step; steps >> step;) {
                if (step == "plain") e.put_Body(plainText);
                if (step == "html") e.SetHtmlBody(htmlText.c_str(), true);
                if (step == "alternative") e.getEmailTree(created)->convertToAlternative();
                if (step == "attachment") {
                    ASSERT_TRUE(e.AddFileAttachment(file, type));
                }
            }
            if (charset != "auto") e.put_Charset(cs);
            Email2& tree = *e.getEmailTree(created);

            add(name + " rendered", render(tree), tree, text);
            // What the mail manager sends: a copy made by rendering and
            // parsing back, without Return-Path, rendered with the BVX- filter.
            auto copy = cloneOf(tree);
            ASSERT_TRUE(copy) << name;
            copy->removeHeaderField("Return-Path");
            add(name + " sent", render(*copy), *copy, text);
        }
    }
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    x.type(0, "multipart/mixed", true).parts(next);
    EXPECT_TRUE(
        pythonAgrees("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
                     "boundary=\"outer-batch\"\r\n\r\n" +
                         all + "--outer-batch--\r\n",
                     x, shape))
        << "first entity of each message:\n"
        << names;
}

// What the host composes, step by step: a plain body, an HTML one, both
// (either first), and an attachment after them.
INSTANTIATE_TEST_SUITE_P(Shapes, BodyCharsets,
                         ::testing::Values("plain", "html", "plain_alternative_html",
                                           "html_alternative_plain", "plain_attachment",
                                           "plain_alternative_html_attachment"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
