#pragma once
// Every command the client sends, as a value: the text that goes on the
// wire and the text the transcript shows, with a credential masked. The
// envelope builders refuse an argument that would change the command: CR,
// LF or NUL would start a command of the server's reading, and RFC 5321
// 4.5.3.1 limits a path to 256 octets (angle brackets included) and a
// command line to 512 (CR LF included). A builder whose text could not be
// made whole gives a command that is not built, and it is never sent.
#include <cstdint>
#include <vector>

#include "text/string_buffer.h"

struct SmtpCommand {
    StringBuffer wire;
    // What the transcript records when transcribed; "****" stands for a
    // credential.
    StringBuffer shown;
    // EHLO, HELO and the SASL response lines stay out of the transcript.
    bool transcribed = true;
    bool built = false;
};

namespace smtpcmd {

constexpr uint32_t kMaxPathOctets = 256;
constexpr uint32_t kMaxCommandLineOctets = 512;
// A verbatim command without an argument is cut to this many bytes.
constexpr uint32_t kMaxVerbatimBytes = 1999;

enum class Verdict { Ok, LineBreakOrNul, TooLong };

// "MAIL FROM:<path>\r\n" and "RCPT TO:<path>\r\n".
Verdict mailFrom(const StringBuffer& reversePath, StringBuffer& out);
Verdict rcptTo(const StringBuffer& forwardPath, StringBuffer& out);
// A finished envelope line as a command.
SmtpCommand envelope(const StringBuffer& line);

bool hasLineBreakOrNul(const StringBuffer& s);

SmtpCommand ehlo(const StringBuffer& name);
SmtpCommand helo(const char* name);
SmtpCommand startTls();
SmtpCommand data();
// "BDAT <size>" (RFC 3030), with " LAST" on the last chunk; the chunk's
// bytes follow it without a line end of their own.
SmtpCommand bdat(uint64_t size, bool last);
SmtpCommand rset();
SmtpCommand noop();
SmtpCommand quit();
// "AUTH LOGIN" and the like, without an initial response.
SmtpCommand auth(const char* mechanism);
// "AUTH PLAIN <base64>": the initial response is the credential.
SmtpCommand authWithResponse(const char* mechanism, const void* response, uint32_t n);
// One SASL response line: the bytes in base64 on one line.
SmtpCommand saslResponse(const void* bytes, uint32_t n);
// A SASL response already in base64 (the NTLM messages).
SmtpCommand saslEncoded(const StringBuffer& base64);
// "*": the client gives up the exchange (RFC 4954).
SmtpCommand saslCancel();
// The empty line that answers an XOAUTH2 error challenge.
SmtpCommand saslEmpty();
// The text as given, cut to kMaxVerbatimBytes; with an argument, the
// text's single "%s" is replaced by it instead.
SmtpCommand verbatim(const char* text, const char* argument);

// Commands sent in one write; the replies come back in this order.
struct Group {
    std::vector<SmtpCommand> commands;
    // Both texts of all commands, each in order.
    bool join(StringBuffer& wire, StringBuffer& shown) const;
};

}  // namespace smtpcmd
