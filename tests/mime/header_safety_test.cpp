// Hostile and awkward header text through every path that builds a header
// (file names, subjects, custom fields, display names, Reply-To, foreign
// text), rendered, read by Python's email package and by our own parser.
// Nothing may add a header line, quoted strings keep their quotes and
// backslashes, folding adds no white space, no encoded word is longer than
// 75 characters, and multipart/related says its root type.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime_oracle.h"
#include "text/charset.h"
#include "text/encoding_convert.h"

using namespace mimetest;

namespace {

using Tree = std::unique_ptr<Email2>;

// Temporary files of this run, apart from those of other runs at the same time.
const std::string& runTag() {
    static const std::string tag =
        "hs" + std::to_string(std::random_device{}() ^
                              static_cast<unsigned>(
                                  std::chrono::steady_clock::now().time_since_epoch().count()));
    return tag;
}

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// The fields the engine always writes; every other field must be one the
// host set.
bool alwaysWritten(const std::string& name) {
    static const std::set<std::string> kFixed = {"mime-version", "date",       "message-id",
                                                 "x-mailer",     "x-priority", "return-path"};
    std::string n = lowerCase(name);
    return kFixed.count(n) || n.rfind("content-", 0) == 0;
}

// Python's view of every entity: "F index name" per field, "P index key
// hexvalue" per Content-Type parameter.
const char* kFieldLister = R"py(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], "rb").read(), policy=email.policy.default)
for k, part in enumerate(msg.walk()):
    for name in part.keys():
        print("F", k, name)
    ct = part["content-type"]
    for key, value in (ct.params.items() if ct is not None else ()):
        print("P", k, key, value.encode("utf-8").hex() or "-")
)py";

struct PythonView {
    std::vector<std::pair<int, std::string>> fields;
    std::vector<std::tuple<int, std::string, std::string>> params;
};

PythonView pythonView(const std::string& message) {
    PythonView view;
    std::string dir = ::testing::TempDir();
    std::string script = dir + runTag() + "_fields.py", msg = dir + runTag() + ".eml";
    std::ofstream(script) << kFieldLister;
    std::ofstream(msg, std::ios::binary)
        .write(message.data(), static_cast<std::streamsize>(message.size()));
    std::string out = dir + runTag() + ".out";
    std::string cmd = "python3 \"" + script + "\" \"" + msg + "\" > \"" + out + "\"";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind, key, hex;
        int index = 0;
        in >> kind >> index >> key;
        if (kind == "F") view.fields.emplace_back(index, key);
        if (kind == "P" && in >> hex) view.params.emplace_back(index, lowerCase(key), fromHex(hex));
    }
    lines.close();
    std::remove(out.c_str());
    std::remove(script.c_str());
    std::remove(msg.c_str());
    return view;
}

// Every field our own parser finds, in every entity.
void ourFieldNames(const Email2& e, std::vector<std::string>& out) {
    for (uint32_t i = 0; i < e.header().numFields(); ++i)
        out.push_back(str(e.header().fieldAt(i)->name()));
    for (uint32_t i = 0; i < e.numParts(); ++i) ourFieldNames(*e.getPart(i), out);
}

// Every encoded word in the text and the longest line that holds one.
void checkEncodedWords(const std::string& text, const std::string& tag) {
    std::string header = text.substr(0, text.find("\r\n\r\n"));
    for (size_t at = header.find("=?"); at != std::string::npos; at = header.find("=?", at + 2)) {
        size_t q1 = header.find('?', at + 2);
        size_t q2 = q1 == std::string::npos ? q1 : header.find('?', q1 + 1);
        size_t end = q2 == std::string::npos ? q2 : header.find("?=", q2 + 1);
        if (end == std::string::npos || q2 != q1 + 2) continue;
        EXPECT_LE(end + 2 - at, 75u) << tag << ": " << header.substr(at, end + 2 - at);
        at = end;
    }
}

const Email2* attachmentOf(const Email2& e) {
    if (!e.filename().isEmpty()) return &e;
    for (uint32_t i = 0; i < e.numParts(); ++i) {
        if (const Email2* a = attachmentOf(*e.getPart(i))) return a;
    }
    return nullptr;
}

// What the host gave and what every reader must read back.
struct Case {
    const char* label;
    std::function<void(Email2&)> build;
    std::vector<std::pair<std::string, std::string>> headers;  // decoded value of a field
    std::vector<std::tuple<std::string, std::string, std::string>>
        firstAddress;             // field, name, address
    std::string filename;         // of the one attachment, when there is one
    std::set<std::string> asked;  // fields the host set (lower case)
};

void attachFile(Email2& e, const std::string& name) {
    std::string dir = ::testing::TempDir() + runTag() + "/";
    std::filesystem::create_directories(dir);
    writeFileUtf8(dir + name, "file bytes\x01\x02");
    LogNull log;
    StringBuffer type;
    ASSERT_TRUE(e.addFileAttachment((dir + name).c_str(), "application/octet-stream", type, log))
        << name;
}

Tree message(const Case& c, const char* charset) {
    Tree e(Email2::createNewEmail());
    const char* body = "Body text.\r\n";
    e->setBody(body, static_cast<uint32_t>(std::strlen(body)), false);
    c.build(*e);
    if (charset) {
        Charset cs;
        cs.setByName(charset);
        e->setCharset(cs);
    }
    return e;
}

// Windows keeps these characters out of file names (and takes "\\" for a
// separator): such cases run where the file can exist.
bool fileCanExist(const std::string& name) {
#ifdef _WIN32
    return name.find_first_of("<>:\"/\\|?*\r\n") == std::string::npos;
#else
    (void)name;
    return true;
#endif
}

// Renders the case, then: no field the host did not ask for (Python and
// our parser), every value as given (Python and our parser, after the
// send path's clone), no defects, lines and words within their limits.
void check(const Case& c, const char* charset = nullptr) {
    if (!fileCanExist(c.filename)) return;
    std::string tag = std::string(c.label) + (charset ? std::string(" / ") + charset : "");
    Tree e = message(c, charset);
    std::string text = render(*e);
    checkEncodedWords(text, tag);

    LogNull log;
    Tree copy(e->clone(log));
    ASSERT_TRUE(copy) << tag;
    std::vector<std::string> ours;
    ourFieldNames(*copy, ours);
    for (const std::string& n : ours)
        EXPECT_TRUE(alwaysWritten(n) || c.asked.count(lowerCase(n)))
            << tag << ": our parser reads a field " << n;
    for (auto& [name, value] : c.headers) {
        StringBuffer v;
        EXPECT_TRUE(copy->getHeaderField(name.c_str(), v)) << tag << ": " << name;
        EXPECT_EQ(str(v), value) << tag << ": " << name;
    }
    for (auto& [field, name, address] : c.firstAddress) {
        StringBuffer v;
        copy->getHeaderField(field.c_str(), v);
        ExtPtrArray list;
        Rfc822Address::parseAddressList(v.getString(), list, false, log);
        ASSERT_GE(list.count(), 1u) << tag << ": " << field;
        StringBuffer got;
        list.at<Rfc822Address>(0)->getName(got);
        EXPECT_EQ(str(got), name) << tag << ": " << field;
        EXPECT_EQ(str(list.at<Rfc822Address>(0)->address()), address) << tag << ": " << field;
        list.deleteAll();
    }
    if (!c.filename.empty()) {
        const Email2* a = attachmentOf(*copy);
        ASSERT_TRUE(a) << tag;
        EXPECT_EQ(str(a->filename()), c.filename) << tag;
        EXPECT_EQ(str(a->nameParam()), c.filename) << tag;
    }

    if (!pythonEmailAvailable()) return;
    for (auto& [index, name] : pythonView(text).fields)
        EXPECT_TRUE(alwaysWritten(name) || c.asked.count(lowerCase(name)))
            << tag << ": Python reads a field " << name << " in part " << index;
    Expect x;
    for (auto& [name, value] : c.headers) x.header(0, name, value);
    for (auto& [field, name, address] : c.firstAddress) x.addr(0, field, 0, name, address);
    if (!c.filename.empty()) x.filename(2, c.filename);  // message, body, attachment
    EXPECT_TRUE(pythonAgrees(text, x, runTag().c_str())) << tag << "\n" << text.substr(0, 3000);
}

std::function<void(Email2&)> subject(const std::string& s) {
    return [s](Email2& e) { e.setHeaderField("Subject", s.c_str()); };
}
std::function<void(Email2&)> file(const std::string& name) {
    return [name](Email2& e) { attachFile(e, name); };
}
std::function<void(Email2&)> to(const std::string& name, const std::string& address) {
    return [name, address](Email2& e) { e.addTo(name.c_str(), address.c_str()); };
}

const std::string kInjectWord = "=?utf-8?Q?=0D=0AX-Injected:_yes?=";

// Fault: a CR LF that came out of a decoded word (or was given outright)
// started a line of its own in the parameter writer.
TEST(HeaderSafety, NothingAddsAHeaderLine) {
    const std::vector<Case> cases = {
        {"file name with a word that decodes to CR LF",
         file("\xC3\xA9\";a=?utf-8?Q?=0D=0AX-Injected:_yes?==b.bin"),
         {},
         {},
         "\xC3\xA9\";a=?utf-8?Q?=0D=0AX-Injected:_yes?==b.bin",
         {}},
        {"ASCII file name with such a word",
         file("a" + kInjectWord + ".bin"),
         {},
         {},
         "a" + kInjectWord + ".bin",
         {}},
        {"file name with CR LF",
         file("a\r\nX-Injected: yes.bin"),
         {},
         {},
         "aX-Injected: yes.bin",
         {}},
        {"subject",
         subject("Re: " + kInjectWord + " end"),
         {{"Subject", "Re: X-Injected: yes end"}},
         {},
         "",
         {"subject"}},
        {"custom value",
         [](Email2& e) { e.setHeaderField("X-Custom", ("a " + kInjectWord).c_str()); },
         {{"X-Custom", "a X-Injected: yes"}},
         {},
         "",
         {"x-custom"}},
        {"custom name",
         [](Email2& e) { e.setHeaderField("X-Custom\r\nX-Injected", "yes"); },
         {},
         {},
         "",
         {}},
        {"Reply-To name",
         [](Email2& e) { e.setHeaderField("Reply-To", (kInjectWord + " <r@x.example>").c_str()); },
         {},
         {{"Reply-To", "X-Injected: yes", "r@x.example"}},
         "",
         {"reply-to"}},
        {"To name from a word",
         to(kInjectWord, "t@x.example"),
         {},
         {{"To", "X-Injected: yes", "t@x.example"}},
         "",
         {"to"}},
        {"To name with CR LF",
         to("Eve\r\nX-Injected: yes", "t@x.example"),
         {},
         {{"To", "EveX-Injected: yes", "t@x.example"}},
         "",
         {"to"}},
        {"From",
         [](Email2& e) { e.setFrom(("\"" + kInjectWord + "\" <f@x.example>").c_str()); },
         {},
         {{"From", "X-Injected: yes", "f@x.example"}},
         "",
         {"from", "return-path"}},
    };
    for (const Case& c : cases) check(c);
}

// Foreign text whose parameter names and values decode to CR LF (next to
// an 8-bit value, so each parameter is written on its own): our reader
// keeps them inside their field, and so does the copy we send.
TEST(HeaderSafety, ForeignTextCannotInjectThroughTheCopy) {
    const std::string foreign =
        "MIME-Version: 1.0\r\nSubject: =?utf-8?Q?a=0D=0AX-Injected:_1?=\r\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain; =?utf-8?Q?x=0D=0AX-Injected:_2?==1; "
        "a=\"\xC3\xA9\"\r\n\r\nhi\r\n"
        "--b\r\nContent-Type: application/octet-stream; name==?utf-8?Q?=0D=0AX-Injected:_3?=\r\n"
        "Content-Disposition: attachment; "
        "filename=\"=?utf-8?Q?=0D=0AX-Injected:_4?=\"\r\n\r\nx\r\n--b--\r\n";
    Tree e = parse(foreign);
    ASSERT_TRUE(e);
    LogNull log;
    Tree copy(e->clone(log));
    ASSERT_TRUE(copy);
    std::string text = render(*copy);
    std::vector<std::string> ours;
    ourFieldNames(*copy, ours);
    for (const std::string& n : ours) EXPECT_TRUE(alwaysWritten(n) || n == "Subject") << n;
    // Whatever else a reader makes of it, no line starts a field of its own.
    for (size_t at = text.find("X-Injected"); at != std::string::npos;
         at = text.find("X-Injected", at + 1))
        EXPECT_FALSE(at >= 2 && text.compare(at - 2, 2, "\r\n") == 0) << text;
    if (!pythonEmailAvailable()) return;
    for (auto& [index, name] : pythonView(text).fields)
        EXPECT_TRUE(alwaysWritten(name) || name == "Subject")
            << name << " in part " << index << "\n"
            << text;
}

// Fault: '"' and '\' went into quoted strings unescaped.
TEST(HeaderSafety, QuotedStringsKeepQuotesAndBackslashes) {
    const std::vector<Case> cases = {
        {"file name with a quote", file("quote\"d.txt"), {}, {}, "quote\"d.txt", {}},
        {"file name with a backslash", file("back\\slash.txt"), {}, {}, "back\\slash.txt", {}},
        {"file name with both", file("\\\"x\\\\\".txt"), {}, {}, "\\\"x\\\\\".txt", {}},
        {"non-ASCII file name with both",
         file("\xC3\xA9 \"q\" \\ z.txt"),
         {},
         {},
         "\xC3\xA9 \"q\" \\ z.txt",
         {}},
        {"To name with quotes",
         to("John \"JJ\" Smith", "j@x.example"),
         {},
         {{"To", "John \"JJ\" Smith", "j@x.example"}},
         "",
         {"to"}},
        {"To name with a backslash",
         to("back\\slash", "b@x.example"),
         {},
         {{"To", "back\\slash", "b@x.example"}},
         "",
         {"to"}},
        {"non-ASCII To name with quote, comma and backslash",
         to("Zo\xC3\xAB \"Z\", \\ S", "z@x.example"),
         {},
         {{"To", "Zo\xC3\xAB \"Z\", \\ S", "z@x.example"}},
         "",
         {"to"}},
        {"From with an escaped quote",
         [](Email2& e) { e.setFrom("\"Ann \\\"A\\\" Lee\" <a@x.example>"); },
         {},
         {{"From", "Ann \"A\" Lee", "a@x.example"}},
         "",
         {"from", "return-path"}},
        {"To name with a semicolon",
         to("Smith; John", "s@x.example"),
         {},
         {{"To", "Smith; John", "s@x.example"}},
         "",
         {"to"}},
    };
    for (const Case& c : cases) check(c);
}

// Fault: folding after ";" or "," put a tab into unstructured text, and
// an over-long word was broken with one.
TEST(HeaderSafety, FoldingAddsNoWhiteSpace) {
    const std::string semicolon =
        "Quarterly figures for the northern region;see attachment for details";
    const std::string commas =
        "Minutes: ann@x.example, bob@x.example, carol@x.example, dave@x.example";
    const std::string longWord = repeat("x", 1200);
    const std::string longText = repeat("word ", 300) + "end";
    const std::vector<Case> cases = {
        {"semicolon", subject(semicolon), {{"Subject", semicolon}}, {}, "", {"subject"}},
        {"commas and at-signs", subject(commas), {{"Subject", commas}}, {}, "", {"subject"}},
        {"a word longer than a line",
         subject(longWord),
         {{"Subject", longWord}},
         {},
         "",
         {"subject"}},
        {"long text", subject(longText), {{"Subject", longText}}, {}, "", {"subject"}},
        {"custom field",
         [&](Email2& e) { e.setHeaderField("X-Note", semicolon.c_str()); },
         {{"X-Note", semicolon}},
         {},
         "",
         {"x-note"}},
        {"non-ASCII custom field with a semicolon",
         [](Email2& e) { e.setHeaderField("X-Note", "caf\xC3\xA9; a=b; second part"); },
         {{"X-Note", "caf\xC3\xA9; a=b; second part"}},
         {},
         "",
         {"x-note"}},
    };
    for (const Case& c : cases) check(c);
}

// Fault: encoded words of 17 Cyrillic letters are 114 characters long.
// The same values in every charset a host may choose. Display names that
// fit one word: Python keeps the blank between two words of a name, which
// RFC 2047 readers drop (our parser checks the long ones below).
TEST(HeaderSafety, EncodedWordsStayShortInEveryCharset) {
    const std::string russian = repeat("\xD0\x96\xD0\xB8\xD0\xB2\xD0\xBE\xD0\xB9 ", 8) +
                                "\xD0\xBA\xD0\xBE\xD0\xBD\xD0\xB5\xD1\x86";
    const std::string russianName =
        "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD \xD0\x9F\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2";
    // Kanji and kana that every Japanese and Chinese charset has.
    const std::string japanese = repeat(
        "\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88", 5);
    const std::string japaneseName =
        "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E\xE3\x81\x95\xE3\x82\x93";
    const std::string mixed =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x80\x94 " +
        repeat("\xE2\x82\xAC", 30) + " \xF0\x9F\x98\x80 end";
    const std::vector<Case> cases = {
        {"Russian",
         [&](Email2& e) {
             e.setHeaderField("Subject", russian.c_str());
             e.addTo(russianName.c_str(), "r@x.example");
             attachFile(e, russian + ".txt");
         },
         {{"Subject", russian}},
         {{"To", russianName, "r@x.example"}},
         russian + ".txt",
         {"subject", "to"}},
        {"Japanese",
         [&](Email2& e) {
             e.setHeaderField("Subject", japanese.c_str());
             e.addTo(japaneseName.c_str(), "j@x.example");
             attachFile(e, japanese + ".txt");
         },
         {{"Subject", japanese}},
         {{"To", japaneseName, "j@x.example"}},
         japanese + ".txt",
         {"subject", "to"}},
        {"mixed",
         [&](Email2& e) {
             e.setHeaderField("Subject", mixed.c_str());
             e.setHeaderField("X-Note", mixed.c_str());
             attachFile(e, mixed + ".txt");
         },
         {{"Subject", mixed}, {"X-Note", mixed}},
         {},
         mixed + ".txt",
         {"subject", "x-note"}},
    };
    for (const char* charset :
         {"utf-8", "iso-8859-1", "koi8-r", "shift_jis", "iso-2022-jp", "gb2312"}) {
        Charset cs;
        cs.setByName(charset);
        if (!cs.getCodePage() || !EncodingConvert::isSupported(cs.getCodePage())) continue;
        for (const Case& c : cases) check(c, charset);
    }
}

// Names too long for one word come back whole from our own reader, which
// joins adjacent words as RFC 2047 says.
TEST(HeaderSafety, LongDisplayNamesReadBackWhole) {
    const std::string names[] = {
        repeat("\xD0\x96\xD0\xB8\xD0\xB2\xD0\xBE\xD0\xB9 ", 12) + "\xD0\xBA",
        repeat("\xE6\x97\xA5\xE6\x9C\xAC", 40), repeat("Zo\xC3\xAB \"Z\" \\ ", 20) + "end"};
    for (const std::string& name : names) {
        Tree e(Email2::createNewEmail());
        e->addTo(name.c_str(), "n@x.example");
        std::string text = render(*e);
        checkEncodedWords(text, name);
        Tree back = parse(text);
        ASSERT_TRUE(back);
        ASSERT_EQ(back->numTo(), 1u) << text;
        StringBuffer got;
        back->getTo(0)->getName(got);
        EXPECT_EQ(str(got), name) << text;
    }
}

// Fault: multipart/related went out without its "type" (RFC 2387).
TEST(HeaderSafety, RelatedCarriesItsType) {
    const std::string related =
        "MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=\"r\"\r\n\r\n"
        "--r\r\nContent-Type: text/html\r\n\r\n<html><body><img src=\"cid:i\"></body></html>\r\n"
        "--r\r\nContent-Type: image/gif\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: "
        "base64\r\n\r\nR0lGODlh\r\n"
        "--r--\r\n";
    Tree e = parse(related);
    ASSERT_TRUE(e);
    attachFile(*e, "a.bin");  // the related root moves into a new multipart/mixed
    ASSERT_TRUE(e->isContentType("multipart/mixed"));
    ASSERT_TRUE(e->getPart(0)->isContentType("multipart/related"));
    EXPECT_EQ(str(e->getPart(0)->typeParam()), "text/html");
    std::string text = render(*e);
    LogNull log;
    Tree copy(e->clone(log));
    ASSERT_TRUE(copy);
    EXPECT_EQ(str(copy->getPart(0)->typeParam()), "text/html");
    if (!pythonEmailAvailable()) return;
    bool found = false;
    for (auto& [index, key, value] : pythonView(text).params) {
        if (index == 1 && key == "type") found = value == "text/html";
    }
    EXPECT_TRUE(found) << text.substr(0, 1500);
}

}  // namespace
