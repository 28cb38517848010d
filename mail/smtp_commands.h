#pragma once
// Builders for the envelope commands. They refuse an argument that would
// change the command: CR, LF or NUL would start a command of the server's
// reading, and RFC 5321 4.5.3.1 limits a path to 256 octets (angle brackets
// included) and a command line to 512 (CR LF included).
#include <cstdint>

#include "text/string_buffer.h"

namespace smtpcmd {

constexpr uint32_t kMaxPathOctets = 256;
constexpr uint32_t kMaxCommandLineOctets = 512;

enum class Verdict { Ok, LineBreakOrNul, TooLong };

// "MAIL FROM:<path>\r\n" and "RCPT TO:<path>\r\n".
Verdict mailFrom(const StringBuffer& reversePath, StringBuffer& out);
Verdict rcptTo(const StringBuffer& forwardPath, StringBuffer& out);

bool hasLineBreakOrNul(const StringBuffer& s);

}  // namespace smtpcmd
