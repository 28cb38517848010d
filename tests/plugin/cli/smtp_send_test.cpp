// smtp-send run as a user runs it: a separate process, its exit status and
// what it prints.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status = -1;     // exit status, or -1 when the program did not exit normally
    std::string output;  // stdout and stderr together
};

// Runs smtp-send with the arguments in the directory cwd.
ToolRun runTool(const std::vector<std::string>& args, const std::string& cwd) {
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
        argv.push_back(const_cast<char*>(SMTP_SEND_PATH));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(SMTP_SEND_PATH, argv.data());
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

std::string closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = 1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return std::to_string(port);
}

class SmtpSend : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string t = (std::filesystem::temp_directory_path() / "smtp_send_cli.XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    ToolRun run(const std::vector<std::string>& args) { return runTool(args, dir); }
    std::vector<std::string> deadServer() { return {"--server", "127.0.0.1:" + closedPort()}; }

    std::string dir;
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
    const std::string file = (std::filesystem::canonical(dir) / "smtp_errors.xml").string();
    EXPECT_TRUE(has(r.output, file)) << r.output;
    EXPECT_TRUE(has(r.output, "<SendEmail>")) << r.output;
    EXPECT_TRUE(has(r.output, "<To>eve@example.com</To>")) << r.output;
    EXPECT_FALSE(has(r.output, "Top-S3cret")) << r.output;
    EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(SmtpSend, MissingAttachmentStopsBeforeSending) {
    std::vector<std::string> args = deadServer();
    for (const char* a :
         {"--from", "a@example.com", "--to", "b@example.com", "--attach", "nope.txt"})
        args.push_back(a);
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.output, "ERROR_FILE_NOT_FOUND")) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir + "/smtp_errors.xml"));
}

TEST_F(SmtpSend, Utf8ArgumentsReachThePlugin) {
    // Found only if the UTF-8 argument survives the trip to a wide string and back.
    const std::string name = "r\xC3\xA9sum\xC3\xA9-\xF0\x9F\x93\x8E.txt";
    std::ofstream(dir + "/" + name) << "cv\n";
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
