// Server replies built to break "smtp_errors.xml": markup, "]]>", control
// bytes and invalid UTF-8 at each step of a send. Whatever the server says,
// the file stays well-formed and holds only the elements the engine writes:
// the same elements as after a plain refusal at that step.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_env.h"
#include "host_support.h"
#include "integration/log_xml_check.h"
#include "tools/smtp_server/smtp_test_server.h"

using host_test::Plugin;
using host_test::ScratchDir;
using smtptest::FaultScript;
using smtptest::FaultServer;

namespace {

enum class Step { Greeting, MailFrom, RcptTo, Data, EndOfData };

struct Hostile {
    const char* label;
    std::string reply;  // sent as given, CR LF included
    std::string read;   // what a reader of the file finds of it
};

const Hostile kReplies[] = {
    {"cdata_breakout", "554 <![CDATA[]]><injected>evil</injected><![CDATA[]]>\r\n",
     "554 <![CDATA[]]><injected>evil</injected><![CDATA[]]>"},
    {"close_marker", "554 x]]><injected/>\r\n", "554 x]]><injected/>"},
    {"closes_the_root", "554 </BrenvikLog><injected/>\r\n", "554 </BrenvikLog><injected/>"},
    {"entities", "554 &amp; &#0; &nope; <!DOCTYPE x [<!ENTITY e \"evil\">]>\r\n",
     "554 &amp; &#0; &nope; <!DOCTYPE x [<!ENTITY e \"evil\">]>"},
    {"controls", "554 \x01\x02\x1B[31m\x7F\x0Bstop\r\n", "554 \\x01\\x02\\x1B[31m\x7F\\x0Bstop"},
    {"invalid_utf8", "554 \xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xFF\xE2\x82 bad\r\n",
     "554 \\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xFF\\xE2\\x82 bad"},
    {"noncharacter", "554 \xEF\xBF\xBF\r\n", "554 \\xEF\\xBF\\xBF"},
    {"valid_utf8", "554 Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80 <x>\r\n",
     "554 Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80 <x>"},
    {"multi_line", "554-<injected>\r\n554 y]]>\x01<z\r\n", "554 y]]>\\x01<z"},
    {"nul", std::string("554 a\0<injected/>\r\n", 20), "554 a"},
};

// The server's side of a send refused with reply at the step; the server
// hangs up after it.
FaultScript scriptFor(Step step, const std::string& reply) {
    FaultScript s;
    if (step == Step::Greeting) return s.send(reply).close();
    s.send("220 fault.test\r\n").expect("EHLO ").send("250 fault.test\r\n");
    s.expect("MAIL FROM:");
    if (step == Step::MailFrom) return s.send(reply).close();
    s.send("250 OK\r\n").expect("RCPT TO:");
    if (step == Step::RcptTo) return s.send(reply).close();
    s.send("250 OK\r\n").expect("DATA");
    if (step == Step::Data) return s.send(reply).close();
    return s.send("354 go\r\n").expectMessage().send(reply).close();
}

// Elements in document order and the character data, read by a strict
// reader of the subset the log writes (elements without attributes, text
// and CDATA sections). Where Python runs, its parser is asked as well.
struct Reading {
    bool ok = false;
    std::string why;
    std::vector<std::string> tags;
    std::string text;
};

// Length of the UTF-8 character at i when XML allows it, else 0.
size_t xmlCharAt(const std::string& s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > s.size()) return 0;
    uint32_t cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000) || cp == 0xFFFE ||
        cp == 0xFFFF)
        return 0;
    return len;
}

Reading readStrictly(const std::string& x) {
    Reading r;
    for (size_t i = 0; i < x.size();) {
        const size_t n = xmlCharAt(x, i);
        if (n == 0) {
            r.why = "byte " + std::to_string(i) + " is no XML character";
            return r;
        }
        i += n;
    }
    std::vector<std::string> open;
    bool rootSeen = false;
    size_t i = 0;
    while (i < x.size()) {
        if (x.compare(i, 9, "<![CDATA[") == 0) {
            const size_t end = x.find("]]>", i + 9);
            if (end == std::string::npos || open.empty()) break;
            r.text += x.substr(i + 9, end - i - 9);
            i = end + 3;
        } else if (x[i] == '<') {
            const bool closing = i + 1 < x.size() && x[i + 1] == '/';
            const size_t from = i + (closing ? 2 : 1), end = x.find('>', from);
            if (end == std::string::npos) break;
            const std::string name = x.substr(from, end - from);
            if (name.empty() || name.find_first_of(" \t\r\n<&/\"'=!?:\\") != std::string::npos ||
                std::string("-.0123456789").find(name[0]) != std::string::npos)
                break;
            if (closing) {
                if (open.empty() || open.back() != name) break;
                open.pop_back();
            } else {
                if (open.empty() && rootSeen) break;
                rootSeen = true;
                open.push_back(name);
                r.tags.push_back(name);
            }
            i = end + 1;
        } else {
            if (x[i] == '&' || x.compare(i, 3, "]]>") == 0) break;
            if (open.empty() && x[i] != '\r' && x[i] != '\n') break;  // outside the root
            r.text += x[i++];
        }
    }
    r.ok = i == x.size() && open.empty() && rootSeen;
    if (!r.ok) r.why = "not well-formed at byte " + std::to_string(i);
    return r;
}

// A send refused at the step with the reply; the error file as read.
Reading sendRefusedWith(Step step, const std::string& reply, std::string& file) {
    ScratchDir dir;
    FaultServer server(scriptFor(step, reply), 5000);
    Reading r;
    if (!server.start()) {
        r.why = "server did not start";
        return r;
    }
    Plugin p;
    p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L"");
    p->set_from(L"alice@example.com");
    p->add_to(L"bob@example.com");
    p->set_subject(L"Hostile");
    p->set_body(L"Body");
    if (p->send()) {
        r.why = "the send succeeded";
        return r;
    }
    server.finish(5000);
    file = dir.read("smtp_errors.xml");
    r = readStrictly(file);
#ifndef _WIN32
    if (r.ok && log_xml::pythonPresent()) {
        std::vector<log_xml::Element> elements;
        std::string report;
        const std::string path =
            host_env::utf8Of(std::filesystem::current_path() / "smtp_errors.xml");
        if (!log_xml::read(SMTP_INTEGRATION_DIR "/check_log_xml.py", path, elements, report)) {
            r.ok = false;
            r.why = "Python: " + report;
            return r;
        }
        std::vector<std::string> tags;
        for (const log_xml::Element& e : elements) tags.push_back(e.tag);
        EXPECT_EQ(tags, r.tags) << "the two readers disagree";
    }
#endif
    return r;
}

std::string normalised(const std::string& read) {
    std::string s;
    for (char c : read)
        if (c != '\r') s += c;
    return s;
}

}  // namespace

TEST(HostileReplies, TheErrorFileStaysWellFormedWithTheEngineElementsOnly) {
    const struct {
        Step step;
        const char* name;
    } steps[] = {{Step::Greeting, "greeting"},
                 {Step::MailFrom, "MAIL FROM"},
                 {Step::RcptTo, "RCPT TO"},
                 {Step::Data, "DATA"},
                 {Step::EndOfData, "end of data"}};
    for (const auto& st : steps) {
        std::string plainFile;
        const Reading plain = sendRefusedWith(st.step, "554 refused\r\n", plainFile);
        ASSERT_TRUE(plain.ok) << st.name << ": " << plain.why << "\n" << plainFile;
        ASSERT_GT(plain.tags.size(), 1u) << st.name;
        for (const Hostile& h : kReplies) {
            SCOPED_TRACE(std::string(st.name) + ", " + h.label);
            std::string file;
            const Reading r = sendRefusedWith(st.step, h.reply, file);
            EXPECT_TRUE(r.ok) << r.why << "\n" << file;
            if (!r.ok) continue;
            EXPECT_EQ(r.tags, plain.tags) << file;
            EXPECT_NE(normalised(r.text).find(h.read), std::string::npos) << file;
        }
    }
}
