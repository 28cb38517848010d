// The module's entry point. The link takes it from this library before
// mingw's default one, since the DLL start-up code asks for DllMain first;
// programs never ask for it, so they do not link it.
#include <windows.h>

namespace __gnu_cxx {
// libstdc++'s own release of its emergency exception pool (what valgrind
// calls at exit); the pool is malloc'ed when the runtime starts and has no
// destructor.
void __freeres();
}  // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // Statically linked, libstdc++ comes with every load of the module and
    // would leave its 18 KiB pool behind at each FreeLibrary. At process
    // exit (reserved set) nothing needs giving back. Only this thread runs
    // module code now: the module's own threads hold a reference to it.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
    return TRUE;
}
