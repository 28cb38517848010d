#include "platform/threads.h"

#include <system_error>
#include <thread>

namespace platform {

bool startDetachedThread(void (*fn)(void*), void* arg) {
    try {
        std::thread(fn, arg).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace platform
