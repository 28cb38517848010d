#pragma once
// What host-side tests need from the operating system, on Linux and Windows
// alike: a loopback port that refuses connections, the directory of the
// running test program, and UTF-8 file names. Tests are hosts, so they may
// call the system directly; the engine may not.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#if defined(_WIN32)
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace host_env {

// A TCP port on 127.0.0.1 where connections are refused. The port is bound
// once per process and never listened on or released, so no other program
// can take it while a test expects a refusal.
inline int closedLoopbackPort() {
    static const int port = [] {
#if defined(_WIN32)
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return 1;
        // Child processes need not hold the port too.
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        using Length = int;
#else
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return 1;
        using Length = socklen_t;
#endif
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        Length len = sizeof(addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::fprintf(stderr, "cannot reserve a loopback port\n");
            std::abort();
        }
        return static_cast<int>(ntohs(addr.sin_port));
    }();
    return port;
}

// A path from UTF-8 text, whatever the platform's narrow encoding is.
inline std::filesystem::path utf8Path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The path as UTF-8 text.
inline std::string utf8Of(const std::filesystem::path& p) {
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// The directory of the running program: where the build puts the module
// and the sample host next to the tests.
inline std::filesystem::path programDir() {
#if defined(_WIN32)
    std::wstring buf(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    buf.resize(n);
    return std::filesystem::path(buf).parent_path();
#else
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
#endif
}

// A path given at build time; a relative one names a file next to the
// test program (on Windows the build's Unix paths mean nothing to the
// program, so the build passes file names there).
inline std::filesystem::path builtFile(const char* configured) {
    std::filesystem::path p = utf8Path(configured);
    return p.is_relative() ? programDir() / p : p;
}

// Creates a new, empty directory under the system's temporary directory.
inline std::filesystem::path makeScratchDir(const char* prefix) {
    namespace fs = std::filesystem;
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() /
                     (std::string(prefix) + "." + std::to_string(rd()) + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p;  // false when it already existed
    }
    std::fprintf(stderr, "cannot create a scratch directory\n");
    std::abort();
}

}  // namespace host_env
