// smtp-send run as a user runs it: a separate process, its exit status and
// what it prints, as tests/data/plugin/smtp_send.txt says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/command.h"  // POSIX only
#include "plugin/case_file.h"
#include "plugin/host_env.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;     // exit status, or -1 when the program did not exit normally
    std::string output;  // stdout and stderr together
};

#if defined(_WIN32)
// Runs smtp-send with the arguments (UTF-8) in the current directory.
ToolRun runTool(const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {};
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    const std::wstring exe = host_env::builtFile(SMTP_SEND_PATH).wstring();
    std::wstring line;
    for (size_t i = 0; i <= args.size(); ++i) {
        // Quoted so that CommandLineToArgvW gives each argument back unchanged:
        // backslashes before a quote are doubled, and the quote escaped.
        std::wstring arg = exe;
        if (i > 0) {
            const std::string& a = args[i - 1];
            arg.resize(a.size());  // UTF-16 never needs more units than UTF-8 has bytes
            arg.resize(MultiByteToWideChar(CP_UTF8, 0, a.data(), static_cast<int>(a.size()),
                                           arg.data(), static_cast<int>(arg.size())));
        }
        line += i == 0 ? L"\"" : L" \"";
        size_t backslashes = 0;
        for (wchar_t c : arg) {
            if (c == L'"') line.append(backslashes + 1, L'\\');
            backslashes = c == L'\\' ? backslashes + 1 : 0;
            line += c;
        }
        line.append(backslashes, L'\\');  // they precede the closing quote
        line += L'"';
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);  // the child holds the only writer now
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    ToolRun r;
    if (!started) r.output = "CreateProcessW failed with error " + std::to_string(GetLastError());
    char buf[4096];
    DWORD n = 0;
    while (started && ReadFile(readEnd, buf, sizeof(buf), &n, nullptr) && n > 0)
        r.output.append(buf, n);
    CloseHandle(readEnd);
    if (!started) return r;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}
#else
// Runs smtp-send with the arguments in the current directory.
ToolRun runTool(const std::vector<std::string>& args) {
    std::vector<std::string> command = {host_env::builtFile(SMTP_SEND_PATH).string()};
    command.insert(command.end(), args.begin(), args.end());
    ToolRun r;
    r.status = smtp_integration::runCommand(command, r.output);
    return r;
}
#endif

class SmtpSend : public ::testing::TestWithParam<case_file::Case> {
  protected:
    // A word as text, with {closed}, {dir} and {errors} filled in.
    std::string word(const std::string& w) {
        return case_file::fill<std::string>(
            case_file::bytes(w),
            {{"{closed}", std::to_string(host_env::closedLoopbackPort())},
             {"{dir}", host_env::utf8Of(m_dir)},
             {"{errors}", host_env::utf8Of(fs::canonical(m_dir) / "smtp_errors.xml")}});
    }
    host_env::ScratchDir m_scratch;
    const fs::path& m_dir = m_scratch.path();
};

TEST_P(SmtpSend, Runs) {
    ToolRun r;
    for (const auto& [number, w] : GetParam().steps) {
        SCOPED_TRACE("line " + std::to_string(number));
        if (w[0] == "write") {
            std::ofstream(m_dir / host_env::utf8Path(word(w[1])), std::ios::binary) << word(w[2]);
        } else if (w[0] == "run") {
            std::vector<std::string> args;
            for (size_t i = 1; i < w.size(); ++i) args.push_back(word(w[i]));
            r = runTool(args);  // the scratch directory is the current one
        } else if (w[0] == "status") {
            EXPECT_EQ(r.status, std::stoi(w[1])) << r.output;
        } else if (w[0] == "out") {
            case_file::find(r.output, w, [this](const std::string& t) { return word(t); });
        } else if (w[0] == "cut") {
            const size_t from = r.output.find(word(w[1]));
            ASSERT_NE(from, std::string::npos) << r.output;
            r.output = r.output.substr(from, r.output.find(word(w[2]), from) - from);
        } else if (w[0] == "exists" || w[0] == "absent") {
            EXPECT_EQ(fs::exists(m_dir / host_env::utf8Path(word(w[1]))), w[0] == "exists") << w[1];
        } else {
            FAIL() << "unknown step " << w[0];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpSend, ::testing::ValuesIn(case_file::load("smtp_send.txt")),
                         case_file::kCaseName);

}  // namespace
