// The case files under tests/data/mime. Rows of values.txt and
// coding_vectors.txt (made by Python's own modules, make_vectors.py) give a
// function's inputs and what it returns; trees.txt, shapes.txt and
// header_safety.txt make, load, change, copy and render e-mail trees step by
// step, with what each step must leave and what Python's email package reads
// in the text we render; python_made.txt (make_messages.py) has messages
// Python's email package wrote and what it reads in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "diag/log_base.h"
#include "diag/logger.h"
#include "mime/cls_email.h"
#include "mime/content_coding.h"
#include "mime/date_parser.h"
#include "mime/email2.h"
#include "mime/html_help.h"
#include "mime/mime_header.h"
#include "mime/mime_message.h"
#include "mime/mime_output.h"
#include "mime/mime_types.h"
#include "mime/rfc822_address.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/hex.h"
#include "support/scratch.h"
#include "text/charset.h"
#include "text/data_buffer.h"
#include "text/encoding_convert.h"

namespace {

using testsupport::fromHex;
using testsupport::str;
using testsupport::toHex;
using testsupport::xs;
using Line = testsupport::CaseLine;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Writes a file whose name is UTF-8, as the engine reads names; a narrow
// std::string path would be taken as ANSI on Windows.
std::string writeFileUtf8(const std::string& path, const std::string& bytes) {
    std::ofstream f(std::filesystem::path(std::u8string(path.begin(), path.end())),
                    std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Every encoded word in the header of text is at most 75 characters long.
void expectShortWords(const std::string& text) {
    std::string header = text.substr(0, text.find("\r\n\r\n"));
    for (size_t at = header.find("=?"); at != std::string::npos; at = header.find("=?", at + 2)) {
        size_t q1 = header.find('?', at + 2);
        size_t q2 = q1 == std::string::npos ? q1 : header.find('?', q1 + 1);
        size_t end = q2 == std::string::npos ? q2 : header.find("?=", q2 + 1);
        if (end == std::string::npos || q2 != q1 + 2) continue;
        EXPECT_LE(end + 2 - at, 75u) << header.substr(at, end + 2 - at);
        at = end;
    }
}

std::string render(Email2& e, const char* prefix = "BVX-") {
    StringBuffer out;
    LogNull log;
    e.assembleMime(out, nullptr, prefix, log);
    return str(out);
}

std::unique_ptr<Email2> parse(const std::string& text) {
    LogNull log;
    return Email2::createFromMime(text.data(), static_cast<uint32_t>(text.size()), log);
}

std::unique_ptr<Email2> cloneOf(Email2& e) {
    LogNull log;
    return e.clone(log);
}

// The tree as text and back, as a reader of the sent text finds it; the Bcc
// list, which the text does not carry, is copied over.
std::unique_ptr<Email2> roundTrip(Email2& e) {
    LogNull log;
    StringBuffer text;
    if (!e.assembleMime(text, nullptr, nullptr, log)) return nullptr;
    std::unique_ptr<Email2> back = Email2::createFromMime(text.getString(), text.length(), log);
    for (uint32_t i = 0; back && i < e.numBcc(); ++i)
        back->addBcc(e.getBcc(i)->name().getString(), e.getBcc(i)->address().getString());
    return back;
}

// A temporary file name of this run, apart from those of other runs of the
// tests at the same time.
std::string tempName(const std::string& name) {
    static const std::string tag = std::to_string(
        std::random_device{}() ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return ::testing::TempDir() + "mime_" + tag + "_" + name;
}

bool pythonEmailAvailable() {
    static const bool have = std::system("python3 -c \"import email.policy\"") == 0;
    return have;
}

// Runs a script of tests/data/mime on the given files; true for exit 0.
bool runPython(const std::string& script, const std::vector<std::string>& files,
               const std::string& redirect = "") {
    std::string cmd = "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/" + script + "\"";
    for (const std::string& f : files) cmd += " \"" + f + "\"";
    return std::system((cmd + redirect).c_str()) == 0;
}

// The expectation lines for check_mime.py, values in hex.
struct Expect {
    std::string str;
    Expect& line(const std::string& kind, int i, const std::string& rest = "") {
        str += kind + " " + std::to_string(i) + (rest.empty() ? "" : " " + rest) + "\n";
        return *this;
    }
    Expect& parts(int n) { return line("PARTS", n); }
    Expect& type(int i, const std::string& t, bool m) { return line("TYPE", i, t + " " + "01"[m]); }
    Expect& body(int i, const std::string& bytes) { return line("BODY", i, toHex(bytes)); }
    Expect& text(int i, const std::string& utf8) { return line("TEXT", i, toHex(utf8)); }
    Expect& filename(int i, const std::string& utf8) { return line("FILENAME", i, toHex(utf8)); }
    Expect& header(int i, const std::string& n, const std::string& v) {
        return line("HEADER", i, n + " " + toHex(v));
    }
};

// True when Python reads the message as expected (check_mime.py); on failure
// Python's findings go to the test log, and the files stay for a look.
bool pythonAgrees(const std::string& message, const Expect& expect, const std::string& tag) {
    const std::string msg = writeFileUtf8(tempName(tag + ".eml"), message);
    const std::string exp = writeFileUtf8(tempName(tag + ".txt"), expect.str);
    const bool ok = runPython("check_mime.py", {msg, exp});
    if (ok) {
        std::remove(msg.c_str());
        std::remove(exp.c_str());
    }
    return ok;
}

// Python's view of a message (list_fields.py): the fields of every entity,
// or the Content-Type parameters, as (entity, name, value).
std::vector<std::tuple<int, std::string, std::string>> pythonView(const std::string& message,
                                                                  bool params) {
    std::vector<std::tuple<int, std::string, std::string>> view;
    if (!pythonEmailAvailable()) return view;
    const std::string msg = writeFileUtf8(tempName("view.eml"), message), out = msg + ".out";
    EXPECT_TRUE(runPython("list_fields.py", {msg}, " > \"" + out + "\""));
    std::ifstream lines(out);
    std::string kind, key, hex;
    for (int index = 0; lines >> kind >> index >> key;) {
        if (kind == "P") lines >> hex;
        if ((kind == "P") == params) view.emplace_back(index, key, fromHex(hex));
    }
    lines.close();
    std::remove(out.c_str());
    std::remove(msg.c_str());
    return view;
}

using Tree = std::unique_ptr<Email2>;

std::string dir() {
    return tempName("trees");
}

std::string field(const Email2& e, const std::string& name) {
    StringBuffer v;
    return e.getHeaderField(name.c_str(), v) ? str(v) : "<none>";
}

std::string nameAddr(const Rfc822Address* a) {
    StringBuffer name;
    if (!a) return "<none>";
    a->getName(name);
    return str(name) + (name.isEmpty() ? "<" : " <") + str(a->address()) + ">";
}

std::string showTime(const SystemTime& t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d w%d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.dayOfWeek);
    return buf;
}

std::string utc(const char* text) {
    SystemTime t;
    return DateParser::parseRfc822Date(text, t) ? showTime(t) : "fail";
}

// Our encoders: base64 in lines, quoted-printable, Q word text.
std::string encode(const std::string& kind, const std::string& in) {
    ContentCoding cc;
    cc.setAddressField(kind == "qword-address");
    StringBuffer out;
    const auto n = static_cast<uint32_t>(in.size());
    bool ok = kind == "b64l" ? cc.encodeBase64Lines(in.data(), n, out)
              : kind == "qp" ? cc.encodeQuotedPrintable(in.data(), n, out)
                             : (cc.encodeQWord(in.data(), n, out), true);
    EXPECT_TRUE(ok) << kind;
    return str(out);
}

std::string write(const std::string& name, const std::string& value, unsigned cp) {
    MimeField f;
    f.set(name.c_str(), value.c_str());
    StringBuffer out;
    f.write(out, cp);
    return str(out);
}

// Lines of at most 998 octets, CR only before LF and LF only after CR.
void expectTransportSafe(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        bool paired = text[i] == '\r' ? text.compare(i + 1, 1, "\n") == 0
                                      : text[i] != '\n' || (i > 0 && text[i - 1] == '\r');
        EXPECT_TRUE(paired) << "bare CR or LF at " << i;
    }
    for (size_t at = 0, end = 0; at < text.size(); at = end + 2) {
        end = std::min(text.find("\r\n", at), text.size());
        EXPECT_LE(end - at, 998u);
    }
    expectShortWords(text);
}

// What a row of values.txt or coding_vectors.txt computes from its inputs.
std::string rowValue(const Line& l) {
    const std::string &v = l.verb, &in = l[0];
    auto size = static_cast<uint32_t>(in.size());
    StringBuffer out;
    DataBuffer bytes;
    LogNull log;
    if (v == "b64l" || v == "qp" || v.rfind("qword", 0) == 0) return encode(v, in);
    if (v == "base64") return ContentCoding::encodeBase64(in.data(), size, out), str(out);
    if (v == "unbase64") return ContentCoding::decodeBase64(in.data(), size, bytes), str(bytes);
    if (v == "unqp")
        return ContentCoding::decodeQuotedPrintable(in.data(), size, bytes), str(bytes);
    if (v == "words") return ContentCoding::decodeEncodedWords(in.c_str(), out), str(out);
    if (v == "hword") return encodeHeaderWord(in.c_str(), l[1].c_str(), out), str(out);
    if (v == "date") return utc(in == "<null>" ? nullptr : in.c_str());
    if (v == "extension-table") return std::to_string(numExtensionRows());
    if (v == "now") {
        DateParser::currentDateRfc822(out);
        const bool ok =
            std::regex_match(str(out), std::regex(in)) && utc(out.getString()) != "fail";
        return ok ? "reads back" : str(out);
    }
    if (v == "skeleton") return out.append(in.c_str()), HtmlHelp::ensureSkeleton(out), str(out);
    if (v == "extension")
        return contentTypeForExtension(in.c_str()) ? contentTypeForExtension(in.c_str()) : "-";
    if (v == "words-cp") {
        unsigned cp = 0;
        ContentCoding::decodeEncodedWords(in.c_str(), out, &cp);
        return std::to_string(cp);
    }
    if (v == "datefmt") {
        std::istringstream s(in);
        int a[8] = {};
        for (int& x : a) s >> x;
        DateParser::formatRfc822(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], out);
        return str(out);
    }
    if (v.rfind("write", 0) == 0) {
        std::string text = write(in, l[2], static_cast<unsigned>(l.num(1)));
        expectTransportSafe(text);
        if (v == "write-safe") return "";
        if (v == "write-unfolded") return text.find("\r\n") == std::string::npos ? "" : text;
        return text;
    }
    if (v == "address" || v == "pair") {
        std::unique_ptr<Rfc822Address> a(v == "pair"
                                             ? new Rfc822Address(in.c_str(), l[1].c_str())
                                             : Rfc822Address::parseAddress(in.c_str(), log));
        if (!a) return "-";
        a->format(out);
        std::string source = v == "pair" ? str(a->sourceText()) + " | " : "";
        return str(a->name()) + " | " + str(a->address()) + " | " + source + str(out);
    }
    if (v == "addresses") {
        // The second list goes into the same array, duplicates skipped.
        ExtPtrArray list;
        std::string got =
            std::to_string(Rfc822Address::parseAddressList(in.c_str(), list, false, log));
        got +=
            " | " + std::to_string(Rfc822Address::parseAddressList(l[1].c_str(), list, true, log));
        got += " | ";
        for (uint32_t i = 0; i < list.count(); ++i)
            got += (i ? "; " : "") + nameAddr(list.at<Rfc822Address>(i));
        list.deleteAll();
        return got;
    }
    if (v == "meta") {
        StringBuffer doc(in.c_str());
        HtmlHelp::readMetaCharset(in.c_str(), out);
        HtmlHelp::removeMetaCharset(doc);
        std::string got = str(out) + " | " + str(doc);
        HtmlHelp::insertMetaCharset(doc, "utf-8");
        HtmlHelp::readMetaCharset(doc.getString(), out);
        return got + (str(out) == "utf-8" ? "" : " | inserted " + str(out));
    }
    if (v == "choose") {
        std::string got[2];
        for (int subject = 0; subject < 2; ++subject) {
            ClsEmail e;
            XString text = xs(in);
            subject ? e.put_Subject(text) : e.put_Body(text);
            bool created = false;
            got[subject] = std::to_string(e.getEmailTree(created)->charset().getCodePage());
        }
        return got[0] + (got[0] == got[1] ? "" : " subject " + got[1]);
    }
    return "unknown verb " + v;
}

// A row: what rowValue() computes, against the arguments after its inputs
// ("*": not checked). False when the row does not apply here.
bool checkRow(const Line& l) {
    size_t inputs = l.verb.rfind("write", 0) == 0                                    ? 3
                    : l.verb == "hword" || l.verb == "pair" || l.verb == "addresses" ? 2
                                                                                     : 1;
    if (l.verb == "python" || (inputs == 3 && l.num(1) && !EncodingConvert::isSupported(l.num(1))))
        return false;
    std::string expected, got = rowValue(l);
    for (size_t i = inputs, at = 0; i < l.args.size(); ++i) {
        expected += (i > inputs ? " | " : "") + l[i];
        if (l[i] == "*") got.replace(at, std::min(got.find(" | ", at), got.size()) - at, "*");
        size_t sep = got.find(" | ", at);
        at = sep == std::string::npos ? got.size() : sep + 3;
    }
    EXPECT_EQ(got, expected);
    return true;
}

// The fields the engine always writes; every other field must be one the
// host set.
bool alwaysWritten(const std::string& name) {
    static const std::set<std::string> kFixed = {"mime-version", "date",       "message-id",
                                                 "x-mailer",     "x-priority", "return-path"};
    return kFixed.count(lower(name)) || lower(name).rfind("content-", 0) == 0;
}

void fieldNames(const Email2& e, std::vector<std::string>& out) {
    for (uint32_t i = 0; i < e.header().numFields(); ++i)
        out.push_back(str(e.header().fieldAt(i)->name()));
    for (uint32_t i = 0; i < e.numParts(); ++i) fieldNames(*e.getPart(i), out);
}

const Email2* attachmentOf(const Email2& e) {
    if (!e.filename().isEmpty()) return &e;
    for (uint32_t i = 0; i < e.numParts(); ++i)
        if (const Email2* a = attachmentOf(*e.getPart(i))) return a;
    return nullptr;
}

// The attachment of the bodies of BodyCharsets.
std::string attachmentBytes() {
    std::string s;
    for (int i = 0; i < 600; ++i) s.push_back(static_cast<char>(i * 13 + 1));
    return s;
}

// Expectations for every entity in Python's walk() order. Given the host's
// text, a text leaf must read as that text (the HTML sent whole, declaring
// the charset it is sent in) and an attachment as attachmentBytes();
// without it a leaf decodes to its stored text in its own charset.
// Text with each line break (CR LF, a lone CR, a lone LF) as CR LF: how a
// text body goes on the wire.
std::string crlfLines(const std::string& t) {
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\r' || t[i] == '\n') {
            out += "\r\n";
            if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ++i;
        } else {
            out += t[i];
        }
    }
    return out;
}

void expectTree(const Email2& e, Expect& x, int& index, const std::string* text = nullptr) {
    int me = index++;
    std::string type = lower(e.contentType().isEmpty() ? "text/plain" : str(e.contentType()));
    x.type(me, type, e.numParts() > 0);
    if (!e.filename().isEmpty()) x.filename(me, str(e.filename()));
    for (uint32_t i = 0; i < e.numParts(); ++i) expectTree(*e.getPart(i), x, index, text);
    if (e.numParts()) return;
    std::string label = e.charset().getNameSb().isEmpty() ? "utf-8" : e.charset().getName();
    if (text && e.isAttachment(false)) return (void)x.body(me, attachmentBytes());
    if (text && type == "text/html")
        return (void)x.text(
            me, "<html><head><META http-equiv=\"Content-Type\" content=\"text/html;charset=" +
                    label + "\"></head><body><p>" + crlfLines(*text) + "</p></body></html>");
    if (text) return (void)x.text(me, crlfLines(*text));
    unsigned cp = e.charset().getCodePage();
    std::string body = str(e.body());
    if (e.isContentType("text/") && !e.isAttachment(false)) body = crlfLines(body);
    DataBuffer converted;
    if (cp && cp != 65001 && e.isContentType("text/")) {
        EncodingConvert().convert(65001, cp, body.data(), static_cast<uint32_t>(body.size()),
                                  converted);
        body = str(converted);
    }
    x.body(me, body);
}

struct Collector : MimeOutput {
    int failAt = -1, calls = 0;
    uint32_t largest = 0;
    std::string text;
    bool writeBytes(const void* bytes, uint32_t n) override {
        largest = std::max(largest, n);
        if (++calls == failAt) return false;
        text.append(static_cast<const char*>(bytes), n);
        return true;
    }
};

bool isStart(const std::string& verb) {
    return verb == "new" || verb == "inner" || verb == "parse" || verb == "cls" || verb == "refuse";
}

class Steps {
  public:
    explicit Steps(std::string tag) : m_tag(std::move(tag)) {}
    bool skipped() const { return m_skip; }

    void run(const Line& l) {
        const std::string& v = l.verb;
        if (v == "refuse") {
            // Text the parser must refuse, saying why in the log.
            Logger log;
            EXPECT_FALSE(
                Tree(Email2::createFromMime(l[0].data(), static_cast<uint32_t>(l[0].size()), log)));
            StringBuffer text;
            log.GetText(text);
            EXPECT_NE(str(text).find(l[1]), std::string::npos) << str(text);
        } else if (isStart(v)) {
            m_cls.reset(v == "cls" ? new ClsEmail : nullptr);
            m_tree = v == "new" ? Email2::createNewEmail() : nullptr;
            if (v == "inner") m_tree = Email2::createInnerPart();
            if (v == "parse") m_tree = parse(l[0]);
            ASSERT_TRUE(m_cls || m_tree);
        } else if (v == "at") {
            std::istringstream in(l[0]);
            m_path.clear();
            for (int i; in >> i;) m_path.push_back(i);
        } else if (v[0] == '?') {
            check(l, v.substr(1), node());
        } else if (std::isupper(static_cast<unsigned char>(v[0]))) {
            object(l, v, l[0]);
        } else {
            step(l, v, l[0], node());
        }
    }

  private:
    Email2& root() {
        if (!m_cls) return *m_tree;
        bool created = true;
        Email2* t = m_cls->getEmailTree(created);
        EXPECT_FALSE(created);
        return *t;
    }
    Email2& node() {
        Email2* n = &root();
        for (int i : m_path) n = n->getPart(static_cast<uint32_t>(i));
        return *n;
    }
    template <class T, class U>
    static void same(const T& got, const U& want, const std::string& why = "") {
        EXPECT_EQ(got, want) << why;
    }
    static bool yes(const Line& l, size_t i) { return l.args.size() <= i || l[i] == "1"; }
    static unsigned num(const Line& l, size_t i) { return static_cast<unsigned>(l.num(i)); }

    void step(const Line& l, const std::string& v, const std::string& a, Email2& n) {
        const auto size = static_cast<uint32_t>(a.size());
        Charset cs;
        if (v == "set" || v == "to" || v == "from") m_asked.insert(v == "set" ? lower(a) : v);
        if (v == "from") m_asked.insert("return-path");
        if (v == "set") return n.setHeaderField(a.c_str(), l[1].c_str());
        if (v == "remove") return n.removeHeaderField(a.c_str());
        if (v == "body" || v == "html-body") return n.setBody(a.data(), size, v != "body");
        if (v == "html") return n.setHtmlBody(a.data(), size, m_log);
        if (v == "alternative") return (void)n.convertToAlternative();
        if (v == "mixed") return n.convertToMixed();
        if (v == "wrap-related") return n.wrapRelatedInMixed();
        if (v == "add-alternative") return n.addAlternative(nullptr);
        if (v == "disposition")
            return n.setContentDisposition(a.c_str(), l.args.size() > 1 ? l[1].c_str() : nullptr);
        if (v == "transfer-encoding") return n.setContentTransferEncoding(a.c_str());
        if (v == "to") return same(n.addTo(a.c_str(), l[1].c_str()), yes(l, 2));
        if (v == "cc") return same(n.addCc(a.c_str(), l[1].c_str()), yes(l, 2));
        if (v == "bcc") return same(n.addBcc(a.c_str(), l[1].c_str()), yes(l, 2));
        if (v == "to-list") return same(n.addToList(a.c_str(), m_log), l.num(1));
        if (v == "bcc-list") return same(n.addBccList(a.c_str(), m_log), l.num(1));
        if (v == "clear-cc") return n.clearCc();
        if (v == "clear-bcc") return n.clearBcc();
        if (v == "from") return n.setFrom(a.c_str());
        if (v == "from-address") return n.setFromAddress(a.c_str());
        if (v == "date") return n.setDate(a.c_str());
        if (v == "header-code-page") return n.header().setCodePage(num(l, 0));
        if (v == "header-replace") return n.header().replaceField(a.c_str(), l[1].c_str());
        if (v == "header-add") return n.header().addField(a.c_str(), l[1].c_str());
        if (v == "header-merge") return n.header().mergeFields(a.c_str());
        if (v == "header-remove") return n.header().removeField(a.c_str());
        if (v == "round-trip") return (void)(m_tree = roundTrip(root()), m_cls.reset());
        if (v == "content-type") {
            if (!l[4].empty()) cs.setByCodePage(num(l, 4));
            n.setContentType({.type = a.c_str(),
                              .name = l[1].c_str(),
                              .protocol = l[2].c_str(),
                              .micalg = l[3].c_str(),
                              .charset = l[4].empty() ? nullptr : &cs,
                              .boundary = l[5].c_str(),
                              .smimeType = l[6].c_str(),
                              .typeParam = l[7].c_str()});
        } else if (v == "html-charset" || v == "charset") {
            v == "charset" ? cs.setByName(a.c_str()) : cs.setByCodePage(num(l, 0));
            m_skip = !cs.getCodePage() || !EncodingConvert::isSupported(cs.getCodePage());
            v == "charset" ? n.setCharset(cs) : n.setHtmlCharset(cs);
        } else if (v == "new-message-id") {
            std::string before = field(n, "Message-ID");
            n.generateMessageId();
            EXPECT_NE(field(n, "Message-ID"), before);
        } else if (v == "attach") {
#ifdef _WIN32
            // Windows keeps these out of file names (and takes "\" for a separator).
            if ((m_skip = a.find_first_of("<>:\"/\\|?*\r\n") != std::string::npos)) return;
#endif
            std::filesystem::create_directories(dir());
            std::string path = writeFileUtf8(dir() + "/" + a, l[1]);
            StringBuffer type;
            EXPECT_TRUE(n.addFileAttachment(path.c_str(), l[2].empty() ? nullptr : l[2].c_str(),
                                            type, m_log));
            if (l.args.size() > 3) same(str(type), l[3]);
        } else {
            ADD_FAILURE() << "unknown step " << v;
        }
    }

    // The operations of the e-mail object, as the host calls them.
    void object(const Line& l, const std::string& v, const std::string& a) {
        ASSERT_TRUE(m_cls);
        XString x = xs(a), y = xs(l[1]);
        if (v == "Body") return m_cls->put_Body(x);
        if (v == "Subject") return m_cls->put_Subject(x);
        if (v == "From") return m_cls->put_From(x);
        if (v == "Html") return m_cls->SetHtmlBody(l.args.empty() ? nullptr : a.c_str(), true);
        if (v == "Sending") return m_cls->setSendingFlag(true);
        if (v == "Charset") return same(m_cls->put_Charset(x), yes(l, 1));
        if (v == "AddTo") return same(m_cls->AddTo(x, y), yes(l, 2));
        if (v == "AddCC") return same(m_cls->AddCC(x, y), yes(l, 2));
        if (v == "AddBcc") return same(m_cls->AddBcc(x, y), yes(l, 2));
        ASSERT_EQ(v, "Attach");
        std::filesystem::create_directories(dir());
        std::string path = a.empty() ? a : dir() + "/" + a;
        if (l[1] != "-") writeFileUtf8(path, l[1]);
        StringBuffer type("stale");
        XString p = xs(path);
        EXPECT_EQ(m_cls->AddFileAttachment(p, type), l[2] != "-");
        EXPECT_EQ(str(type), l[2] == "-" ? "" : l[2]);
    }

    // Values compared with the last argument of the check.
    std::optional<std::string> value(const std::string& v, const Line& l, Email2& n) {
        const std::string& a = l[0];
        auto count = [](size_t k) { return std::to_string(k); };
        if (v == "field") return field(n, a);
        if (v == "nfields") return count(n.header().numFields());
        if (v == "type") return str(n.contentType());
        if (v == "parts") return count(n.numParts());
        if (v == "body") return str(n.body());
        if (v == "body-size") return count(n.body().size());
        if (v == "transfer-encoding") return str(n.transferEncoding());
        if (v == "cp") return count(n.charset().getCodePage());
        if (v == "headercp") return count(n.header().codePage());
        if (v == "boundary") return str(n.boundary());
        if (v == "filename") return str(n.filename());
        if (v == "nameparam") return str(n.nameParam());
        if (v == "disposition") return str(n.disposition());
        if (v == "typeparam") return str(n.typeParam());
        if (v == "flowed") return count(n.formatFlowed());
        if (v == "attachment") return count(n.isAttachment(a == "1"));
        if (v == "numto") return count(n.numTo());
        if (v == "numcc") return count(n.numCc());
        if (v == "numbcc") return count(n.numBcc());
        if (v == "date") return showTime(n.date());
        if (v == "to") return nameAddr(n.getTo(num(l, 0)));
        if (v == "tail") {
            std::string text = render(n);
            return text.substr(text.size() - std::min(text.size(), l.args.back().size()));
        }
        StringBuffer out, stale("stale");
        if (v == "from-address") return n.getFromAddress(out), str(out);
        if (v == "envelope") return n.getEnvelopeFrom(out), str(out);
        if (v == "header-block") return n.header().writeHeader(out, "BVX-", 0), str(out);
        if (v == "names") {
            std::string names;
            for (uint32_t i = 0; i < n.header().numFields(); ++i)
                names += (i ? "," : "") + str(n.header().fieldAt(i)->name());
            return names;
        }
        if (v == "attachment-name") {
            const Email2* at = attachmentOf(n);
            if (!at) return "<none>";
            std::string name = str(at->filename()), param = str(at->nameParam());
            return name + (param == name ? "" : " | name " + param);
        }
        if (v == "first-address") {
            ExtPtrArray list;
            Rfc822Address::parseAddressList(field(n, a).c_str(), list, false, m_log);
            std::string got = nameAddr(list.count() ? list.at<Rfc822Address>(0) : nullptr);
            return list.deleteAll(), got;
        }
        if (v == "reparsed-to") {
            Tree back = parse(render(n));
            if (!back || back->numTo() != 1) return "<not one To>";
            return back->getTo(0)->getName(out), str(out);
        }
        if (!m_cls) return std::nullopt;
        if (v == "sending") return count(m_cls->isSending());
        if (v == "log-depth") return count(m_cls->log().contextDepth());
        if (v == "recipients")
            return count(m_cls->numTo()) + " " + count(m_cls->numCc()) + " " +
                   count(m_cls->numBcc());
        if (v == "recipient") {
            auto get = a == "to"   ? &ClsEmail::getTo
                       : a == "cc" ? &ClsEmail::getCc
                                   : &ClsEmail::getBcc;
            return (m_cls.get()->*get)(l.num(1), stale), str(stale);
        }
        if (v == "log-is") return log();
        return std::nullopt;
    }

    // Checks that hold or do not.
    std::optional<bool> holds(const std::string& v, const std::string& a, Email2& n) {
        if (v == "has") return render(n).find(a) != std::string::npos;
        if (v == "lacks") return render(n).find(a) == std::string::npos;
        if (v == "header-lacks")
            return render(n).substr(0, render(n).find("\r\n\r\n")).find(a) == std::string::npos;
        if (v == "has-unfiltered") return render(n, nullptr).find(a) != std::string::npos;
        if (v == "body-has") return str(n.body()).find(a) != std::string::npos;
        if (v == "boundary-ends") return n.boundary().endsWith(a.c_str());
        if (v == "has-boundary") return !n.boundary().isEmpty();
        if (v == "parts-below") return n.numParts() < std::stoul(a);
        if (v == "plain-part") return n.findPlainPart() == n.getPart(std::stoul(a));
        if (v == "html-part") return n.findHtmlPart() == n.getPart(std::stoul(a));
        if (v == "last-unfolded") return n.header().fieldAt(n.header().numFields() - 1)->noFold();
        if (v == "cp-not") return n.charset().getCodePage() != static_cast<unsigned>(std::stoi(a));
        if (v == "year-at-least") return n.date().year >= std::stoi(a);
        if (v == "log") return log().find(a) != std::string::npos;
        if (v == "log-lacks") return log().find(a) == std::string::npos;
        if (v == "new-boundary") {
            StringBuffer one, two;
            Email2::generateBoundary(one);
            Email2::generateBoundary(two);
            return std::regex_match(str(one), std::regex(a)) && str(one) != str(two);
        }
        return std::nullopt;
    }

    std::string log() {
        std::string log = testsupport::xml(m_cls->log());
        for (size_t at; (at = log.find(dir())) != std::string::npos;)
            log.replace(at, dir().size(), "$DIR");
        return log;
    }

    void check(Line l, const std::string& v, Email2& n) {
        for (std::string& arg : l.args)
            for (size_t at; (at = arg.find("$B")) != std::string::npos;)
                arg.replace(at, 2, str(n.boundary()));
        const std::string& a = l[0];
        if (v == "matches")
            return same(std::regex_match(field(n, a), std::regex(l[1])), true, field(n, a));
        if (v == "copies") return copies(root());
        if (v == "round-trip-keeps-parts") return same(roundTrip(n)->numParts(), n.numParts());
        if (v == "words-short") return expectShortWords(render(n));
        if (v == "py-parts") return (void)m_x.parts(l.num(0));
        if (v == "py-type") return (void)m_x.type(l.num(0), l[1], l[2] == "1");
        if (v == "py-text") return (void)m_x.text(l.num(0), l[1]);
        if (v == "py-filename") return (void)m_x.filename(l.num(0), l[1]);
        if (v == "py-header") return (void)m_x.header(0, a, l[1]);
        if (v == "py-address")
            return (void)m_x.line("ADDR", 0,
                                  a + " " + l[1] + " " + toHex(l[2]) + " " + toHex(l[3]));
        if (v == "python") return python(a == "tree");
        if (v == "only-asked-fields") return onlyAskedFields(l);
        if (v == "python-param") {
            bool found = false;
            for (auto& [index, key, value] : pythonView(render(root()), true))
                if (index == l.num(0) && lower(key) == l[1]) found = value == l[2];
            return same(found || !pythonEmailAvailable(), true);
        }
        if (v == "boundary-as-delimiters") {
            // The boundary parameter written is the one the delimiter lines use.
            std::string text = render(n, nullptr);
            size_t at = text.find("boundary=\"") + 10;
            std::string boundary = text.substr(at, text.find('"', at) - at);
            EXPECT_EQ(boundary.find("=?"), std::string::npos) << text;
            return same(text.find("\r\n--" + boundary + "\r\n") != std::string::npos, true, text);
        }
        if (auto got = value(v, l, n)) return same(*got, l.args.back());
        if (auto ok = holds(v, a, n)) return same(*ok, true, render(n).substr(0, 3000));
        ADD_FAILURE() << "unknown check " << v;
    }

    // No field the host did not set, as our parser reads the copy and as
    // Python reads the text; the arguments name more fields allowed.
    void onlyAskedFields(const Line& l) {
        std::set<std::string> asked = m_asked;
        for (const std::string& a : l.args) asked.insert(lower(a));
        Tree copy = roundTrip(root());
        ASSERT_TRUE(copy);
        std::vector<std::string> ours;
        fieldNames(*copy, ours);
        for (const std::string& name : ours)
            EXPECT_TRUE(alwaysWritten(name) || asked.count(lower(name)))
                << "our parser reads " << name;
        for (auto& [index, name, unused] : pythonView(render(root()), false))
            EXPECT_TRUE(alwaysWritten(name) || asked.count(lower(name)))
                << "Python reads " << name << " in part " << index;
    }

    void python(bool tree) {
        if (!pythonEmailAvailable()) return;
        std::string text = render(root());
        Expect x = m_x;
        int index = 0;
        if (tree) expectTree(root(), x, index);
        if (tree) x.parts(index);
        EXPECT_TRUE(pythonAgrees(text, x, m_tag)) << text.substr(0, 3000);
    }

    // Copies render the same text (and keep the Bcc list, which never shows
    // in it), and so does a stream that takes the text in pieces; the first
    // failed write ends the rendering.
    void copies(Email2& e) {
        if (e.numBcc() == 0) {
            e.addBcc("Hidden", "hidden@example.com");
            e.addBcc("", "other@example.com");
        }
        std::string text = render(e), raw = render(e, nullptr);
        ASSERT_EQ(render(e, nullptr), raw) << "rendering must not keep changing the tree";
        EXPECT_EQ(text.find("hidden@example.com"), std::string::npos) << "Bcc never shows";
        // The copy a send makes, and one read back from the text.
        for (bool sendCopy : {true, false}) {
            SCOPED_TRACE(sendCopy ? "send copy" : "round trip");
            Tree copy = sendCopy ? cloneOf(e) : roundTrip(e);
            ASSERT_TRUE(copy);
            EXPECT_EQ(render(*copy, nullptr), raw);
            EXPECT_EQ(render(*copy), text);
            ASSERT_EQ(copy->numBcc(), e.numBcc());
            EXPECT_EQ(nameAddr(copy->getBcc(0)), "Hidden <hidden@example.com>");
            EXPECT_EQ(nameAddr(copy->getBcc(1)), "<other@example.com>");
            EXPECT_EQ(copy->numTo(), e.numTo());
            EXPECT_EQ(copy->numCc(), e.numCc());
            StringBuffer a, b;
            e.getEnvelopeFrom(a);
            copy->getEnvelopeFrom(b);
            EXPECT_EQ(str(a), str(b));
            // Independent of each other, bodies included.
            copy->setHeaderField("Subject", "changed");
            copy->setBody("changed", 7, false);
            EXPECT_EQ(render(e, nullptr), raw);
        }

        Collector c;
        StringBuffer scratch;
        ASSERT_TRUE(e.assembleMime(scratch, &c, "BVX-", m_log));
        EXPECT_EQ(c.text, text);
        EXPECT_EQ(scratch.length(), 0u) << "the buffer is untouched when a stream is given";
        EXPECT_LE(c.largest, 64u * 1024u);
        for (int failAt = 1; c.calls > 1 && failAt <= c.calls; ++failAt) {
            Collector f;
            f.failAt = failAt;
            EXPECT_FALSE(e.assembleMime(scratch, &f, "BVX-", m_log));
            EXPECT_EQ(f.calls, failAt) << "no write after the failed one";
            EXPECT_EQ(f.text, text.substr(0, f.text.size()));
        }
    }

    std::string m_tag;
    Tree m_tree;
    std::unique_ptr<ClsEmail> m_cls;
    std::vector<int> m_path;
    std::set<std::string> m_asked;
    Expect m_x;
    LogNull m_log;
    bool m_skip = false;
};

// Runs every case of a file and returns how many ran. Lines before the first
// tree are rows (checkRow); a case with "charsets" runs once for each charset
// named there, which is set at that point.
size_t runCases(const std::string& file) {
    std::vector<std::vector<Line>> cases;
    size_t rows = 0;
    for (const Line& l : testsupport::readCases("mime/" + file)) {
        SCOPED_TRACE(l.where);
        if (isStart(l.verb)) cases.emplace_back();
        if (cases.empty())
            rows += checkRow(l);
        else
            cases.back().push_back(l);
    }
    for (const std::vector<Line>& steps : cases) {
        std::vector<std::string> charsets = {""};
        for (const Line& l : steps) {
            std::istringstream in(l.verb == "charsets" ? l[0] : "");
            if (l.verb == "charsets") charsets.clear();
            for (std::string cs; in >> cs;) charsets.push_back(cs);
        }
        for (const std::string& cs : charsets) {
            std::string tag = steps[0].where;
            for (char& c : tag) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
            Steps run(tag);
            for (Line l : steps) {
                SCOPED_TRACE(l.where + (cs.empty() ? "" : " / " + cs));
                if (l.verb == "charsets") l = {l.where, "charset", {cs}};
                run.run(l);
                if (::testing::Test::HasFatalFailure()) return 0;
                if (run.skipped()) break;
            }
        }
    }
    return rows + cases.size();
}

// Every case file, and the least number of cases and rows it holds.
class CaseFiles : public ::testing::TestWithParam<std::pair<const char*, size_t>> {};

TEST_P(CaseFiles, AsTheFileSays) {
    EXPECT_GE(runCases(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Mime, CaseFiles,
    ::testing::Values(std::pair("values.txt", 150u), std::pair("coding_vectors.txt", 280u),
                      std::pair("trees.txt", 50u), std::pair("shapes.txt", 10u),
                      std::pair("header_safety.txt", 30u), std::pair("python_made.txt", 3u)),
    [](const auto& info) {
        std::string name = info.param.first;
        return name.substr(0, name.find('.'));
    });

// Text too big or too many: refused or cut at the engine's limits, quickly.
TEST(ParseDamaged, LimitsAsLimitsTxtSays) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_GE(runCases("limits.txt"), 6u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              30.0);
}

// Python decodes every encoded header we write back to the original text.
TEST(MimeValues, PythonDecodesEveryHeaderWritten) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    std::string message;
    Expect x;
    int n = 0;
    for (unsigned cp : {0, 28591, 28592, 1252, 65001, 1200, 1251, 932}) {
        if (cp && !EncodingConvert::isSupported(cp)) continue;
        for (const Line& l : testsupport::readCases("mime/values.txt")) {
            if (l.verb != "python") continue;
            std::string name = "X-Test-" + std::to_string(n++);
            message += write(name, l[0], cp) + "\r\n";
            x.header(0, name, l[0]);
        }
    }
    EXPECT_TRUE(pythonAgrees(message + "\r\nbody\r\n", x, "headers")) << message.substr(0, 4000);
}

// Our encoders' output on random input, decoded by Python.
TEST(MimeValues, PythonDecodesRandomInputBack) {
    if (!pythonEmailAvailable()) GTEST_SKIP() << "python3 not available";
    std::mt19937 rng(12345);
    const std::string textish = std::string("abc XYZ.=\t\r\n\r\nFrom ?_,\0\xe9\xff", 26);
    std::ostringstream out;
    for (int i = 0; i < 300; ++i) {
        std::string in;
        for (size_t k = 0, n = rng() % 400; k < n; ++k)
            in.push_back(i % 2 == 0 ? textish[rng() % textish.size()]
                                    : static_cast<char>(rng() & 0xFF));
        out << "B64L " << toHex(in) << " " << toHex(encode("b64l", in)) << "\nQP " << toHex(in)
            << " " << toHex(encode("qp", in)) << "\n";
        if (!in.empty()) out << "QW " << toHex(in) << " " << toHex(encode("qword", in)) << "\n";
    }
    std::string path = writeFileUtf8(tempName("vectors.txt"), out.str());
    EXPECT_TRUE(runPython("check_encodings.py", {path}));
    std::remove(path.c_str());
}

// Text bodies in every charset and shape (tests/data/mime/bodies.txt),
// composed as a host does, sent the way the mail manager sends (copy by
// render and parse, then render), and read back by Python's email package:
// every text part must decode to the text the host gave, every attachment
// to its bytes.

// One run per shape: every body in every charset, the composed message as
// rendered and as sent, checked by one run of Python: each message travels
// as a message/rfc822 part of one container, whose walk() visits them in
// order.
class BodyCharsets : public ::testing::TestWithParam<const char*> {};

TEST_P(BodyCharsets, EveryTextPartReadsAsTheHostsText) {
    const std::string shape = GetParam();
    std::vector<std::string> charsets;
    std::vector<Line> bodies;
    for (const Line& l : testsupport::readCases("mime/bodies.txt")) {
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
    auto add = [&](const std::string& name, const std::string& message, const Email2& tree,
                   const std::string& text) {
        names += std::to_string(next) + " " + name + "\n";
        x.type(next++, "message/rfc822", true);
        expectTree(tree, x, next, &text);
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
            // What the mail manager sends: its copy, without Return-Path,
            // rendered with the BVX- filter.
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

// loadMime on text nested too deep, and on the fuzz seeds cut, repeated and
// spliced: nothing reads out of bounds or runs away (run under the sanitizer
// build too). Text too big or too many is in tests/data/mime/limits.txt,
// damaged text of ordinary size in trees.txt; fuzz/load_mime_fuzz.cpp goes
// further.

int depthOf(const Email2& e) {
    int d = 0;
    for (uint32_t i = 0; i < e.numParts(); ++i) d = std::max(d, depthOf(*e.getPart(i)));
    return d + 1;
}

TEST(ParseDamaged, DeepNestingIsCapped) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) +
                "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
    auto e = parse(text + "Content-Type: text/plain\r\n\r\ndeep");
    ASSERT_TRUE(e);
    EXPECT_LE(depthOf(*e), MimeMessage2::kMaxDepth + 1);
    EXPECT_GE(depthOf(*e), MimeMessage2::kMaxDepth);
    // What lies below the cap is kept as text, and renders again.
    EXPECT_NE(render(*e).find("deep"), std::string::npos);
}

// A small deterministic fuzz loop over the seeds, with the bytes that steer
// the parser (fuzz_steering.txt); what loads renders and copies.
TEST(ParseDamaged, MutatedSeedsNeverCrash) {
    std::vector<std::string> seeds, tokens;
    for (const Line& l : testsupport::readCases("mime/fuzz_steering.txt")) {
        std::vector<std::string>& to = l.verb == "seed" ? seeds : tokens;
        to.insert(to.end(), l.args.begin(), l.args.end());
    }
    std::vector<std::filesystem::path> files;
    std::error_code ec;  // a missing corpus fails the count below
    for (const auto& f :
         std::filesystem::directory_iterator(SMTP_SOURCE_DIR "/fuzz/corpus/load_mime", ec))
        files.push_back(f.path());
    std::sort(files.begin(), files.end());  // the same rounds everywhere
    for (const auto& f : files) seeds.push_back(testsupport::readFile(f));
    ASSERT_GE(seeds.size(), 9u);  // two of fuzz_steering.txt, seven of the corpus
    std::mt19937 rng(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::string s = seeds[rng() % seeds.size()];
        for (int k = 0, edits = 1 + static_cast<int>(rng() % 6); k < edits && !s.empty(); ++k) {
            size_t at = rng() % (s.size() + 1);
            const unsigned op = rng() % 5;
            if (op == 0) s.insert(at, tokens[rng() % tokens.size()]);
            if (op == 1) s.resize(at);
            if (op == 2 && at < s.size()) s[at] = static_cast<char>(rng() & 0xFF);
            if (op == 3) s.insert(at, s.substr(rng() % s.size(), rng() % 64));
            if (op == 4) s.erase(at, rng() % 16);
        }
        auto e = parse(s);
        ASSERT_TRUE(e);
        render(*e);
        ASSERT_TRUE(roundTrip(*e));
    }
}

}  // namespace
