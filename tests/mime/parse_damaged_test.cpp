// loadMime on damaged and hostile text: what survives, and that nothing
// reads out of bounds or runs away (run under the sanitizer build too).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>
#include <string>

#include "diag/log_base.h"
#include "diag/logger.h"
#include "mime/mime_message.h"
#include "mime_oracle.h"

using namespace mimetest;

namespace {

std::string field(const Email2& e, const char* name) {
    StringBuffer v;
    return e.getHeaderField(name, v) ? str(v) : "<none>";
}

int depthOf(const Email2& e) {
    int d = 0;
    for (uint32_t i = 0; i < e.numParts(); ++i) d = std::max(d, depthOf(*e.getPart(i)));
    return d + 1;
}

TEST(ParseDamaged, EverySeparatorVariantEndsTheHeader) {
    const char* variants[] = {"\r\n\r\n", "\r\n\r\r\n", "\r\n\r", "\n\r\n"};
    for (const char* sep : variants) {
        auto e = parse(std::string("Subject: s\r\nX-A: 1") + sep + "body");
        ASSERT_TRUE(e);
        EXPECT_EQ(field(*e, "Subject"), "s") << sep;
        EXPECT_EQ(field(*e, "X-A"), "1");
        EXPECT_EQ(str(e->body()), "body");
    }
    // Unix line ends throughout.
    auto lf = parse("Subject: s\nX-A: 1\n\nline1\nline2");
    ASSERT_TRUE(lf);
    EXPECT_EQ(field(*lf, "X-A"), "1");
    EXPECT_EQ(str(lf->body()), "line1\r\nline2");
    // Doubled CRs, and old Mac line ends.
    auto crcr = parse("Subject: s\r\r\nX-A: 1\r\r\n\r\r\nbody");
    ASSERT_TRUE(crcr);
    EXPECT_EQ(field(*crcr, "X-A"), "1");
    EXPECT_EQ(str(crcr->body()), "body");
    auto mac = parse("Subject: s\rX-A: 1\r\rbody");
    ASSERT_TRUE(mac);
    EXPECT_EQ(field(*mac, "X-A"), "1");
    EXPECT_EQ(str(mac->body()), "body");
}

TEST(ParseDamaged, HeaderOnlyHeaderlessAndGarbageLines) {
    auto h = parse("Subject: only a header\r\nX-B: 2\r\n");
    ASSERT_TRUE(h);
    EXPECT_EQ(field(*h, "X-B"), "2");
    EXPECT_EQ(h->body().size(), 0u);

    auto b = parse("\r\nJust a body\r\n");
    ASSERT_TRUE(b);
    EXPECT_EQ(field(*b, "Content-Type"), "text/plain");
    EXPECT_EQ(str(b->body()), "Just a body\r\n");

    auto g = parse("From someone Mon Jan  1 00:00:00 2024\r\nSubject: s\r\nnot a field\r\n: no name\r\n"
                   "Bad Name: x\r\n\tcontinued\r\nX-C: 3\r\n folded\r\n\r\nbody");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->header().numFields(), 2u);
    EXPECT_EQ(field(*g, "Subject"), "s");
    EXPECT_EQ(field(*g, "X-C"), "3 folded");
}

TEST(ParseDamaged, TheTwentyMillionByteRule) {
    Logger log;
    std::string big(MimeMessage2::kMaxSeparatorless + 1, 'a');
    Email2* none = Email2::createFromMime(big.data(), static_cast<uint32_t>(big.size()), log);
    EXPECT_EQ(none, nullptr);
    StringBuffer text;
    log.GetText(text);
    EXPECT_NE(str(text).find("This is not MIME."), std::string::npos);
    big.pop_back();
    auto ok = parse(big);
    EXPECT_TRUE(ok);
    // With a separator, size does not matter.
    auto sep = parse("X: 1\r\n\r\n" + big);
    ASSERT_TRUE(sep);
    EXPECT_EQ(sep->body().size(), big.size());
}

const char* kMultipartHead = "Content-Type: multipart/mixed; boundary=\"bnd\"\r\n\r\npreamble\r\n";

TEST(ParseDamaged, MultipartWithoutFinalOrAnyDeclaredBoundary) {
    auto e = parse(std::string(kMultipartHead) + "--bnd\r\nX-P: 1\r\n\r\none\r\n--bnd\r\nX-P: 2\r\n\r\ntwo\r\n");
    ASSERT_TRUE(e);
    ASSERT_EQ(e->numParts(), 2u);
    EXPECT_EQ(str(e->getPart(0)->body()), "one");
    EXPECT_EQ(str(e->getPart(1)->body()), "two\r\n");

    // A boundary that only occurs as a prefix of a longer line is no
    // delimiter.
    auto p = parse(std::string(kMultipartHead) + "--bnd\r\n\r\n--bndX\r\n--bnd--\r\n");
    ASSERT_TRUE(p);
    ASSERT_EQ(p->numParts(), 1u);
    EXPECT_EQ(str(p->getPart(0)->body()), "--bndX");

    auto guessed = parse("Content-Type: multipart/mixed\r\n\r\n--zz\r\n\r\na\r\n--zz\r\n\r\nb\r\n--zz--\r\n");
    ASSERT_TRUE(guessed);
    ASSERT_EQ(guessed->numParts(), 2u);
    EXPECT_EQ(str(guessed->boundary()), "zz");
    EXPECT_NE(render(*guessed).find("boundary=\"zz\""), std::string::npos);

    // No delimiter at all: the text stays as the body.
    auto flat = parse("Content-Type: multipart/mixed; boundary=q\r\n\r\nnothing here");
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->numParts(), 0u);
    EXPECT_EQ(str(flat->body()), "nothing here");
}

TEST(ParseDamaged, TruncatedEncodingsAndNulBytes) {
    auto b = parse("Content-Transfer-Encoding: base64\r\n\r\nSGVsbG8gd29y");
    ASSERT_TRUE(b);
    EXPECT_EQ(str(b->body()), "Hello wor");
    auto b2 = parse("Content-Transfer-Encoding: base64\r\n\r\nSGVsbG8");
    ASSERT_TRUE(b2);
    EXPECT_EQ(str(b2->body()), "Hello");
    auto q = parse("Content-Transfer-Encoding: quoted-printable\r\n\r\nabc=4");
    ASSERT_TRUE(q);
    EXPECT_EQ(str(q->body()), "abc=4");
    auto q2 = parse("Content-Transfer-Encoding: quoted-printable\r\n\r\nabc=");
    ASSERT_TRUE(q2);
    EXPECT_EQ(str(q2->body()), "abc=");

    std::string withNul("Subject: a\0b\r\nX-D: 4\r\n\r\nbo\0dy", 29);
    auto n = parse(withNul);
    ASSERT_TRUE(n);
    EXPECT_EQ(field(*n, "Subject"), "a");
    EXPECT_EQ(field(*n, "X-D"), "4");
    EXPECT_EQ(str(n->body()), std::string("bo\0dy", 5));
}

TEST(ParseDamaged, DeepNestingIsCapped) {
    std::string text;
    const int levels = 2000;
    for (int i = 0; i < levels; ++i)
        text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
                std::to_string(i) + "\r\n";
    text += "Content-Type: text/plain\r\n\r\ndeep";
    auto e = parse(text);
    ASSERT_TRUE(e);
    int d = depthOf(*e);
    EXPECT_LE(d, MimeMessage2::kMaxDepth + 1);
    EXPECT_GE(d, MimeMessage2::kMaxDepth);
    // What lies below the cap is kept as text, and renders again.
    std::string out = render(*e);
    EXPECT_NE(out.find("deep"), std::string::npos);
}

TEST(ParseDamaged, HugeHeadersAndPartCountsAreBounded) {
    std::string many;
    for (int i = 0; i < 120000; ++i) many += "X-F: v\r\n";
    many += "\r\nbody";
    auto start = std::chrono::steady_clock::now();
    auto e = parse(many);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->header().numFields(), MimeMessage2::kMaxFields);

    std::string parts(kMultipartHead);
    for (int i = 0; i < 40000; ++i) parts += "--bnd\r\n";
    auto p = parse(parts);
    ASSERT_TRUE(p);
    EXPECT_LT(p->numParts(), MimeMessage2::kMaxEntities);

    // Many "=?" with no end must not be searched again and again.
    std::string words = "Subject: ";
    for (int i = 0; i < 200000; ++i) words += "=?a?Q?x";
    auto w = parse(words + "\r\n\r\n");
    ASSERT_TRUE(w);
    std::string qs = "Subject: ";
    for (int i = 0; i < 200000; ++i) qs += "=?abc";
    auto w2 = parse(qs + "\r\n\r\n");
    ASSERT_TRUE(w2);
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 30.0);
}

TEST(ParseDamaged, ParametersAndRfc2231Names) {
    auto e = parse(
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: application/pdf; name*=utf-8''R%C3%A9sum%C3%A9.pdf\r\n"
        "Content-Disposition: attachment; filename*0*=iso-8859-1''R%E9; filename*1*=sum%E9;\r\n"
        " filename*2=\".pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nAAE=\r\n"
        "--b\r\nContent-Type: text/plain; charset=\"ISO-8859-1\"; format=flowed\r\n"
        "Content-Disposition: inline; filename=\"a \\\"q\\\" b.txt\"\r\n\r\ncaf\xE9\r\n"
        "--b--\r\n");
    ASSERT_TRUE(e);
    ASSERT_EQ(e->numParts(), 2u);
    const Email2* pdf = e->getPart(0);
    EXPECT_EQ(str(pdf->nameParam()), "R\xC3\xA9sum\xC3\xA9.pdf");
    EXPECT_EQ(str(pdf->filename()), "R\xC3\xA9sum\xC3\xA9.pdf");
    EXPECT_EQ(str(pdf->disposition()), "attachment");
    EXPECT_EQ(str(pdf->body()), std::string("\x00\x01", 2));
    const Email2* txt = e->getPart(1);
    EXPECT_EQ(txt->charset().getCodePage(), 28591u);
    EXPECT_TRUE(txt->formatFlowed());
    EXPECT_EQ(str(txt->filename()), "a \"q\" b.txt");
    EXPECT_EQ(str(txt->body()), "caf\xC3\xA9");  // held as UTF-8
}

TEST(ParseDamaged, EncodedAddressNamesKeepTheirCommas) {
    auto e = parse("From: =?utf-8?Q?M=C3=BCller=2C_Hans?= <h@example.de>\r\n"
                   "To: =?iso-8859-1?Q?Zo=EB=2C_S?= <z@example.com>; b@example.com\r\n"
                   "To: c@example.com\r\n"
                   "Subject: =?koi8-r?B?8NLJ18XU?=\r\n\r\nx");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->numTo(), 3u);
    EXPECT_EQ(field(*e, "To"), "\"Zo\xC3\xAB, S\" <z@example.com>, b@example.com,c@example.com");
    EXPECT_EQ(field(*e, "From"), "\"M\xC3\xBCller, Hans\" <h@example.de>");
    StringBuffer from;
    e->getFromAddress(from);
    EXPECT_EQ(str(from), "h@example.de");
    EXPECT_EQ(e->header().codePage(), 65001u);
}

TEST(ParseDamaged, AttachmentOnlyMessageBecomesMixed) {
    auto e = parse("Content-Type: application/zip; name=\"a.zip\"\r\nContent-Disposition: attachment; "
                   "filename=\"a.zip\"\r\nContent-Transfer-Encoding: base64\r\n\r\nUEsDBA==\r\n");
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->isContentType("multipart/mixed"));
    EXPECT_TRUE(e->boundary().endsWith("_.MIX"));
    ASSERT_EQ(e->numParts(), 2u);
    EXPECT_TRUE(e->getPart(0)->isContentType("text/plain"));
    EXPECT_EQ(e->getPart(0)->body().size(), 0u);
    const Email2* a = e->getPart(1);
    EXPECT_EQ(str(a->contentType()), "application/zip");
    EXPECT_EQ(str(a->filename()), "a.zip");
    EXPECT_EQ(str(a->disposition()), "attachment");
    EXPECT_EQ(str(a->body()), "PK\x03\x04");
    EXPECT_EQ(field(*e, "Content-Disposition"), "<none>");
}

TEST(ParseDamaged, PlainAndHtmlInMixedBecomeAlternatives) {
    const std::string two = std::string(kMultipartHead) +
                            "--bnd\r\nContent-Type: text/plain\r\n\r\np\r\n--bnd\r\nContent-Type: text/html\r\n\r\n"
                            "<p>h</p>\r\n--bnd--\r\n";
    auto e = parse(two);
    ASSERT_TRUE(e);
    EXPECT_EQ(str(e->contentType()), "multipart/alternative");
    EXPECT_EQ(e->numParts(), 2u);

    const std::string three = std::string(kMultipartHead) +
                              "--bnd\r\nContent-Type: text/plain\r\n\r\np\r\n--bnd\r\nContent-Type: image/png; "
                              "name=x.png\r\nContent-Disposition: attachment\r\n\r\nimg\r\n--bnd\r\n"
                              "Content-Type: text/html\r\n\r\n<p>h</p>\r\n--bnd--\r\n";
    auto m = parse(three);
    ASSERT_TRUE(m);
    EXPECT_EQ(str(m->contentType()), "multipart/mixed");
    ASSERT_EQ(m->numParts(), 2u);
    const Email2* alt = m->getPart(0);
    EXPECT_EQ(str(alt->contentType()), "multipart/alternative");
    ASSERT_EQ(alt->numParts(), 2u);
    EXPECT_EQ(str(alt->getPart(0)->contentType()), "text/plain");
    EXPECT_EQ(str(alt->getPart(1)->contentType()), "text/html");
    EXPECT_EQ(str(m->getPart(1)->contentType()), "image/png");
}

}  // namespace

namespace {

// A small deterministic fuzz loop over the seed corpus: cut, repeat and
// splice the seeds with the bytes that steer the parser. Meant for the
// sanitizer build; fuzz/load_mime_fuzz.cpp goes further.
TEST(ParseDamaged, MutatedSeedsNeverCrash) {
    // The corpus files, and a few of their kind in case the source tree
    // cannot be reached from where the test runs.
    std::vector<std::string> seeds = {
        std::string(kMultipartHead) + "--bnd\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--bnd--\r\n",
        "Subject: =?utf-8?Q?a?=\nTo: x@y; =?iso-8859-1?B?5Q==?= <z@w>\n\nbody\n"};
    for (const char* name : {"plain.eml", "mixed.eml", "nested.eml", "lf_words.eml", "crcr.eml", "guessed.eml"}) {
        std::ifstream f(std::string(SMTP_SOURCE_DIR) + "/fuzz/corpus/load_mime/" + name, std::ios::binary);
        std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!s.empty()) seeds.push_back(s);
    }
    ASSERT_GE(seeds.size(), 2u);
    const char* tokens[] = {"\r\n", "\n", "\r", "\r\n\r\n", "--b", "--b--", "--a\r\n", "=?", "?=", "?Q?",
                            "=?utf-8?B?", "\"", ";", "*0*=", "%", "=", "\t",
                            "Content-Type: multipart/mixed; boundary=b\r\n", "Content-Transfer-Encoding: base64\r\n",
                            "Content-Transfer-Encoding: quoted-printable\r\n", ":"};
    std::mt19937 rng(20240607);
    LogNull log;
    for (int round = 0; round < 3000; ++round) {
        std::string s = seeds[rng() % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < edits && !s.empty(); ++k) {
            size_t at = rng() % (s.size() + 1);
            switch (rng() % 5) {
                case 0: s.insert(at, tokens[rng() % (sizeof tokens / sizeof *tokens)]); break;
                case 1: s.resize(at); break;
                case 2: if (at < s.size()) s[at] = static_cast<char>(rng() & 0xFF); break;
                case 3: s.insert(at, s.substr(rng() % s.size(), rng() % 64)); break;
                default: s.erase(at, rng() % 16); break;
            }
        }
        Email2* e = Email2::createFromMime(s.data(), static_cast<uint32_t>(s.size()), log);
        ASSERT_NE(e, nullptr);
        StringBuffer out;
        e->assembleMime(out, nullptr, "BVX-", log);
        Email2* copy = e->clone(log);
        ASSERT_NE(copy, nullptr);
        delete copy;
        delete e;
    }
}

}  // namespace
