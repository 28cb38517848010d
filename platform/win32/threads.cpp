#include "platform/threads.h"

#include <windows.h>

#include <cstdint>
#include <new>

namespace platform {
namespace {

struct Start {
    void (*fn)(void*);
    void* arg;
    HMODULE self;  // the module this code lives in, held for the thread
};

// The thread holds a reference to the module whose code it runs, and drops
// it in the same call that ends the thread: a host that unloads the module
// while the thread still runs (a slow name lookup) does not pull the code
// out from under it, and nothing of the module runs after the last release.
DWORD WINAPI threadEntry(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    FreeLibraryAndExitThread(s.self, 0);
    return 0;  // not reached
}

}  // namespace

bool startDetachedThread(void (*fn)(void*), void* arg) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<intptr_t>(&threadEntry)),
                            &self))
        return false;
    Start* s = new (std::nothrow) Start{fn, arg, self};
    HANDLE h = s ? CreateThread(nullptr, 0, threadEntry, s, 0, nullptr) : nullptr;
    if (!h) {
        delete s;
        FreeLibrary(self);
        return false;
    }
    // Nobody waits for the thread; it ends on its own.
    CloseHandle(h);
    return true;
}

}  // namespace platform
