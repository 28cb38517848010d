// The activity log: its tree of contexts and entries, the XML, text and HTML
// renderings, several threads at once, and the error file written from it.
// Call scripts and escape vectors live in tests/data/diag.
#include "diag/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/cls_base.h"
#include "integration/log_xml_check.h"
#include "platform/clock.h"
#include "platform/system_error.h"
#include "support/data_file.h"
#include "support/engine_log.h"
#include "support/scratch.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const size_t npos = std::string::npos;

std::string underRoot(const std::string& body) {
    return "<BrenvikLog>\r\n" + body + "</BrenvikLog>\r\n";
}

size_t countOf(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

using Scopes = std::vector<std::unique_ptr<LogContextExitor>>;

// One line of log_scripts.txt; a log that records nothing takes every call.
void call(LogBase& log, Scopes& scopes, const std::string& line, bool recording) {
    const bool want = line[0] != '!';
    const std::string l = want ? line : line.substr(1);
    const std::string arg = l.size() > 2 ? unescape(l.substr(2)) : "";
    const size_t bar = arg.find('|');
    const std::string name = arg.substr(0, bar), value = bar == npos ? "" : arg.substr(bar + 1);
    const char* a = arg == "~" ? nullptr : arg.c_str();
    const char* n = name == "~" ? nullptr : name.c_str();
    const char c = l[0];
    bool ok = c == 'c' || c == '{' || c == '}';
    if (c == 'c') log.ClearLog();
    if (c == '{') scopes.push_back(std::make_unique<LogContextExitor>(log, a));
    if (c == '}') scopes.pop_back();
    if (c == '>') ok = log.EnterContext(a, false);
    if (c == '<') ok = log.LeaveContext();
    if (c == 'e') ok = log.LogError(a);
    if (c == 'i') ok = log.LogInfo(a);
    if (c == 'r') ok = log.LogRaw(a);
    if (c == 'd') ok = log.LogData(n, value == "~" ? nullptr : value.c_str());
    if (c == 'l') ok = log.LogDataLong(n, static_cast<int32_t>(std::stoll(value)));
    if (c == 'q') ok = log.LogDataInt64(n, std::stoll(value));
    if (c == 'h') ok = log.LogDataHex(n, static_cast<uint32_t>(std::stoull(value, nullptr, 0)));
    if (c == 's') ok = log.LogDataSb(n, StringBuffer(value.c_str()));
    if (std::string("c{}><eirdlqhs").find(c) == npos) ADD_FAILURE() << "unknown call: " << line;
    EXPECT_EQ(ok, want || !recording) << line;
}

TEST(LoggerTree, ScriptsLeaveTheirTreeDepthAndRenderings) {
    const std::vector<std::string> lines = dataLines("diag/log_scripts.txt");
    // k: 0 XML, 1 text, 2 HTML.
    const auto render = [](LogBase& l, int k, StringBuffer& out) {
        return k == 0 ? l.GetXml(out) : k == 1 ? l.GetText(out) : l.GetHtml(out);
    };
    for (size_t i = 0; i < lines.size();) {
        ASSERT_EQ(lines[i].rfind("=== ", 0), 0u) << lines[i];
        SCOPED_TRACE(lines[i++]);
        Logger log;
        LogNull none;
        Scopes scopes, noneScopes;  // left before the logs go
        for (; i < lines.size() && lines[i].rfind("--- depth ", 0) != 0; ++i) {
            call(log, scopes, lines[i], true);
            call(none, noneScopes, lines[i], false);
        }
        ASSERT_LT(i, lines.size()) << "no depth line";
        // Rendering must not leave open contexts, and each rendering replaces
        // what the buffer held.
        std::string shown[3], want[2];
        for (int k = 0; k < 3; ++k) {
            StringBuffer fresh, used("old"), kept("old");
            EXPECT_TRUE(render(log, k, fresh) && render(log, k, used) && render(none, k, kept));
            shown[k] = str(fresh);
            EXPECT_EQ(str(used), shown[k]);
            EXPECT_EQ(str(kept), "old") << "the null log renders nothing";
        }
        EXPECT_EQ(log.contextDepth(), std::stoul(lines[i++].substr(10)));
        int section = 0;  // 0 XML, 1 text, 2 HTML
        for (; i < lines.size() && lines[i].rfind("=== ", 0) != 0; ++i) {
            const std::string& l = lines[i];
            if (l == "--- text" || l == "--- html")
                section = l == "--- text" ? 1 : 2;
            else if (section < 2)
                want[section] += unescape(l) + "\r\n";
            else if ((shown[2].find(unescape(l.substr(2))) != npos) != (l[0] == '+'))
                ADD_FAILURE() << l << " in the HTML:\n" << shown[2];
        }
        EXPECT_EQ(shown[0], underRoot(want[0]));
        EXPECT_EQ(shown[1], want[1].empty() ? shown[1] : want[1]);
        EXPECT_EQ(countOf(shown[2], "<div"), countOf(shown[2], "</div>")) << "unclosed division";
    }
}

TEST(LoggerTree, VeryDeepUnbalancedNestingRendersAndFrees) {
    // A caller that forgets LeaveContext in a loop must not exhaust the
    // stack when the log is rendered or destroyed.
    const uint32_t levels = 200000;
    auto log = std::make_unique<Logger>();
    for (uint32_t i = 0; i < levels; ++i) log->EnterContext("d", true);
    log->LogInfo("bottom");
    EXPECT_EQ(log->contextDepth(), levels + 1);
    const std::string x = xml(*log);
    EXPECT_EQ(countOf(x, "<d>\r\n"), levels);
    EXPECT_EQ(countOf(x, "</d>\r\n"), levels);
    EXPECT_NE(x.find("<d>\r\n<info>bottom</info>\r\n</d>\r\n"), npos);
    StringBuffer text;
    log->GetText(text);
    EXPECT_GT(text.length(), levels);
    log->ClearLog();
    EXPECT_EQ(xml(*log), underRoot(""));
    for (uint32_t i = 0; i < levels; ++i) log->EnterContext("d", true);
    log.reset();  // the destructor, with a deep tree
}

TEST(LoggerData, TickCountsSystemErrorsAndTheNullLog) {
    Logger log;
    const uint32_t before = platform::tickCount();
    ASSERT_TRUE(log.LogTickCount("start tick"));
    const uint32_t after = platform::tickCount();
    EXPECT_FALSE(log.LogTickCount("  "));
    const std::string v = data(log, "start_tick");
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.find_first_not_of("0123456789abcdef"), npos) << v;
    // Unsigned differences survive the wrap at 2^32.
    EXPECT_LE(static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 16)) - before, after - before);
    EXPECT_EQ(entries(log).size(), 2u);
    // System errors: the system's text under one name; code 0 logs nothing.
    EXPECT_TRUE(log.LogWindowsError(0));
    ASSERT_TRUE(log.LogWindowsError(2));
    EXPECT_EQ(data(log, "WindowsError"), platform::systemErrorText(2));
    EXPECT_EQ(entries(log).size(), 3u);
    LogNull none;  // keeps nothing and refuses nothing
    EXPECT_TRUE(none.LogTickCount("  ") && none.LogWindowsError(2) && none.SaveLastError(0, ""));
}

// ------------------------------------------------------------ XML escapes

// What an XML reader sees of a written text: the sections joined, line ends as LF.
std::string asRead(const std::string& written) {
    std::string s = written;
    if (s.rfind("<![CDATA[", 0) == 0) {
        s = s.substr(9, s.size() - 12);
        for (size_t at; (at = s.find("]]><![CDATA[")) != npos;) s.erase(at, 12);
    }
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        out += s[i] == '\r' ? '\n' : s[i];
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
    }
    return out;
}

// Every vector of xml_escapes.tsv in one log: its XML holds the written forms,
// and Python's XML parser reads the saved file back as logged, escapes aside:
// well-formed, with exactly the elements the log wrote.
TEST(LoggerXml, TextsAndNamesAreWrittenAsTheVectorsSayAndPythonReadsThemBack) {
    Logger log;
    std::string want;
    struct Element {
        std::string tag, text, tail;  // as an XML reader gives them
    };
    std::vector<Element> read = {{"BrenvikLog", "\n", ""}};
    for (const std::string& line : dataLines("diag/xml_escapes.tsv")) {
        const std::vector<std::string> f = tabFields(line);
        ASSERT_EQ(f.size(), 4u) << line;
        const std::string &logged = f[2], &w = f[3], r = asRead(w);
        if (f[0] == "text") {
            log.LogError(logged.c_str());
            log.LogData("v", logged.c_str());
            log.LogRaw(logged.c_str());
            log.LogInfo(logged.c_str());
            want += "<error>" + w + "</error>\r\n<v>" + w + "</v>\r\n" + w + "\r\n<info>" + w +
                    "</info>\r\n";
            read.insert(read.end(),
                        {{"error", r, "\n"}, {"v", r, "\n" + r + "\n"}, {"info", r, "\n"}});
            continue;
        }
        // LogData trims names and turns blanks into "_" before this.
        const bool plain = !logged.empty() && logged.find(' ') == npos;
        log.EnterContext(logged.c_str(), true);
        EXPECT_EQ(plain && log.LogData(logged.c_str(), "v"), plain) << f[1];
        log.LeaveContext();
        want +=
            "<" + w + ">\r\n" + (plain ? "<" + w + ">v</" + w + ">\r\n" : "") + "</" + w + ">\r\n";
        read.push_back({w, "\n", "\n"});
        if (plain) read.push_back({w, "v", "\n"});
    }
    EXPECT_GT(read.size(), 120u);
    EXPECT_EQ(xml(log), underRoot(want));
#ifndef _WIN32
    if (!log_xml::pythonPresent()) GTEST_SKIP() << "no /usr/bin/python3";
    const ScratchDir dir;
    const std::string file = dir.name("log.xml");
    ASSERT_TRUE(log.SaveLastError(0, file.c_str()));
    std::vector<log_xml::Element> got;
    std::string report;
    ASSERT_TRUE(
        log_xml::read(SMTP_SOURCE_DIR "/tests/integration/check_log_xml.py", file, got, report))
        << report;
    ASSERT_EQ(got.size(), read.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(std::to_string(i) + ": " + read[i].tag);
        EXPECT_EQ(got[i].tag, read[i].tag);
        EXPECT_EQ(got[i].text, read[i].text);
        EXPECT_EQ(i ? got[i].tail : "", read[i].tail);  // the root's tail is the last line end
    }
#endif
}

// ---------------------------------------------------------------- threads

TEST(LoggerThreads, WritersContextsAndAReaderAtOnceLoseNothing) {
    Logger log;
    const int n = 10000;
    std::atomic<bool> done{false};
    std::atomic<int> renders{0}, malformed{0};
    // The reader must always see a complete document.
    std::thread reader([&] {
        for (; !done; ++renders) {
            const std::string x = xml(log);
            malformed += x.rfind("<BrenvikLog>\r\n", 0) != 0 || x.size() < 15 ||
                         x.compare(x.size() - 15, 15, "</BrenvikLog>\r\n") != 0;
        }
    });
    auto values = [&](const char* name) {
        for (int i = 0; i < n; ++i) {
            log.LogInfo("tick");
            log.LogDataLong(name, i);
        }
    };
    // Contexts of two threads interleave arbitrarily; pruning removes only
    // empty ones, so no entry may go missing.
    auto contexts = [&](const char* ctx) {
        for (int i = 0; i < n; ++i) {
            log.EnterContext(ctx, true);
            log.LogInfo("work");
            log.EnterContext("inner", true);
            log.LeaveContext();
            log.LeaveContext();
        }
    };
    std::thread a(values, "first"), b(values, "second"), c(contexts, "A"), d(contexts, "B");
    for (std::thread* t : {&a, &b, &c, &d}) t->join();
    done = true;
    reader.join();
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_GT(renders.load(), 0);
    EXPECT_EQ(log.contextDepth(), 1u);
    const std::string x = xml(log);
    EXPECT_EQ(countOf(x, "<info>tick</info>"), 2u * n);
    EXPECT_EQ(countOf(x, "<info>work</info>"), 2u * n);
    EXPECT_EQ(countOf(x, "<first>"), static_cast<size_t>(n));
    EXPECT_EQ(countOf(x, "<second>"), static_cast<size_t>(n));
    // Each thread's own values arrive in its order.
    EXPECT_LT(x.find("<first>10</first>"), x.find("<first>11</first>"));
    EXPECT_NE(x.find("<second>" + std::to_string(n - 1) + "</second>"), npos);
}

TEST(LoggerThreads, ClearWhileWritingLeavesAUsableLog) {
    Logger log;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) {
            log.EnterContext("Op", true);
            log.LogDataInt64("n", -1);
            log.LeaveContext();
        }
    });
    for (int i = 0; i < 500; ++i) log.ClearLog();
    stop = true;
    writer.join();
    log.ClearLog();
    EXPECT_EQ(log.contextDepth(), 1u);
    log.LogInfo("after");
    EXPECT_EQ(xml(log), underRoot("<info>after</info>\r\n"));
}

// ------------------------------------------------------- the error file

class SaveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        log.EnterContext("SendEmail", true);
        log.LogData("DllDate", kDllDate);
        log.LogInfo(
            "Gr\xC3\xBC\xC3\x9F"
            "e");
        log.LogError("Failed to connect to SMTP server.");
        log.LogData("reply", "550 no\r\n");
        log.LeaveContext();
    }
    const ScratchDir dir;
    Logger log;
};

TEST_F(SaveTest, WritesExactlyTheXmlBytesOverALongerFile) {
    const std::string p = dir.name("smtp_errors.xml"), before = xml(log);
    std::ofstream(p, std::ios::binary) << std::string(20000, 'z');
    ASSERT_TRUE(log.SaveLastError(7, p.c_str()));  // the first word means nothing
    // No byte-order mark, texts keep their bytes, nothing of the old file is left.
    EXPECT_EQ(readFile(p), before);
    ASSERT_TRUE(log.SaveLastError(0, p.c_str()));
    EXPECT_EQ(readFile(p), before);
    EXPECT_EQ(xml(log), before) << "saving leaves the log alone";
    EXPECT_EQ(log.contextDepth(), 1u);
    Logger fresh;
    ASSERT_TRUE(fresh.SaveLastError(0, p.c_str()));
    EXPECT_EQ(readFile(p), underRoot(""));
}

TEST_F(SaveTest, UnwritablePathsFailAndTheObjectTrimsItsPath) {
    const std::string before = xml(log), asDir = dir.path.string(),
                      deep = dir.name("missing/sub/x.xml");
    for (const char* p : {asDir.c_str(), deep.c_str(), "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(log.SaveLastError(0, p)) << (p ? p : "null");
    // A device that accepts the open but refuses every byte.
    EXPECT_FALSE(fs::exists("/dev/full") && log.SaveLastError(0, "/dev/full"));
    EXPECT_EQ(xml(log), before);
    ClsBase obj;
    obj.log().LogInfo("from the object");
    for (const char* p : {static_cast<const char*>(nullptr), "", "   ", "\t\r\n", asDir.c_str()})
        EXPECT_FALSE(obj.SaveLastError(p)) << (p ? p : "null");
    EXPECT_TRUE(fs::is_empty(dir.path));
    const std::string p = dir.name("name.xml");
    ASSERT_TRUE(obj.SaveLastError(("  \t" + p + " \r\n").c_str()));
    EXPECT_EQ(readFile(p), underRoot("<info>from the object</info>\r\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1)
        << "only the trimmed name";
}

}  // namespace
