#include "platform/system_error.h"

#include <string.h>

namespace platform {

std::string systemErrorText(unsigned code) {
    char buf[512] = {0};
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(static_cast<int>(code), buf, sizeof(buf));
    std::string s = text ? text : "";
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
        s.pop_back();
    return s;
}

}  // namespace platform
