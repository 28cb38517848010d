#pragma once
#include <string>

namespace platform {

// The system's message text for an error number, trimmed; empty when the
// system has none.
std::string systemErrorText(unsigned code);

}  // namespace platform
