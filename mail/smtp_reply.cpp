#include "mail/smtp_reply.h"

namespace smtpreply {

uint32_t bodyLength(const StringBuffer& line) {
    uint32_t n = line.length();
    const char* s = line.getString();
    while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
    return n;
}

bool parseCode(const StringBuffer& line, int& code) {
    if (line.length() < 3) return false;
    const char* s = line.getString();
    for (int i = 0; i < 3; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    code = (s[0] - '0') * 100 + (s[1] - '0') * 10 + (s[2] - '0');
    return true;
}

LineKind classify(const StringBuffer& line, int& code) {
    code = -2;
    const uint32_t n = bodyLength(line);
    const bool numeric = parseCode(line, code);
    if (!numeric) code = -2;
    if (n < 3) return LineKind::Unrecognized;
    if (n == 3) return numeric ? LineKind::Final : LineKind::Unrecognized;
    return line.charAt(3) == '-' ? LineKind::Continuation : LineKind::Final;
}

}  // namespace smtpreply
