#include "platform/security_library.h"

namespace platform {

void* loadSecurityLibrary(SecurityFunctions& fns) {
    // Loaded at run time, so the DLL's static imports stay the few system
    // libraries every Windows has.
    HMODULE module = LoadLibraryA("secur32.dll");
    if (!module) module = LoadLibraryA("security.dll");
    if (!module) return nullptr;
    auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitSecurityInterfaceA")));
    PSecurityFunctionTableA table = init ? init() : nullptr;
    if (!table) {
        FreeLibrary(module);
        return nullptr;
    }
    fns.enumeratePackages = table->EnumerateSecurityPackagesA;
    fns.acquireCredentials = table->AcquireCredentialsHandleA;
    fns.initializeContext = table->InitializeSecurityContextA;
    fns.completeAuthToken = table->CompleteAuthToken;
    fns.deleteContext = table->DeleteSecurityContext;
    fns.freeCredentials = table->FreeCredentialHandle;
    fns.freeContextBuffer = table->FreeContextBuffer;
    return module;
}

void freeSecurityLibrary(void* module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace platform
