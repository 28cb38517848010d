// Copies made by rendering and reading back, rendering to a stream, and
// the stability of render -> parse -> render for every shape.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime/mime_output.h"
#include "mime_oracle.h"

using namespace mimetest;

namespace {

using Tree = std::unique_ptr<Email2>;

void attach(Email2& e, const std::string& fileName, const std::string& bytes) {
    std::string path = ::testing::TempDir() + fileName;
    writeFileUtf8(path, bytes);
    LogNull log;
    StringBuffer type;
    ASSERT_TRUE(e.addFileAttachment(path.c_str(), nullptr, type, log));
}

void body(Email2& e, const std::string& s, bool html = false) {
    LogNull log;
    if (html)
        e.setHtmlBody(s.data(), static_cast<uint32_t>(s.size()), log);
    else
        e.setBody(s.data(), static_cast<uint32_t>(s.size()), false);
}

std::string allBytes() {
    std::string s;
    for (int i = 0; i < 512; ++i) s.push_back(static_cast<char>(i * 7));
    return s;
}

// Every shape the tree operations make.
std::vector<std::pair<const char*, std::function<Tree()>>> shapes() {
    return {
        {"plain", [] {
             Tree e(Email2::createNewEmail());
             body(*e, "Hello.\r\n");
             return e;
         }},
        {"latin", [] {
             Tree e(Email2::createNewEmail());
             e->setHeaderField("Subject", "Gr\xC3\xBC\xC3\x9F" "e, \xD0\x96 und mehr Text f\xC3\xBCr die L\xC3\xA4nge");
             e->addTo("Zo\xC3\xAB, Smith", "zoe@example.com");
             e->addCc("", "cc@example.com");
             e->setFrom("\"J\xC3\xBCrgen\" <j@example.de>");
             body(*e, "Gr\xC3\xBC\xC3\x9F" "e\r\n");
             return e;
         }},
        {"mixed", [] {
             Tree e(Email2::createNewEmail());
             e->addTo("A", "a@example.com");
             body(*e, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\n");
             attach(*e, "all.bin", allBytes());
             attach(*e, "R\xC3\xA9sum\xC3\xA9 \xC3\x9C" "bersicht der Ergebnisse.pdf", "%PDF");
             attach(*e, "n.txt", "text\nwith bare line ends\r");
             return e;
         }},
        {"alternative", [] {
             Tree e(Email2::createNewEmail());
             body(*e, "caf\xC3\xA9");
             e->convertToAlternative();
             body(*e, "<b>caf\xC3\xA9</b>", true);
             return e;
         }},
        {"nested", [] {
             Tree e(Email2::createNewEmail());
             body(*e, "plain");
             e->convertToAlternative();
             body(*e, "<i>html</i>", true);
             attach(*e, "x.gif", "GIF89a");
             return e;
         }},
    };
}

TEST(Clone, RendersIdenticallyAndKeepsBcc) {
    for (auto& [name, make] : shapes()) {
        Tree e = make();
        e->addBcc("Hidden", "hidden@example.com");
        e->addBcc("", "other@example.com");
        std::string first = render(*e, nullptr);
        std::string second = render(*e, nullptr);
        ASSERT_EQ(first, second) << name << ": rendering must not keep changing the tree";
        LogNull log;
        Tree copy(e->clone(log));
        ASSERT_TRUE(copy) << name;
        EXPECT_EQ(render(*copy, nullptr), first) << name;
        EXPECT_EQ(render(*copy, "BVX-"), render(*e, "BVX-")) << name;
        ASSERT_EQ(copy->numBcc(), 2u) << name;
        EXPECT_EQ(str(copy->getBcc(0)->address()), "hidden@example.com");
        EXPECT_EQ(str(copy->getBcc(0)->name()), "Hidden");
        EXPECT_EQ(str(copy->getBcc(1)->address()), "other@example.com");
        EXPECT_EQ(first.find("hidden@example.com"), std::string::npos) << "Bcc never shows in the text";
        EXPECT_EQ(copy->numTo(), e->numTo()) << name;
        EXPECT_EQ(copy->numCc(), e->numCc()) << name;
        StringBuffer a, b;
        e->getEnvelopeFrom(a);
        copy->getEnvelopeFrom(b);
        EXPECT_EQ(str(a), str(b)) << name;

        // The copy is independent of the original.
        e->setHeaderField("Subject", "changed");
        EXPECT_EQ(render(*copy, nullptr), first) << name;
    }
}

TEST(Clone, RenderParseRenderIsStableForForeignText) {
    const char* related =
        "MIME-Version: 1.0\r\nSubject: =?iso-8859-2?Q?=F5r?=\r\n"
        "Content-Type: multipart/related; type=\"text/html\"; boundary=\"r\"\r\n\r\n"
        "--r\r\nContent-Type: text/html; charset=\"iso-8859-2\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "<html><head></head><body>=F5</body></html>\r\n"
        "--r\r\nContent-Type: image/gif\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\nR0lGODlh\r\n"
        "--r--\r\n";
    Tree e = parse(related);
    ASSERT_TRUE(e);
    std::string once = render(*e, nullptr);
    Tree again = parse(once);
    ASSERT_TRUE(again);
    EXPECT_EQ(render(*again, nullptr), once);
    EXPECT_NE(once.find("Subject: =?iso-8859-2?Q?=F5r?="), std::string::npos) << once;
}

class Collector : public MimeOutput {
  public:
    explicit Collector(int failAt = -1) : m_failAt(failAt) {}
    bool writeBytes(const void* bytes, uint32_t n) override {
        ++calls;
        if (calls == m_failAt) return false;
        text.append(static_cast<const char*>(bytes), n);
        return true;
    }
    std::string text;
    int calls = 0;

  private:
    int m_failAt;
};

TEST(RenderStream, SameTextInPiecesAndStopsAtFirstFailure) {
    for (auto& [name, make] : shapes()) {
        Tree e = make();
        std::string whole = render(*e);
        Collector c;
        StringBuffer scratch;
        LogNull log;
        ASSERT_TRUE(e->assembleMime(scratch, &c, "BVX-", log)) << name;
        EXPECT_EQ(c.text, whole) << name;
        EXPECT_EQ(scratch.length(), 0u) << "the buffer is untouched when a stream is given";
        if (c.calls < 2) continue;
        for (int failAt = 1; failAt <= c.calls; ++failAt) {
            Collector f(failAt);
            StringBuffer s2;
            EXPECT_FALSE(e->assembleMime(s2, &f, "BVX-", log)) << name;
            EXPECT_EQ(f.calls, failAt) << name << ": no write after the failed one";
            EXPECT_EQ(f.text, whole.substr(0, f.text.size()));
        }
    }
}

TEST(RenderStream, LargeBodiesArriveInBoundedPieces) {
    Tree e(Email2::createNewEmail());
    body(*e, "x");
    attach(*e, "big.bin", std::string(300000, '\x7f'));
    struct Sizes : MimeOutput {
        uint32_t largest = 0;
        std::string text;
        bool writeBytes(const void* b, uint32_t n) override {
            largest = std::max(largest, n);
            text.append(static_cast<const char*>(b), n);
            return true;
        }
    } s;
    StringBuffer scratch;
    LogNull log;
    ASSERT_TRUE(e->assembleMime(scratch, &s, nullptr, log));
    EXPECT_LE(s.largest, 64u * 1024u);
    EXPECT_EQ(s.text, render(*e, nullptr));
}

}  // namespace
