#include "mail/smtp_commands.h"

namespace smtpcmd {
namespace {

Verdict envelope(const char* verb, const StringBuffer& path, StringBuffer& out) {
    out.clear();
    if (hasLineBreakOrNul(path)) return Verdict::LineBreakOrNul;
    if (path.length() + 2 > kMaxPathOctets) return Verdict::TooLong;
    out.append(verb);
    out.appendChar('<');
    out.append(path);
    out.append(">\r\n");
    if (out.length() > kMaxCommandLineOctets) {
        out.clear();
        return Verdict::TooLong;
    }
    return Verdict::Ok;
}

}  // namespace

bool hasLineBreakOrNul(const StringBuffer& s) {
    const char* p = s.getString();
    for (uint32_t i = 0; i < s.length(); ++i)
        if (p[i] == '\r' || p[i] == '\n' || p[i] == '\0') return true;
    return false;
}

Verdict mailFrom(const StringBuffer& reversePath, StringBuffer& out) {
    return envelope("MAIL FROM:", reversePath, out);
}

Verdict rcptTo(const StringBuffer& forwardPath, StringBuffer& out) {
    return envelope("RCPT TO:", forwardPath, out);
}

}  // namespace smtpcmd
