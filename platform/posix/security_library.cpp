#include "platform/security_library.h"

namespace platform {

// POSIX has no system security library: callers use the in-process provider.
void* loadSecurityLibrary(SecurityFunctions&) {
    return nullptr;
}
void freeSecurityLibrary(void*) {}

}  // namespace platform
