#include "platform/files.h"

#include <sys/stat.h>
#include <windows.h>

#include <string>

namespace platform {
namespace {

HANDLE handleOf(intptr_t fd) {
    return reinterpret_cast<HANDLE>(fd);
}

// Paths arrive as UTF-8; bytes that are not UTF-8 are read in the ANSI code
// page, as a narrow Windows API would read them.
bool widePath(const char* s, std::wstring& out) {
    UINT cp = CP_UTF8;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0) {
        cp = CP_ACP;
        n = MultiByteToWideChar(cp, 0, s, -1, nullptr, 0);
    }
    if (n <= 0) return false;
    out.assign(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(cp, 0, s, -1, out.data(), n) != n) return false;
    out.resize(static_cast<size_t>(n) - 1);
    return true;
}

// ReadFile and WriteFile count in DWORDs.
DWORD chunk(size_t left) {
    return left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
}

}  // namespace

PathKind pathKind(const char* utf8Path) {
    std::wstring wide;
    if (!utf8Path || !widePath(utf8Path, wide)) return PathKind::Missing;
    struct _stat st;
    if (_wstat(wide.c_str(), &st) != 0) return PathKind::Missing;
    return (st.st_mode & 0x8000) ? PathKind::RegularFile : PathKind::Other;
}

File::~File() {
    close();
}

bool File::openRead(const char* utf8Path) {
    close();
    std::wstring wide;
    if (!utf8Path || !widePath(utf8Path, wide)) return false;
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_lastError = static_cast<int>(GetLastError());
        return false;
    }
    m_fd = reinterpret_cast<intptr_t>(h);
    return true;
}

bool File::createAlways(const char* utf8Path) {
    close();
    std::wstring wide;
    if (!utf8Path || !widePath(utf8Path, wide)) return false;
    // Saved files may be named with forward slashes; Windows wants backslashes.
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    // No sharing: nobody reads a half-written file.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_lastError = static_cast<int>(GetLastError());
        return false;
    }
    m_fd = reinterpret_cast<intptr_t>(h);
    return true;
}

bool File::size(uint64_t& out) const {
    LARGE_INTEGER li;
    if (m_fd < 0 || !GetFileSizeEx(handleOf(m_fd), &li) || li.QuadPart < 0) return false;
    out = static_cast<uint64_t>(li.QuadPart);
    return true;
}

long long File::read(void* buf, size_t n) {
    if (m_fd < 0) return -1;
    size_t done = 0;
    char* p = static_cast<char*>(buf);
    while (done < n) {
        DWORD got = 0;
        if (!ReadFile(handleOf(m_fd), p + done, chunk(n - done), &got, nullptr)) {
            m_lastError = static_cast<int>(GetLastError());
            return done ? static_cast<long long>(done) : -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

long long File::write(const void* buf, size_t n) {
    if (m_fd < 0) return -1;
    size_t done = 0;
    const char* p = static_cast<const char*>(buf);
    while (done < n) {
        DWORD put = 0;
        if (!WriteFile(handleOf(m_fd), p + done, chunk(n - done), &put, nullptr)) {
            m_lastError = static_cast<int>(GetLastError());
            return done ? static_cast<long long>(done) : -1;
        }
        if (put == 0) break;
        done += put;
    }
    return static_cast<long long>(done);
}

void File::close() {
    if (m_fd >= 0) CloseHandle(handleOf(m_fd));
    m_fd = -1;
}

}  // namespace platform
