#include "platform/identity.h"

#include <windows.h>

namespace platform {

bool systemUserName(std::string& out) {
    out.clear();
    char buf[400] = {0};
    DWORD n = sizeof(buf);
    if (!GetUserNameA(buf, &n)) return false;
    out = buf;
    return !out.empty();
}

bool computerName(std::string& out) {
    out.clear();
    char buf[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD n = sizeof(buf);
    if (!GetComputerNameA(buf, &n)) return false;
    out = buf;
    return !out.empty();
}

}  // namespace platform
