#pragma once
// Whether the system offers a security package (the SSPI "NTLM" or "MSN")
// for the integrated AUTH NTLM and AUTH MSN logins.

// Until the SSPI exchange is in place no package is reported, exactly as on
// a machine without them: both logins then fall back to LOGIN.
bool securityPackageInstalled(const char* name);
