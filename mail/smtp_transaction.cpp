// The SMTP mail transaction: MAIL FROM, RCPT TO per recipient, DATA, the
// dot-stuffed MIME text and the end-of-data line.
#include <cstring>

#include "diag/log_base.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "mime/email2.h"
#include "mime/mime_text.h"
#include "text/encoding_convert.h"

namespace {

enum RecipientList { kTo = 0, kCc = 1, kBcc = 2 };

// Room reserved up front for the rendered message.
constexpr uint32_t kInitialMimeRoom = 50000;

// The envelope speaks the system's ANSI code page.
void toAnsi(StringBuffer& address) {
    if (address.is7bit()) return;
    EncodingConvert conv;
    DataBuffer out;
    conv.convertToAnsi(cp::Utf8, address.getBytes(), address.length(), out);
    address.setString(out.data(), out.size());
}

}  // namespace

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

bool SmtpConnImpl::sendRecipient(const StringBuffer& given, int list, LogBase& log,
                                 int& numAccepted, int& numTotal, bool& timedOut) {
    static const char* const kDataName[] = {"to", "cc", "bcc"};
    static const char* const kFailure[] = {"Failed when sending RCPT TO:<",
                                           "Failed when sending cc RCPT TO:<",
                                           "Failed when sending bcc RCPT TO:<"};
    StringBuffer address(given);
    toAnsi(address);
    ++numTotal;

    StringBuffer command;
    switch (smtpcmd::rcptTo(address, command)) {
        case smtpcmd::Verdict::Ok:
            break;
        case smtpcmd::Verdict::LineBreakOrNul:
            log.LogError("Recipient address contains a line break or NUL; not sent");
            log.LogDataSb("bad_address", address);
            return true;
        case smtpcmd::Verdict::TooLong:
            log.LogError(
                "Recipient address is longer than an SMTP path may be (256 octets); not sent");
            log.LogDataSb("bad_address", address);
            return true;
    }

    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (sendCommand(command.getString(), nullptr, 250, sent, code, reply, false, log, timedOut)) {
        log.LogDataSb(kDataName[list], address);
        ++numAccepted;
        return true;
    }
    StringBuffer msg(kFailure[list]);
    msg.append(address);
    msg.appendChar('>');
    log.LogError(msg.getString());
    if (code <= 0) return false;  // no reply: the connection is gone
    log.LogDataSb("bad_address", address);
    return true;
}

bool SmtpConnImpl::sendSmtpTransaction(Email2& email, const StringBuffer& reversePath, LogBase& log,
                                       int& numAccepted, int& numTotal, bool& timedOut) {
    StringBuffer subject;
    email.getSubject(subject);
    log.LogDataSb("subject", subject);
    log.LogDataSb("reversePath", reversePath);

    StringBuffer command;
    switch (smtpcmd::mailFrom(reversePath, command)) {
        case smtpcmd::Verdict::Ok:
            break;
        case smtpcmd::Verdict::LineBreakOrNul:
            log.LogError("Reverse path contains a line break or NUL; not sent");
            return false;
        case smtpcmd::Verdict::TooLong:
            log.LogError("Reverse path is longer than an SMTP path may be (256 octets); not sent");
            return false;
    }

    bool sent = false;
    int code = -1;
    StringBuffer reply;
    if (!sendCommand(command.getString(), nullptr, 250, sent, code, reply, false, log, timedOut)) {
        StringBuffer msg("Failed when sending MAIL FROM:<");
        msg.append(reversePath);
        msg.appendChar('>');
        log.LogError(msg.getString());
        logTranscript(log);
        // A server that hit its per-connection limit takes no further mail
        // on this connection.
        if (code <= 0 || (code == 421 &&
                          mimetext::containsNoCase(reply.getString(), "maximum allowed messages")))
            resetConnection();
        return false;
    }

    {
        LogContextExitor ctx(log, "recipients");
        const uint32_t counts[] = {email.numTo(), email.numCc(), email.numBcc()};
        for (int list = kTo; list <= kBcc; ++list) {
            for (uint32_t i = 0; i < counts[list]; ++i) {
                const Rfc822Address* a = list == kTo   ? email.getTo(i)
                                         : list == kCc ? email.getCc(i)
                                                       : email.getBcc(i);
                if (!a) continue;
                const StringBuffer& address = a->address();
                if (address.isEmpty() || address.equals(">")) continue;
                if (!sendRecipient(address, list, log, numAccepted, numTotal, timedOut)) {
                    numAccepted = 0;
                    resetConnection();
                    return false;
                }
            }
        }
    }
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

    StringBuffer mime(StringBuffer::Reserve{kInitialMimeRoom});
    if (!email.assembleMime(mime, nullptr, "BVX-", log)) {
        // The server is inside DATA: only a new connection gets it out.
        log.LogError("Failed to render the email as MIME text");
        numAccepted = 0;
        resetConnection();
        return false;
    }
    mime.replaceAll("\n.", "\n..");
    log.LogDataLong("email_size", static_cast<int32_t>(mime.length()));

    if (!sendLogged(mime.getString(), mime.length(), log)) {
        log.LogError("Failed when sending email body");
        logTranscript(log);
        numAccepted = 0;
        resetConnection();
        return false;
    }

    if (!sendCommand("\r\n.\r\n", nullptr, 250, sent, code, reply, true, log, timedOut)) {
        log.LogError("Failed when sending end-of-body");
        log.LogDataLong("CommandSent", sent ? 1 : 0);
        log.LogDataLong("GotResponseCode", code);
        log.LogDataLong("TimedOut", timedOut ? 1 : 0);
        log.LogDataLong("Aborted", 0);
        // The server has the whole message; a slow final answer does not
        // make it undelivered.
        if (!(sent && timedOut && code == -1)) {
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
