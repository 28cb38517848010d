#include "platform/threads.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

struct Start {
    void (*fn)(void*);
    void* arg;
};

DWORD WINAPI threadEntry(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    return 0;
}

}  // namespace

bool startDetachedThread(void (*fn)(void*), void* arg) {
    Start* s = new (std::nothrow) Start{fn, arg};
    if (!s) return false;
    HANDLE h = CreateThread(nullptr, 0, threadEntry, s, 0, nullptr);
    if (!h) {
        delete s;
        return false;
    }
    // Nobody waits for the thread; it ends on its own.
    CloseHandle(h);
    return true;
}

}  // namespace platform
