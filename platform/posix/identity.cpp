#include "platform/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <vector>

namespace platform {

bool systemUserName(std::string& out) {
    out.clear();
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found ||
        !found->pw_name)
        return false;
    out = found->pw_name;
    return !out.empty();
}

bool computerName(std::string& out) {
    out.clear();
    char host[256] = {0};
    if (gethostname(host, sizeof(host) - 1) != 0) return false;
    for (const char* p = host; *p && *p != '.' && out.size() < 15; ++p)
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    return !out.empty();
}

}  // namespace platform
