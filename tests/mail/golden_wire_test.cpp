// Whole messages on the wire, byte for byte: each case of
// tests/data/smtp/golden_cases.txt is composed with the calls the plug-in
// makes, sent by the mail manager with its Message-ID, Date and boundaries
// pinned, and the text the server read (dot-stuffed, up to the lone ".")
// must equal tests/data/smtp/golden/NAME.txt. Rendering changes that should
// change nothing on the wire are checked against these files; one that
// should is reviewed as a diff of them. SMTP_GOLDEN_WRITE=1 rewrites them.
#ifdef _WIN32
#include <winsock2.h>
#endif
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mail/cls_mail_man.h"
#include "mail/smtp_conn_impl.h"
#include "mail/smtp_conn_test_access.h"
#include "mail_test_support.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "platform/clock.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/scratch.h"
#include "tools/smtp_server/smtp_test_server.h"

using namespace testsupport;

namespace {

const std::vector<CaseLine>& cases() {
    static const std::vector<CaseLine> all = readCases("smtp/golden_cases.txt");
    return all;
}

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    for (const CaseLine& c : cases()) names.push_back(c[0]);
    return names;
}

// A file of SIZE bytes for an attachment: printable lines, or every byte
// value, from a generator seeded by the name (the same on every platform).
std::string attachmentBytes(const std::string& name, size_t size, bool text) {
    uint32_t seed = 1;
    for (char ch : name) seed = seed * 31 + static_cast<unsigned char>(ch);
    std::mt19937 gen(seed);
    std::string out;
    while (out.size() < size) {
        const uint32_t r = static_cast<uint32_t>(gen());
        if (!text)
            out += static_cast<char>(r & 0xff);
        else
            out += out.size() % 60 == 59 ? '\n' : static_cast<char>(' ' + r % 95);
    }
    return out;
}

// Boundaries and Message-IDs numbered in the order they first appear: the
// Message-ID names this machine, and a change that draws its random numbers
// in another order still makes the same message.
std::string numbered(std::string text) {
    for (const std::string start : {"-----_brenvik_", "<BRENVIK-MID-"}) {
        std::vector<std::string> seen;
        for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
            // A boundary's random part is 26 characters ("abc_defg_01234567.89abcdef").
            const size_t end = start[0] == '<' ? text.find('>', at) : at + start.size() + 26;
            const std::string found = text.substr(at, end - at);
            size_t n = 0;
            while (n < seen.size() && seen[n] != found) ++n;
            if (n == seen.size()) seen.push_back(found);
            text.replace(at, end - at, start + std::to_string(n + 1));
        }
    }
    return text;
}

class GoldenWire : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenWire, SameBytesAsTheFile) {
    const CaseLine* found = nullptr;
    for (const CaseLine& c : cases())
        if (c[0] == GetParam()) found = &c;
    ASSERT_NE(found, nullptr);
    const CaseLine& c = *found;
    SCOPED_TRACE(c.where);

    const platform::LocalTime when{2026, 12, 7, 1, 9, 30, 15, 60};
    platform::setLocalTimeForTesting(&when);
    Email2::seedIdsForTesting(20261207);
    const ScratchDir dir;
    size_t recipients = 0;
    {
        ClsEmail email;
        for (size_t i = 1; i < c.args.size(); ++i) {
            const std::string& step = c.args[i];
            const std::string op = step.substr(0, step.find(' '));
            const std::string arg = step.size() > op.size() ? step.substr(op.size() + 1) : "";
            // "to ADDRESS [DISPLAY NAME]", as the plug-in splits a mailbox.
            const std::string address = arg.substr(0, arg.find(' '));
            XString a = xs(address),
                    n = xs(arg.size() > address.size() ? arg.substr(address.size() + 1) : ""),
                    v = xs(arg);
            if (op == "from") {
                email.put_From(a);
                if (!n.isEmpty()) email.put_FromName(n);
            } else if (op == "to" || op == "cc" || op == "bcc") {
                ++recipients;
                EXPECT_TRUE(op == "to"   ? email.AddTo(n, a)
                            : op == "cc" ? email.AddCC(n, a)
                                         : email.AddBcc(n, a));
            } else if (op == "subject") {
                email.put_Subject(v);
            } else if (op == "body") {
                email.put_Body(v);
            } else if (op == "html") {
                email.SetHtmlBody(arg.c_str(), true);
            } else if (op == "attach") {  // attach NAME SIZE text|binary
                std::istringstream words(arg);
                std::string name, kind;
                size_t size = 0;
                words >> name >> size >> kind;
                XString path = xs(dir.file(name, attachmentBytes(name, size, kind == "text")));
                StringBuffer type;
                EXPECT_TRUE(email.AddFileAttachment(path, type)) << name;
            } else {
                FAIL() << "unknown step " << step;
            }
        }
        // The plug-in sends every message in utf-8.
        XString utf8 = xs("utf-8");
        email.put_Charset(utf8);

        // Rendered whole and sent in one write, then streamed in pieces
        // after a pass that counts it: the same bytes both ways.
        const std::string file = SMTP_TEST_DATA_DIR "/smtp/golden/" + c[0] + ".txt";
        for (const uint64_t streamAbove : {SmtpConnImpl::kStreamAboveBytes, uint64_t{0}}) {
            SCOPED_TRACE(streamAbove ? "whole" : "streamed");
            SmtpConnImplTestAccess::setStreamAbove(streamAbove);
            smtptest::FaultScript script;
            script.send("220 golden\r\n").expect("EHLO ").send("250 golden\r\n");
            script.expect("MAIL FROM:").send("250 ok\r\n");
            for (size_t r = 0; r < recipients; ++r) script.expect("RCPT TO:").send("250 ok\r\n");
            script.expect("DATA").send("354 go\r\n").expectMessage().send("250 queued\r\n");
            smtptest::FaultServer server(script, 5000);
            ASSERT_TRUE(server.start());
            ClsMailMan manager;
            XString host = xs("127.0.0.1");
            manager.put_SmtpHost(host);
            manager.put_SmtpPort(server.port());
            EXPECT_TRUE(manager.SendEmail(email)) << xml(manager.log());
            EXPECT_TRUE(server.finish()) << server.failure();

            std::string raw;
            const std::vector<std::string> received = server.received();
            for (size_t i = 1; i < received.size(); ++i)
                if (received[i - 1] == "DATA") raw = received[i];
            const std::string wire = numbered(raw);
            if (streamAbove && std::getenv("SMTP_GOLDEN_WRITE"))
                std::ofstream(file, std::ios::binary) << wire;
            EXPECT_EQ(wire, readFile(file)) << file;
            // The size logged before the text went is that of the text as
            // sent (the server's copy also has the CR LF that begins the
            // end-of-data line).
            const std::string size = "D:email_size=" + std::to_string(raw.size() - 2);
            EXPECT_TRUE(ntlmtest::logShows(manager.log(), size)) << size;
        }
        SmtpConnImplTestAccess::setStreamAbove(SmtpConnImpl::kStreamAboveBytes);
    }
    platform::setLocalTimeForTesting(nullptr);
    Email2::seedIdsForTesting(0);
}

INSTANTIATE_TEST_SUITE_P(Corpus, GoldenWire, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
