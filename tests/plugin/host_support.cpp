#include "host_support.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace host_test {
namespace {

void* module() {
    static void* handle = [] {
        void* h = dlopen(SMTP_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "cannot load %s: %s\n", SMTP_PLUGIN_PATH, dlerror());
            std::abort();
        }
        return h;
    }();
    return handle;
}

}  // namespace

Createsmtp_plugin_fn factory() {
    auto fn = reinterpret_cast<Createsmtp_plugin_fn>(dlsym(module(), "Createsmtp_plugin"));
    if (!fn) {
        std::fprintf(stderr, "Createsmtp_plugin not exported\n");
        std::abort();
    }
    return fn;
}

void* findSymbol(const char* name) {
    return dlsym(module(), name);
}

Plugin::Plugin() : m_obj(factory()()) {
    if (!m_obj) {
        std::fprintf(stderr, "Createsmtp_plugin returned null\n");
        std::abort();
    }
}

std::wstring Plugin::takeError() {
    const wchar_t* p = m_obj->get_last_error();
    return p ? std::wstring(p) : std::wstring(L"<null pointer>");
}

std::wstring closedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    int port = 1;  // fallback: the tcpmux port is practically never served
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) ::close(fd);  // bound but never listening: connections are refused
    return std::to_wstring(port);
}

ScratchDir::ScratchDir() {
    m_previous = std::filesystem::current_path().string();
    std::string templ =
        (std::filesystem::temp_directory_path() / "smtp_plugin_host.XXXXXX").string();
    if (!mkdtemp(templ.data())) std::abort();
    m_path = templ;
    std::filesystem::current_path(m_path);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(m_previous, ec);
    std::filesystem::remove_all(m_path, ec);
}

std::string ScratchDir::read(const std::string& name) const {
    std::ifstream in(m_path + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ScratchDir::exists(const std::string& name) const {
    return std::filesystem::exists(m_path + "/" + name);
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(m_path + "/" + name, std::ios::binary);
    out << content;
}

}  // namespace host_test
