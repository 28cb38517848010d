#pragma once
// One RFC 5322 mailbox as a host writes it: "Display Name <addr>" (the name
// possibly quoted, with backslash escapes, or non-ASCII) or "addr (Name)".
// Anything else (a bare address, a list, a group, unbalanced brackets or
// quotes) is not split, and the caller passes the text on unchanged.
#include <string>

namespace plugin {

// True, with the display name (unquoted, unescaped, trimmed) and the bare
// address, when text is exactly one mailbox in one of the two forms.
bool splitMailbox(const std::string& text, std::string& name, std::string& address);

}  // namespace plugin
