#include "host_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "host_env.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

namespace host_test {
namespace {

// Loaded once per test program and never unloaded, as most hosts do.
#if defined(_WIN32)
HMODULE module() {
    static HMODULE handle = [] {
        const fs::path path = host_env::builtFile(SMTP_PLUGIN_PATH);
        // The full path, so that no other smtp_plugin.dll on the search path
        // is picked up instead.
        HMODULE h = LoadLibraryW(path.wstring().c_str());
        if (!h) {
            std::fprintf(stderr, "cannot load %s: error %lu\n", host_env::utf8Of(path).c_str(),
                         static_cast<unsigned long>(GetLastError()));
            std::abort();
        }
        return h;
    }();
    return handle;
}

void* lookUp(const char* name) {
    // FARPROC to a data pointer: GCC wants the detour through an integer.
    return reinterpret_cast<void*>(reinterpret_cast<intptr_t>(GetProcAddress(module(), name)));
}
#else
void* module() {
    static void* handle = [] {
        const fs::path path = host_env::builtFile(SMTP_PLUGIN_PATH);
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
            std::abort();
        }
        return h;
    }();
    return handle;
}

void* lookUp(const char* name) {
    return dlsym(module(), name);
}
#endif

}  // namespace

Createsmtp_plugin_fn factory() {
    auto fn = reinterpret_cast<Createsmtp_plugin_fn>(lookUp("Createsmtp_plugin"));
    if (!fn) {
        std::fprintf(stderr, "Createsmtp_plugin not exported\n");
        std::abort();
    }
    return fn;
}

void* findSymbol(const char* name) {
    return lookUp(name);
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
    return std::to_wstring(host_env::closedLoopbackPort());
}

ScratchDir::ScratchDir() {
    m_previous = fs::current_path();
    m_path = host_env::makeScratchDir("smtp_plugin_host");
    fs::current_path(m_path);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::current_path(m_previous, ec);
    fs::remove_all(m_path, ec);
}

std::wstring ScratchDir::widePath() const {
    return m_path.wstring();
}

std::string ScratchDir::read(const std::string& name) const {
    std::ifstream in(m_path / host_env::utf8Path(name), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ScratchDir::exists(const std::string& name) const {
    return fs::exists(m_path / host_env::utf8Path(name));
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(m_path / host_env::utf8Path(name), std::ios::binary);
    out << content;
}

}  // namespace host_test
