// The SMTP mail transaction: MAIL FROM, RCPT TO per recipient, DATA, the
// dot-stuffed MIME text and the end-of-data line.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diag/log_base.h"
#include "mail/dot_stuffer.h"
#include "mail/idna.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "mime/email2.h"
#include "mime/mime_text.h"
#include "platform/clock.h"

namespace {

enum RecipientList { kTo = 0, kCc = 1, kBcc = 2 };

// Room reserved up front for the rendered message.
constexpr uint32_t kInitialMimeRoom = 50000;

// How an address goes in the envelope, whatever the system's code page: as
// it is when ASCII or when the server takes UTF-8 (SMTPUTF8, RFC 6531);
// otherwise with its domain's A-labels, and not at all with a local part
// that is not ASCII. False with the reason.
bool envelopeForm(const StringBuffer& given, bool smtpUtf8, StringBuffer& out, std::string& why) {
    out.setString(given.getString(), given.length());
    if (given.is7bit() || smtpUtf8) return true;
    const std::string address(given.getString(), given.length());
    const size_t at = address.rfind('@');
    const std::string local = address.substr(0, at == std::string::npos ? address.size() : at);
    for (char c : local) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            why = "its local part is not ASCII and the server does not offer SMTPUTF8";
            return false;
        }
    }
    std::string domain;
    if (!idna::toAscii(address.substr(at + 1), domain, why)) return false;
    out.setString(local.c_str());
    out.appendChar('@');
    out.append(domain.c_str());
    return true;
}

}  // namespace

uint64_t SmtpConnImpl::s_streamAbove = SmtpConnImpl::kStreamAboveBytes;

void SmtpConnImpl::setStreamAboveForTesting(uint64_t bytes) {
    s_streamAbove = bytes;
}

bool SmtpConnImpl::sendEmail(Email2* email, const StringBuffer& reversePath, LogBase& log,
                             int& numAccepted, int& numTotal, bool& timedOut) {
    m_lastResponseCode = 0;
    numAccepted = 0;
    numTotal = 0;
    timedOut = false;
    if (!email) {
        log.LogError("email argument to SmtpConnImpl is NULL");
        return false;
    }
    // A resent message must not look like a duplicate of the first.
    email->generateMessageId();
    if (!sendSmtpTransaction(*email, reversePath, log, numAccepted, numTotal, timedOut))
        return false;

    StringBuffer msg("Mail sent to ");
    msg.appendInt(numAccepted);
    msg.append(numAccepted > 1 ? " recipients" : " recipient");
    log.LogInfo(msg.getString());
    return true;
}

// One recipient of the envelope, in the order of the To, Cc and Bcc lists.
struct EnvelopeRecipient {
    StringBuffer address;  // as it goes on the wire
    int list = kTo;
    smtpcmd::Verdict verdict = smtpcmd::Verdict::Ok;
    std::string refusal;  // why it cannot go in this envelope
    StringBuffer command;
    bool sendable() const { return verdict == smtpcmd::Verdict::Ok && refusal.empty(); }
};

namespace {

const char* const kDataName[] = {"to", "cc", "bcc"};
const char* const kFailure[] = {"Failed when sending RCPT TO:<", "Failed when sending cc RCPT TO:<",
                                "Failed when sending bcc RCPT TO:<"};

std::vector<EnvelopeRecipient> envelopeRecipients(Email2& email, bool smtpUtf8) {
    std::vector<EnvelopeRecipient> out;
    const uint32_t counts[] = {email.numTo(), email.numCc(), email.numBcc()};
    for (int list = kTo; list <= kBcc; ++list) {
        for (uint32_t i = 0; i < counts[list]; ++i) {
            const Rfc822Address* a = list == kTo   ? email.getTo(i)
                                     : list == kCc ? email.getCc(i)
                                                   : email.getBcc(i);
            if (!a) continue;
            const StringBuffer& given = a->address();
            if (given.isEmpty() || given.equals(">")) continue;
            EnvelopeRecipient r;
            r.list = list;
            if (envelopeForm(given, smtpUtf8, r.address, r.refusal))
                r.verdict = smtpcmd::rcptTo(r.address, r.command);
            out.push_back(std::move(r));
        }
    }
    return out;
}

// A recipient no RCPT TO can carry: counted, never sent.
void logUnsendable(const EnvelopeRecipient& r, LogBase& log) {
    if (!r.refusal.empty())
        log.LogError(("Recipient address not sent: " + r.refusal).c_str());
    else if (r.verdict == smtpcmd::Verdict::LineBreakOrNul)
        log.LogError("Recipient address contains a line break or NUL; not sent");
    else
        log.LogError("Recipient address is longer than an SMTP path may be (256 octets); not sent");
    log.LogDataSb("bad_address", r.address);
}

// The outcome of one RCPT TO; false when no reply came (the connection is gone).
bool noteRecipientReply(const EnvelopeRecipient& r, bool accepted, int code, LogBase& log,
                        int& numAccepted) {
    if (accepted) {
        log.LogDataSb(kDataName[r.list], r.address);
        ++numAccepted;
        return true;
    }
    StringBuffer msg(kFailure[r.list]);
    msg.append(r.address);
    msg.appendChar('>');
    log.LogError(msg.getString());
    if (code <= 0) return false;
    log.LogDataSb("bad_address", r.address);
    return true;
}

}  // namespace

void SmtpConnImpl::mailFromRefused(const StringBuffer& reversePath, int code,
                                   const StringBuffer& reply, LogBase& log) {
    StringBuffer msg("Failed when sending MAIL FROM:<");
    msg.append(reversePath);
    msg.appendChar('>');
    log.LogError(msg.getString());
    logTranscript(log);
    // A server that hit its per-connection limit takes no further mail on
    // this connection.
    if (code <= 0 ||
        (code == 421 && mimetext::containsNoCase(reply.getString(), "maximum allowed messages")))
        resetConnection();
}

SmtpConnImpl::Envelope SmtpConnImpl::sendEnvelopeInTurn(
    const StringBuffer& mailFrom, const StringBuffer& reversePath,
    const std::vector<EnvelopeRecipient>& recipients, LogBase& log, int& numAccepted, int& numTotal,
    bool& timedOut) {
    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand(mailFrom.getString(), nullptr, 250, sent, code, reply, false, log, timedOut)) {
        mailFromRefused(reversePath, code, reply, log);
        return Envelope::Failed;
    }
    return eachRecipient(recipients, log, numAccepted, numTotal, [&](const EnvelopeRecipient& r) {
        const bool accepted = sendCommand(r.command.getString(), nullptr, 250, sent, code, reply,
                                          false, log, timedOut);
        return std::make_pair(accepted, code);
    });
}

SmtpConnImpl::Envelope SmtpConnImpl::sendEnvelopeGrouped(
    const StringBuffer& mailFrom, const StringBuffer& reversePath,
    const std::vector<EnvelopeRecipient>& recipients, LogBase& log, int& numAccepted, int& numTotal,
    bool& timedOut) {
    // RSET (on a reused connection), MAIL FROM and every RCPT TO in one
    // write; the replies come back in that order (RFC 2920).
    const bool rset = m_rsetPending;
    m_rsetPending = false;
    StringBuffer group;
    if (rset) {
        log.LogInfo("Sending RSET command..");
        group.append("RSET\r\n");
    }
    group.append(mailFrom);
    for (const EnvelopeRecipient& r : recipients)
        if (r.sendable()) group.append(r.command);
    if (!sendLogged(group.getString(), group.length(), log)) {
        if (rset) return rsetFailed(log);
        log.LogError("Failed to send the MAIL FROM and RCPT TO commands");
        resetConnection();
        return Envelope::Failed;
    }
    int code = -1;
    StringBuffer reply;
    // Each reply in turn has the whole read time-out.
    auto next = [&](bool& ok) {
        ok = readReply(250, code, reply, log, timedOut);
        m_replyClockStart = platform::tickCount();
        return ok;
    };
    bool ok = false;
    if (rset && !next(ok)) return rsetFailed(log);
    if (!next(ok)) {
        const int mailCode = code;
        StringBuffer mailReply(reply);
        mailFromRefused(reversePath, mailCode, mailReply, log);
        // The recipients' replies (refusals, most likely) are on their way
        // still: read, so that the next command's reply is the next one read.
        LogNull quiet;
        for (const EnvelopeRecipient& r : recipients) {
            if (!r.sendable() || !isConnected()) continue;
            if (!readReply(250, code, reply, quiet, timedOut) && code <= 0) resetConnection();
            m_replyClockStart = platform::tickCount();
        }
        return Envelope::Failed;
    }
    return eachRecipient(recipients, log, numAccepted, numTotal, [&](const EnvelopeRecipient&) {
        const bool accepted = next(ok);  // before code is read
        return std::make_pair(accepted, code);
    });
}

SmtpConnImpl::Envelope SmtpConnImpl::eachRecipient(
    const std::vector<EnvelopeRecipient>& recipients, LogBase& log, int& numAccepted, int& numTotal,
    const std::function<std::pair<bool, int>(const EnvelopeRecipient&)>& reply) {
    LogContextExitor ctx(log, "recipients");
    for (const EnvelopeRecipient& r : recipients) {
        ++numTotal;
        if (!r.sendable()) {
            logUnsendable(r, log);
            m_outcome.refusedRecipients.emplace_back(r.address.getString(), r.address.length());
            continue;
        }
        const auto [accepted, code] = reply(r);
        if (!accepted && code > 0)
            m_outcome.refusedRecipients.emplace_back(r.address.getString(), r.address.length());
        if (!noteRecipientReply(r, accepted, code, log, numAccepted)) {
            numAccepted = 0;
            resetConnection();
            return Envelope::Failed;
        }
    }
    return Envelope::Sent;
}

SmtpConnImpl::Envelope SmtpConnImpl::rsetFailed(LogBase& log) {
    // The connection is gone or confused: the group goes again on a new
    // one, made as this one was (which is why it is not forgotten here).
    log.LogError("RSET failed.");
    LogNull quiet;
    m_socket.close(quiet);
    return Envelope::Reconnect;
}

bool SmtpConnImpl::reconnect(LogBase& log, bool& timedOut) {
    StringBuffer host(m_connectedHost);
    XString username, password;
    username.copyFrom(m_connectedUsername);
    password.copyFrom(m_connectedPassword);
    return smtpConnect(host.getString(), m_connectedPort, username, password, m_connectTimeoutSecs,
                       m_idleTimeoutMs, log, timedOut);
}

bool SmtpConnImpl::sendSmtpTransaction(Email2& email, const StringBuffer& reversePath, LogBase& log,
                                       int& numAccepted, int& numTotal, bool& timedOut) {
    StringBuffer subject;
    email.getSubject(subject);
    log.LogDataSb("subject", subject);
    log.LogDataSb("reversePath", reversePath);

    // The text: a small message rendered whole and later sent in one write;
    // a large one only counted here, then rendered again straight into the
    // socket in bounded pieces, so that its text never exists at once. It
    // is made before the envelope when the server declares SIZE (RFC 1870),
    // else after DATA was accepted.
    const bool stream = email.estimatedTextSize() >= s_streamAbove;
    StringBuffer mime(StringBuffer::Reserve{stream ? 4096u : kInitialMimeRoom});
    uint64_t textSize = 0;
    bool rendered = false;
    auto render = [&]() {
        DotStuffer counter;
        if (!email.assembleMime(mime, stream ? &counter : nullptr, "BVX-", log)) {
            log.LogError("Failed to render the email as MIME text");
            return false;
        }
        if (!stream) mime.replaceAll("\n.", "\n..");
        textSize = stream ? counter.total() : mime.length();
        rendered = true;
        return true;
    };

    // The envelope is made for the connection's server (SMTPUTF8, SIZE or
    // not), and made again for a new connection.
    StringBuffer path, mailFrom;
    std::vector<EnvelopeRecipient> recipients;
    auto makeEnvelope = [&]() {
        // A text rendered for the last connection may carry a header that
        // this server cannot take (its SMTPUTF8 decides the address fields).
        rendered = false;
        mime.clear();
        const bool smtpUtf8 = m_capabilities.offers("SMTPUTF8");
        std::string why;
        if (!envelopeForm(reversePath, smtpUtf8, path, why)) {
            log.LogError(("Reverse path not sent: " + why).c_str());
            return false;
        }
        mailFrom.clear();
        switch (smtpcmd::mailFrom(path, mailFrom)) {
            case smtpcmd::Verdict::Ok:
                break;
            case smtpcmd::Verdict::LineBreakOrNul:
                log.LogError("Reverse path contains a line break or NUL; not sent");
                return false;
            case smtpcmd::Verdict::TooLong:
                log.LogError(
                    "Reverse path is longer than an SMTP path may be (256 octets); not sent");
                return false;
        }
        // Without SMTPUTF8 the header is 7-bit too (RFC 6532 needs it).
        if (!smtpUtf8 && !email.asciiAddressFields(&idna::toAscii, log)) return false;
        recipients = envelopeRecipients(email, smtpUtf8);
        // RFC 6531: the transaction says so when an address in it is UTF-8.
        bool utf8 = !path.is7bit();
        for (const EnvelopeRecipient& r : recipients)
            utf8 = utf8 || (r.sendable() && !r.address.is7bit());
        if (utf8) {
            mailFrom.truncate(mailFrom.length() - 2);
            mailFrom.append(" SMTPUTF8\r\n");
        }
        if (m_capabilities.offers("SIZE")) {
            if (!rendered && !render()) return false;
            // What the server receives: the text and the line break that
            // the end-of-data line puts after it.
            const uint64_t size = textSize + 2;
            // Refused here, the message costs the server nothing and the
            // connection stays ready for the next one.
            const uint64_t limit = m_capabilities.sizeLimit();
            if (limit && size > limit) {
                const std::string text =
                    "Message too large for this server: " + std::to_string(size) +
                    " bytes, it accepts at most " + std::to_string(limit) + " (SIZE)";
                log.LogError(text.c_str());
                return false;
            }
            mailFrom.truncate(mailFrom.length() - 2);
            mailFrom.append((" SIZE=" + std::to_string(size) + "\r\n").c_str());
        }
        return true;
    };
    if (!makeEnvelope()) {
        m_rsetPending = false;
        return false;
    }
    auto sendEnvelope = [&]() {
        return m_capabilities.offers("PIPELINING")
                   ? sendEnvelopeGrouped(mailFrom, path, recipients, log, numAccepted, numTotal,
                                         timedOut)
                   : sendEnvelopeInTurn(mailFrom, path, recipients, log, numAccepted, numTotal,
                                        timedOut);
    };
    Envelope outcome = sendEnvelope();
    if (outcome == Envelope::Reconnect) {
        // The grouped RSET failed: the envelope goes again on a new
        // connection, whose server may not pipeline or take UTF-8.
        if (!reconnect(log, timedOut) || !makeEnvelope()) return false;
        outcome = sendEnvelope();
    }
    if (outcome != Envelope::Sent) return false;

    bool sent = false;
    int code = -1;
    StringBuffer reply;
    // The transaction stays open on the server; the next RSET clears it.
    if (numAccepted == 0) return false;
    if (numAccepted < numTotal) {
        StringBuffer msg("Warning: failed to send to ");
        msg.appendInt(numTotal - numAccepted);
        msg.append(" recipient(s), continuing to send to ");
        msg.appendInt(numAccepted);
        msg.append(" recipient(s)");
        log.LogError(msg.getString());
    }

    if (!sendCommand("DATA\r\n", nullptr, 354, sent, code, reply, false, log, timedOut)) {
        log.LogError("Failed when sending DATA command");
        logTranscript(log);
        numAccepted = 0;
        if (code <= 0) resetConnection();
        return false;
    }

    // The text and the end-of-data line; a large message's size is logged
    // before it goes.
    if (!rendered && !render()) {
        // The server is inside DATA: only a new connection gets it out.
        numAccepted = 0;
        resetConnection();
        return false;
    }
    log.LogDataLong("email_size", static_cast<int32_t>(textSize));

    bool textSent = false;
    if (!stream) {
        mime.append("\r\n.\r\n");
        textSent = sendLogged(mime.getString(), mime.length(), log);
    } else {
        bool first = true;
        DotStuffer out([&](const char* bytes, uint32_t n) {
            if (first) recordSent(bytes, n);
            first = false;
            return sendRaw(bytes, n, log);
        });
        mime.clear();
        textSent = email.assembleMime(mime, &out, "BVX-", log) && out.finish("\r\n.\r\n");
    }
    if (!textSent) {
        log.LogError("Failed when sending email body");
        logTranscript(log);
        numAccepted = 0;
        resetConnection();
        return false;
    }
    log.LogInfo("Sent DATA terminator");
    if (!readReply(250, code, reply, log, timedOut)) {
        log.LogError("Failed when sending end-of-body");
        log.LogDataLong("CommandSent", 1);  // it went out with the text
        log.LogDataLong("GotResponseCode", code);
        log.LogDataLong("TimedOut", timedOut ? 1 : 0);
        log.LogDataLong("Aborted", 0);
        // The server has the whole message; a slow final answer does not
        // make it undelivered.
        if (!(timedOut && code == -1)) {
            numAccepted = 0;
            // Without a readable answer the server's state is unknown, and a
            // late answer would be read as the reply to the next command.
            if (code <= 0) resetConnection();
            return false;
        }
        // But the answer may still come: on this connection it would be
        // read as the reply to the next command.
        resetConnection();
    }
    return true;
}
