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

namespace {

bool digits(const std::string& s, size_t from, size_t& end, size_t most) {
    end = from;
    while (end < s.size() && end - from < most && s[end] >= '0' && s[end] <= '9') ++end;
    return end > from;
}

// "X.Y.Z " after the code (RFC 3463), its class the code's first digit.
std::string enhancedCode(const std::string& line, int code) {
    if (line.size() < 9) return "";
    size_t end = 4;
    if (line[4] != '0' + code / 100 || (line[4] != '2' && line[4] != '4' && line[4] != '5'))
        return "";
    if (line[5] != '.' || !digits(line, 6, end, 3) || end >= line.size() || line[end] != '.')
        return "";
    if (!digits(line, end + 1, end, 3)) return "";
    if (end < line.size() && line[end] != ' ') return "";
    return line.substr(4, end - 4);
}

}  // namespace

StringBuffer SmtpReply::lastTrimmed() const {
    StringBuffer shown(last);
    shown.trim();
    return shown;
}

bool SmtpReply::addLine(const StringBuffer& line, Shape shape, uint32_t maxBytes) {
    text.append(line);
    last.setString(line.getString(), line.length());
    lines.emplace_back(line.getString(), smtpreply::bodyLength(line));
    int lineCode = -2;
    if (shape == Shape::OneLine) {
        // A challenge line is taken by its number alone.
        transport =
            smtpreply::parseCode(line, lineCode) ? Transport::Answered : Transport::Unreadable;
        flaw = answered() ? Flaw::None : Flaw::NoCode;
        code = answered() ? lineCode : 0;
        return false;
    }
    const smtpreply::LineKind kind = smtpreply::classify(line, lineCode);
    if (kind == smtpreply::LineKind::Unrecognized) {
        transport = Transport::Unreadable;
        flaw = Flaw::NotReplyLine;
        return false;
    }
    if (kind == smtpreply::LineKind::Final) {
        transport = lineCode >= 0 ? Transport::Answered : Transport::Unreadable;
        flaw = answered() ? Flaw::None : Flaw::NoCode;
        code = answered() ? lineCode : 0;
        if (answered()) enhanced = enhancedCode(lines.back(), code);
        return false;
    }
    if (text.length() > maxBytes) {
        transport = Transport::Unreadable;
        flaw = Flaw::TooLong;
        return false;
    }
    return true;
}

void SmtpReply::readFailed(const StringBuffer& partial, bool timedOutRead) {
    transport = timedOutRead ? Transport::TimedOut : Transport::ConnectionLost;
    flaw = Flaw::None;
    code = 0;
    last.setString(partial.getString(), partial.length());
}
