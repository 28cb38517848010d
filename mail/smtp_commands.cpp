#include "mail/smtp_commands.h"

#include <cstring>
#include <initializer_list>
#include <string>

#include "mime/content_coding.h"

namespace smtpcmd {
namespace {

const char kMask[] = "****";

Verdict envelopeLine(const char* verb, const StringBuffer& path, StringBuffer& out) {
    out.clear();
    if (hasLineBreakOrNul(path)) return Verdict::LineBreakOrNul;
    if (path.length() + 2 > kMaxPathOctets) return Verdict::TooLong;
    if (!out.append(verb) || !out.appendChar('<') || !out.append(path) || !out.append(">\r\n") ||
        out.length() > kMaxCommandLineOctets) {
        out.clear();
        return Verdict::TooLong;
    }
    return Verdict::Ok;
}

// A command shown as it is sent.
SmtpCommand plain(std::initializer_list<const char*> parts) {
    SmtpCommand c;
    c.built = true;
    for (const char* p : parts) c.built = c.built && c.wire.append(p);
    c.built = c.built && c.wire.append("\r\n") && c.shown.append(c.wire);
    return c;
}

// Base64 of the bytes on one line, after a prefix.
bool appendBase64Line(StringBuffer& out, const void* bytes, uint32_t n) {
    return ContentCoding::encodeBase64(bytes, n, out) && out.append("\r\n");
}

}  // namespace

bool hasLineBreakOrNul(const StringBuffer& s) {
    const char* p = s.getString();
    for (uint32_t i = 0; i < s.length(); ++i)
        if (p[i] == '\r' || p[i] == '\n' || p[i] == '\0') return true;
    return false;
}

Verdict mailFrom(const StringBuffer& reversePath, StringBuffer& out) {
    return envelopeLine("MAIL FROM:", reversePath, out);
}

Verdict rcptTo(const StringBuffer& forwardPath, StringBuffer& out) {
    return envelopeLine("RCPT TO:", forwardPath, out);
}

SmtpCommand envelope(const StringBuffer& line) {
    SmtpCommand c;
    c.built = c.wire.append(line) && c.shown.append(line);
    return c;
}

SmtpCommand ehlo(const StringBuffer& name) {
    SmtpCommand c;
    c.transcribed = false;
    c.built = c.wire.append("EHLO ") && c.wire.append(name) && c.wire.append("\r\n") &&
              c.shown.append(c.wire);
    return c;
}

SmtpCommand helo(const char* name) {
    SmtpCommand c = plain({"HELO ", name ? name : ""});
    c.transcribed = false;
    return c;
}

SmtpCommand startTls() {
    return plain({"STARTTLS"});
}
SmtpCommand data() {
    return plain({"DATA"});
}
SmtpCommand bdat(uint64_t size, bool last) {
    const std::string n = std::to_string(size);
    return plain({"BDAT ", n.c_str(), last ? " LAST" : ""});
}
SmtpCommand rset() {
    return plain({"RSET"});
}
SmtpCommand noop() {
    return plain({"NOOP"});
}
SmtpCommand quit() {
    return plain({"QUIT"});
}
SmtpCommand auth(const char* mechanism) {
    return plain({"AUTH ", mechanism});
}

SmtpCommand authWithResponse(const char* mechanism, const void* response, uint32_t n) {
    SmtpCommand c;
    c.built = c.wire.append("AUTH ") && c.wire.append(mechanism) && c.wire.appendChar(' ') &&
              appendBase64Line(c.wire, response, n) && c.shown.append("AUTH ") &&
              c.shown.append(mechanism) && c.shown.appendChar(' ') && c.shown.append(kMask) &&
              c.shown.append("\r\n");
    return c;
}

SmtpCommand saslResponse(const void* bytes, uint32_t n) {
    SmtpCommand c;
    c.transcribed = false;
    c.built = appendBase64Line(c.wire, bytes, n) && c.shown.append(kMask) && c.shown.append("\r\n");
    return c;
}

SmtpCommand saslEncoded(const StringBuffer& base64) {
    SmtpCommand c;
    c.transcribed = false;
    c.built = c.wire.append(base64) && c.wire.append("\r\n") && c.shown.append(kMask) &&
              c.shown.append("\r\n");
    return c;
}

SmtpCommand saslCancel() {
    return plain({"*"});
}
SmtpCommand saslEmpty() {
    return plain({""});
}

SmtpCommand verbatim(const char* text, const char* argument) {
    SmtpCommand c;
    if (!text) text = "";
    const char* at = argument ? strstr(text, "%s") : nullptr;
    if (at) {
        c.built = c.wire.append(text, static_cast<uint32_t>(at - text)) &&
                  c.wire.append(argument) && c.wire.append(at + 2);
    } else {
        const size_t n = strlen(text);
        c.built = c.wire.append(
            text, static_cast<uint32_t>(n > kMaxVerbatimBytes ? kMaxVerbatimBytes : n));
    }
    c.built = c.built && c.shown.append(c.wire);
    return c;
}

bool Group::join(StringBuffer& wire, StringBuffer& shown) const {
    wire.clear();
    shown.clear();
    for (const SmtpCommand& c : commands)
        if (!c.built || !wire.append(c.wire) || !shown.append(c.shown)) return false;
    return true;
}

}  // namespace smtpcmd
