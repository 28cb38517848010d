#include "platform/clock.h"

#include <mutex>

namespace platform {
namespace {
std::mutex g_pinLock;
bool g_pinned = false;
LocalTime g_pinnedTime;
}  // namespace

LocalTime localTimeNow() {
    {
        std::lock_guard<std::mutex> guard(g_pinLock);
        if (g_pinned) return g_pinnedTime;
    }
    return systemLocalTimeNow();
}

void setLocalTimeForTesting(const LocalTime* pinned) {
    std::lock_guard<std::mutex> guard(g_pinLock);
    g_pinned = pinned != nullptr;
    if (pinned) g_pinnedTime = *pinned;
}

}  // namespace platform
