// The module's entry point, and what the module gives back when FreeLibrary
// unloads it. The link takes DllMain from this library before mingw's
// default one, since the DLL start-up code asks for DllMain first;
// programs never ask for it, so they do not link this file.
#include <windows.h>

#include <cstdlib>

namespace __gnu_cxx {
// libstdc++'s own release of its emergency exception pool (what valgrind
// calls at exit); the pool is malloc'ed when the runtime starts and has no
// destructor.
void __freeres();
}  // namespace __gnu_cxx

namespace {

// winpthread, linked statically for libstdc++'s threads, takes a TLS index
// the first time a thread needs its record (at load already: the unwinder
// locks a mutex to register the module's frames) and never frees it. The
// process has 1088 indexes: after about 1085 loads TlsAlloc fails and
// winpthread aborts the host. So every TlsAlloc of the module's code comes
// here, and the indexes go back at unload.
constexpr int kMostIndexes = 8;
volatile LONG g_indexes[kMostIndexes];  // index + 1, 0 for none

void freeIndexes() {
    for (volatile LONG& slot : g_indexes)
        if (const LONG taken = InterlockedExchange(&slot, 0))
            TlsFree(static_cast<DWORD>(taken - 1));
}

DWORD WINAPI moduleTlsAlloc() {
    // The system's by name, as the module's import of the name is this one;
    // not kept in a static, whose guard would lock through winpthread while
    // winpthread waits here for its index.
    const auto systemTlsAlloc = reinterpret_cast<DWORD(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TlsAlloc")));
    if (!systemTlsAlloc) return TLS_OUT_OF_INDEXES;
    const DWORD index = systemTlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return index;
    for (volatile LONG& slot : g_indexes) {
        if (InterlockedCompareExchange(&slot, static_cast<LONG>(index + 1), 0) != 0) continue;
        // The first index comes while the unwinder registers the frames,
        // before it asks atexit for their deregistration: registered now,
        // the release runs after that and after every static destructor,
        // the last of the module's code that may use the index.
        if (&slot == &g_indexes[0]) std::atexit(freeIndexes);
        break;
    }
    return index;
}

}  // namespace

// The import's pointer, defined here so that the link takes no other: calls
// to TlsAlloc from the module's code, its runtime's included, come to
// moduleTlsAlloc.
#if defined(__i386__)
#define SMTP_TLSALLOC_IMPORT "__imp__TlsAlloc@0"
#else
#define SMTP_TLSALLOC_IMPORT "__imp_TlsAlloc"
#endif
extern "C" DWORD(WINAPI* const smtpTlsAllocImport)() asm(SMTP_TLSALLOC_IMPORT);
extern "C" DWORD(WINAPI* const smtpTlsAllocImport)() = moduleTlsAlloc;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // Statically linked, libstdc++ comes with every load of the module and
    // would leave its 18 KiB pool behind at each FreeLibrary. At process
    // exit (reserved set) nothing needs giving back. Only this thread runs
    // module code now: the module's own threads hold a reference to it.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
    return TRUE;
}
