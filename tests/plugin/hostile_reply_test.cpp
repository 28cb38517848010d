// Each reply of tests/data/plugin/hostile_replies.txt at each step of a
// send: smtp_errors.xml stays well-formed, with the elements of a plain
// refusal at that step and the reply's text readable. Python's XML parser
// judges that where it runs; under Wine the file gets the parser-free checks.
#include <gtest/gtest.h>

#include "case_file.h"
#include "host_env.h"
#include "integration/log_xml_check.h"
#include "tools/smtp_server/smtp_test_server.h"

namespace {

// Where the server refuses, and what it answers and expects before that.
const char* const kSteps[] = {"greeting", "MAIL FROM", "RCPT TO", "DATA", "end of data"};
const char* const kAnswers[] = {"220 fault.test\r\n", "250 fault.test\r\n", "250 OK\r\n",
                                "250 OK\r\n", "354 go\r\n"};
const char* const kCommands[] = {"EHLO ", "MAIL FROM:", "RCPT TO:", "DATA"};

// Sends through the module to a server that refuses with the reply at the
// step and hangs up; where Python runs, the tags of the error file's
// elements go to tags and all its character data to text, as its XML
// parser reads them.
void sendRefusedWith(int step, const std::string& reply,
                     [[maybe_unused]] std::vector<std::string>& tags,
                     [[maybe_unused]] std::string& text) {
    host_env::ScratchDir dir;
    smtptest::FaultScript script;
    for (int i = 0; i < (step ? step + 1 : 0); ++i) {  // EHLO is answered before MAIL FROM
        script.send(kAnswers[i]);
        i < 4 ? script.expect(kCommands[i]) : script.expectMessage();
    }
    smtptest::FaultServer server(script.send(reply).close(), 5000);
    ASSERT_TRUE(server.start());
    host_env::Plugin p = host_env::create();
    p->set_server(L"127.0.0.1", std::to_wstring(server.port()).c_str(), L"", L"");
    p->set_from(L"alice@example.com");
    p->add_to(L"bob@example.com");
    p->set_subject(L"Hostile");
    p->set_body(L"Body");
    ASSERT_FALSE(p->send());
    EXPECT_TRUE(server.finish(5000)) << server.failure();  // the client went as far as the step
    // Checks that need no parser: the root element wraps the whole file, and
    // no control byte that XML 1.0 forbids gets in.
    const std::string file = dir.read("smtp_errors.xml");
    EXPECT_EQ(file.rfind("<BrenvikLog>\r\n", 0), 0u) << file;
    EXPECT_EQ(file.size() - file.rfind("</BrenvikLog>"), std::string("</BrenvikLog>\r\n").size())
        << file;
    for (unsigned char c : file)
        EXPECT_FALSE(c < 0x20 && c != '\t' && c != '\r' && c != '\n') << int(c) << " in\n" << file;
#ifndef _WIN32
    std::vector<log_xml::Element> elements;
    std::string report;
    ASSERT_TRUE(log_xml::read(SMTP_INTEGRATION_DIR "/check_log_xml.py",
                              host_env::utf8Of(dir.file("smtp_errors.xml")), elements, report))
        << report << "\n"
        << file;
    for (const log_xml::Element& e : elements) {
        tags.push_back(e.tag);
        text += e.text + e.tail;
    }
#endif
}

TEST(HostileReplies, TheErrorFileStaysWellFormedWithTheEngineElementsOnly) {
#ifndef _WIN32
    if (!log_xml::pythonPresent()) GTEST_SKIP() << "no /usr/bin/python3";
#endif
    const std::vector<case_file::Case> replies = case_file::load("hostile_replies.txt");
    ASSERT_FALSE(replies.empty());
    for (int step = 0; step < 5; ++step) {
        std::vector<std::string> plain;
        std::string text;
        sendRefusedWith(step, "554 refused\r\n", plain, text);
#ifndef _WIN32
        ASSERT_GT(plain.size(), 1u) << kSteps[step];
#endif
        for (const case_file::Case& c : replies) {
            SCOPED_TRACE(std::string(kSteps[step]) + ", " + c.name);
            const case_file::Line& w = c.steps.at(0).second;
            std::vector<std::string> tags;
            text.clear();
            sendRefusedWith(step, case_file::bytes(w.at(1)), tags, text);
            if (HasFatalFailure()) return;
#ifndef _WIN32
            EXPECT_EQ(tags, plain);
            EXPECT_NE(text.find(case_file::bytes(w.at(2))), std::string::npos) << text;
#endif
        }
    }
}

}  // namespace
