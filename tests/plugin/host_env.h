#pragma once
// What host-side tests need from the system, on Linux and Windows alike.
// Tests are hosts, so they may call the system directly; the engine may not.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
// windows.h only after winsock2.h (this comment keeps sorting from swapping them).
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
#ifdef SMTP_PLUGIN_PATH
#include "plugin/email_interface.h"
#endif
#include "support/scratch.h"

namespace host_env {

namespace fs = std::filesystem;

// A TCP port on 127.0.0.1 that refuses connections: bound, never listened
// on or released, so no other program takes it while a test expects that.
inline int closedLoopbackPort() {
    static const int port = [] {
#if defined(_WIN32)
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        // Child processes need not hold the port too.
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        int len = sizeof(sockaddr_in);
#else
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t len = sizeof(sockaddr_in);
#endif
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::fprintf(stderr, "cannot reserve a loopback port\n");
            std::abort();
        }
        return static_cast<int>(ntohs(addr.sin_port));
    }();
    return port;
}

// A path from UTF-8 text, whatever the platform's narrow encoding is, and back.
inline fs::path utf8Path(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8Of(const fs::path& p) {
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

// ASCII test text as the interface's wide text, and an answer of the
// interface as ASCII ('?' for any other character): enough for the codes,
// names, ports and paths the tests use.
inline std::wstring wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}
inline std::string narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w) s += *w < 0x80 ? static_cast<char>(*w) : '?';
    return s;
}

// A path given at build time. On Windows, where the build's Unix paths mean
// nothing, a relative one names a file next to the test program.
inline fs::path builtFile(const char* configured) {
    fs::path p = utf8Path(configured);
#if defined(_WIN32)
    std::wstring buf(32768, L'\0');
    buf.resize(GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size())));
    p = fs::path(buf).parent_path() / p;  // an absolute p stays as it is
#endif
    return p;
}

// A scratch directory (the current one while it lives) whose files are
// named in UTF-8, whatever the platform's narrow encoding is.
struct ScratchDir : testsupport::ScratchDir {
    fs::path file(const std::string& name) const { return path / utf8Path(name); }
    std::string read(const std::string& name) const {  // empty when missing
        return testsupport::readFile(file(name));
    }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
    }
};

#ifdef SMTP_PLUGIN_PATH

// A symbol of the module at SMTP_PLUGIN_PATH, loaded once and never
// unloaded, as most hosts do.
inline void* findSymbol(const char* name) {
    static const auto module = [] {
        const fs::path path = builtFile(SMTP_PLUGIN_PATH);
#if defined(_WIN32)
        // The full path, so that no other smtp_plugin.dll on the search path is taken.
        HMODULE h = LoadLibraryW(path.wstring().c_str());
#else
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
        if (!h) {
            std::fprintf(stderr, "cannot load %s\n", utf8Of(path).c_str());
            std::abort();
        }
        return h;
    }();
#if defined(_WIN32)
    // FARPROC to a data pointer: GCC wants the detour through an integer.
    return reinterpret_cast<void*>(reinterpret_cast<intptr_t>(GetProcAddress(module, name)));
#else
    return dlsym(module, name);
#endif
}

// One plug-in instance, destroyed through slot 1 as a GCC or Clang host does.
using Plugin = std::unique_ptr<email_interface, PDL::Releaser>;

inline Plugin create() {
    auto factory = reinterpret_cast<Createsmtp_plugin_fn>(findSymbol("Createsmtp_plugin"));
    Plugin m(factory ? factory() : nullptr);
    if (!m) {
        std::fprintf(stderr, "Createsmtp_plugin missing or returned null\n");
        std::abort();
    }
    return m;
}
#endif

}  // namespace host_env
