#include "platform/identity.h"

#include <mutex>

#include "platform/sockets.h"

namespace platform {
namespace {
std::mutex g_pinLock;
bool g_pinned = false;
std::string g_pinnedName;
}  // namespace

bool userName(std::string& out) {
    // Every send logs it: the system is asked once per process.
    static std::string s_known;
    std::lock_guard<std::mutex> guard(g_pinLock);
    if (g_pinned) {
        out = g_pinnedName;
        return !out.empty();
    }
    if (s_known.empty() && !systemUserName(s_known)) s_known.clear();
    out = s_known;
    return !out.empty();
}

bool localHostName(std::string& out, int& err) {
    static std::mutex s_lock;
    static std::string s_known;
    std::lock_guard<std::mutex> guard(s_lock);
    if (s_known.empty() && !systemHostName(s_known, err)) {
        s_known.clear();
        out.clear();
        return false;
    }
    out = s_known;
    return true;
}

void setUserNameForTesting(const char* name) {
    std::lock_guard<std::mutex> guard(g_pinLock);
    g_pinned = name != nullptr;
    g_pinnedName = name ? name : "";
}

}  // namespace platform
