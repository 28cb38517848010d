#pragma once
// Random bytes for nonces and challenges.
#include <cstddef>

namespace platform {

// Fills out with n bytes from the operating system's cryptographically secure
// generator; false when it cannot.
bool secureRandom(void* out, size_t n);

}  // namespace platform
