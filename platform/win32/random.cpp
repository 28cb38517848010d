#include "platform/random.h"

#include <windows.h>

// RtlGenRandom: ADVAPI32 exports it under this name. bcrypt would be the
// documented route but would add a DLL to the module's imports.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace platform {

bool secureRandom(void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
    while (n) {
        const ULONG chunk = n > 0x10000000u ? 0x10000000u : static_cast<ULONG>(n);
        if (!SystemFunction036(p, chunk)) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

}  // namespace platform
