// smtp-send run as a user runs it: a separate process, its exit status and
// what it prints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../host_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;     // exit status, or -1 when the program did not exit normally
    std::string output;  // stdout and stderr together
};

const fs::path& toolPath() {
    static const fs::path path = host_env::builtFile(SMTP_SEND_PATH);
    return path;
}

#if defined(_WIN32)
std::wstring wideFromUtf8(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');  // they precede the closing quote
    line += L'"';
}

// Runs smtp-send with the arguments in the directory cwd.
ToolRun runTool(const std::vector<std::string>& args, const fs::path& cwd) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    std::wstring line;
    appendQuoted(line, toolPath().wstring());
    for (const auto& a : args) {
        line += L' ';
        appendQuoted(line, wideFromUtf8(a));
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    const std::wstring exe = toolPath().wstring(), dir = cwd.wstring();
    BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, dir.c_str(), &si, &pi);
    CloseHandle(writeEnd);  // the child holds the only writer now
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    ToolRun r;
    if (!started) {
        r.output = "CreateProcessW failed with error " + std::to_string(GetLastError());
        CloseHandle(readEnd);
        return r;
    }
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof(buf), &n, nullptr) && n > 0) r.output.append(buf, n);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}
#else
// Runs smtp-send with the arguments in the directory cwd.
ToolRun runTool(const std::vector<std::string>& args, const fs::path& cwd) {
    const std::string exe = toolPath().string();
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    ToolRun r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) r.output.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    return r;
}
#endif

std::string closedPort() {
    return std::to_string(host_env::closedLoopbackPort());
}

class SmtpSend : public ::testing::Test {
  protected:
    void SetUp() override { dir = host_env::utf8Of(host_env::makeScratchDir("smtp_send_cli")); }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(host_env::utf8Path(dir), ec);
    }
    ToolRun run(const std::vector<std::string>& args) {
        return runTool(args, host_env::utf8Path(dir));
    }
    std::vector<std::string> deadServer() { return {"--server", "127.0.0.1:" + closedPort()}; }

    std::string dir;  // UTF-8
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(SmtpSend, HelpDocumentsEveryOption) {
    ToolRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--server", "--user", "--password", "--from", "--to", "--cc", "--bcc",
                            "--subject", "--body", "--html", "--attach", "--module", "--help"})
        EXPECT_TRUE(has(r.output, opt)) << opt;
    EXPECT_TRUE(has(r.output, "Exit status"));
}

TEST_F(SmtpSend, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},                                   // nothing to send
        {"--to", "b@example.com"},            // no sender
        {"--from", "a@example.com"},          // no recipient
        {"--from", "a@example.com", "--to"},  // missing value
        {"--from", "a@example.com", "--to", "b@x", "--bogus", "1"},
        {"--from", "a@example.com", "--to", ""},  // empty recipient
        {"--from", "a@example.com", "--to", "b@x", "--server", "host:abc"},
        {"--from", "a@example.com", "--to", "b@x", "--server", "host:0"},
        {"--from", "a@example.com", "--to", "b@x", "--server", "host:70000"},
        {"--from", "a@example.com", "--to", "b@x", "--server", ":25"},
    };
    for (const auto& args : cases) {
        ToolRun r = run(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.output;
        EXPECT_TRUE(has(r.output, "smtp-send:")) << shown;
    }
}

TEST_F(SmtpSend, MissingModuleIsReported) {
    ToolRun r =
        run({"--module", dir + "/nope.so", "--from", "a@example.com", "--to", "b@example.com"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.output, "cannot load")) << r.output;
}

TEST_F(SmtpSend, FailedSendPrintsCodeAndTheSavedLog) {
    std::vector<std::string> args = deadServer();
    for (const char* a :
         {"--user", "alice", "--password", "Top-S3cret", "--from", "a@example.com", "--to",
          "bob@example.com", "--to=eve@example.com", "--cc", "carol@example.com", "--subject", "Hi",
          "--body", "text", "--html", "<b>x</b>"})
        args.push_back(a);
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(has(r.output, "ERROR_SEND_FAILED")) << r.output;
    const fs::path file = fs::canonical(host_env::utf8Path(dir)) / "smtp_errors.xml";
    EXPECT_TRUE(has(r.output, host_env::utf8Of(file))) << r.output;
    EXPECT_TRUE(has(r.output, "<SendEmail>")) << r.output;
    EXPECT_TRUE(has(r.output, "<To>eve@example.com</To>")) << r.output;
    EXPECT_FALSE(has(r.output, "Top-S3cret")) << r.output;
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(SmtpSend, WithoutServerPrintsWhatTheCaptureServerReceived) {
    std::ofstream(host_env::utf8Path(dir + "/notes.txt")) << "attached text\n";
    ToolRun r = run({"--from", "a@example.com", "--to", "b@example.com", "--cc", "c@example.com",
                     "--bcc", "hidden@example.com", "--subject", "Status report", "--body",
                     "First line\nsecond line", "--attach", "notes.txt", "--user", "alice",
                     "--password", "Cli-Secret-9"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(has(r.output, "(embedded capture server)")) << r.output;
    const size_t envelope = r.output.find("---- envelope\n");
    const size_t message = r.output.find("---- message (");
    const size_t end = r.output.find("---- end");
    ASSERT_NE(envelope, std::string::npos) << r.output;
    ASSERT_NE(message, std::string::npos) << r.output;
    ASSERT_NE(end, std::string::npos) << r.output;
    const std::string env = r.output.substr(envelope, message - envelope);
    const std::string text = r.output.substr(message, end - message);
    EXPECT_EQ(env,
              "---- envelope\nAUTH as alice\nMAIL FROM:<a@example.com>\nRCPT TO:<b@example.com>\n"
              "RCPT TO:<c@example.com>\nRCPT TO:<hidden@example.com>\n");
    EXPECT_TRUE(has(text, "\r\nSubject: Status report\r\n")) << text;
    EXPECT_TRUE(has(text, "\r\nCc: c@example.com\r\n")) << text;
    EXPECT_TRUE(has(text, "First line")) << text;
    EXPECT_TRUE(has(text, "filename=\"notes.txt\"")) << text;
    EXPECT_FALSE(has(text, "hidden@")) << text;
    EXPECT_FALSE(has(r.output, "Cli-Secret-9")) << r.output;
    EXPECT_FALSE(fs::exists(host_env::utf8Path(dir + "/smtp_errors.xml")));
}

TEST_F(SmtpSend, UserWithoutPasswordSendsWithoutLogin) {
    // No password means no login: the embedded server offers none.
    ToolRun ok = run({"--from", "a@example.com", "--to", "b@example.com", "--user", "alice"});
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_FALSE(has(ok.output, "AUTH as")) << ok.output;
}

TEST_F(SmtpSend, MissingAttachmentStopsBeforeSending) {
    std::vector<std::string> args = deadServer();
    for (const char* a :
         {"--from", "a@example.com", "--to", "b@example.com", "--attach", "nope.txt"})
        args.push_back(a);
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.output, "ERROR_FILE_NOT_FOUND")) << r.output;
    EXPECT_FALSE(fs::exists(host_env::utf8Path(dir + "/smtp_errors.xml")));
}

TEST_F(SmtpSend, Utf8ArgumentsReachThePlugin) {
    // Found only if the UTF-8 argument survives the trip to a wide string and back.
    const std::string name = "r\xC3\xA9sum\xC3\xA9-\xF0\x9F\x93\x8E.txt";
    std::ofstream(host_env::utf8Path(dir + "/" + name)) << "cv\n";
    std::vector<std::string> args = deadServer();
    for (const char* a : {"--from", "a@example.com", "--to", "b@example.com", "--subject",
                          "\xE2\x82\xAC \xFF\xC3 broken \xED\xA0\x80", "--attach"})
        args.push_back(a);
    args.push_back(name);
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_FALSE(has(r.output, "ERROR_FILE_NOT_FOUND")) << r.output;
    EXPECT_TRUE(has(r.output, "ERROR_SEND_FAILED")) << r.output;
}

}  // namespace
