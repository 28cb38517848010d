#pragma once
// Who and where the process runs: the names that go into the log header and
// into NTLM messages.
#include <string>

namespace platform {

// The login name of the effective user; false (and an empty name) when the
// system cannot tell. A name pinned with setUserNameForTesting wins.
bool userName(std::string& out);
// What the operating system itself says, whatever is pinned.
bool systemUserName(std::string& out);

// Pins the name userName reports, so that tests can take the branches that
// depend on the account (such as "SYSTEM") on any machine; null unpins.
void setUserNameForTesting(const char* name);

// The machine's name as Windows reports it: the host name's first label,
// upper-cased, at most 15 characters.
bool computerName(std::string& out);

}  // namespace platform
