#pragma once
// An in-process security provider for systems without SSPI. It offers one
// package, "NTLM", whose tokens are this library's own NTLM messages, and
// takes explicit credentials only: asking for the current logon's
// credentials yields SEC_E_NO_CREDENTIALS, as there is no logon to use.
#include "platform/security_library.h"

#ifndef _WIN32
namespace ntlm {

const platform::SecurityFunctions& inProcessProvider();

// The package's advertised maximum token size.
constexpr unsigned long kProviderMaxToken = 2888;

}  // namespace ntlm
#endif
