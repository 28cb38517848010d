#include "platform/identity.h"

#include <mutex>

namespace platform {
namespace {
std::mutex g_pinLock;
bool g_pinned = false;
std::string g_pinnedName;
}  // namespace

bool userName(std::string& out) {
    {
        std::lock_guard<std::mutex> guard(g_pinLock);
        if (g_pinned) {
            out = g_pinnedName;
            return !out.empty();
        }
    }
    return systemUserName(out);
}

void setUserNameForTesting(const char* name) {
    std::lock_guard<std::mutex> guard(g_pinLock);
    g_pinned = name != nullptr;
    g_pinnedName = name ? name : "";
}

}  // namespace platform
