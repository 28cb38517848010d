#include "platform/system_error.h"

#include <windows.h>

namespace platform {

std::string systemErrorText(unsigned code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
        nullptr);
    std::string s = (n && text) ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    // System messages end in CR LF.
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
        s.pop_back();
    return s;
}

}  // namespace platform
