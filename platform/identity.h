#pragma once
// Who and where the process runs: the names that go into the log header and
// into NTLM messages.
#include <string>

namespace platform {

// The login name of the effective user; false (and an empty name) when the
// system cannot tell.
bool userName(std::string& out);

// The machine's name as Windows reports it: the host name's first label,
// upper-cased, at most 15 characters.
bool computerName(std::string& out);

}  // namespace platform
