// The SMTP mail transaction: MAIL FROM, RCPT TO per recipient, then DATA,
// the dot-stuffed MIME text and the end-of-data line, or the text as it is
// in BDAT chunks (RFC 3030).
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diag/log_base.h"
#include "mail/dot_stuffer.h"
#include "mail/idna.h"
#include "mail/smtp_chunker.h"
#include "mail/smtp_command_group.h"
#include "mail/smtp_commands.h"
#include "mail/smtp_conn_impl.h"
#include "mime/email2.h"
#include "mime/mime_text.h"
#include "platform/clock.h"
#include "text/memory.h"

namespace {

enum RecipientList { kTo = 0, kCc = 1, kBcc = 2 };

// Room reserved up front for the rendered message.
constexpr uint32_t kInitialMimeRoom = 50000;

// How an address goes in the envelope, whatever the system's code page: as
// it is when ASCII or when the server takes UTF-8 (SMTPUTF8, RFC 6531);
// otherwise with its domain's A-labels, and not at all with a local part
// that is not ASCII. False with the reason.
bool envelopeForm(const StringBuffer& given, bool smtpUtf8, StringBuffer& out, std::string& why) {
    // A copy cut short would name another mailbox.
    why = "it could not be copied whole";
    if (!out.setString(given.getString(), given.length())) return false;
    why.clear();
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
    if (out.setString(local.c_str()) && out.appendChar('@') && out.append(domain.c_str()))
        return true;
    why = "it could not be copied whole";
    return false;
}

}  // namespace

uint64_t SmtpConnImpl::s_streamAbove = SmtpConnImpl::kStreamAboveBytes;

bool SmtpConnImpl::sendEmail(Email2* email, const StringBuffer& reversePath, LogBase& log,
                             int& numAccepted, int& numTotal, bool& timedOut) {
    m_lastRead = SmtpReply();
    numAccepted = 0;
    numTotal = 0;
    timedOut = false;
    if (!email) {
        log.LogError("email argument to SmtpConnImpl is NULL");
        return false;
    }
    // A resent message must not look like a duplicate of the first.
    email->generateMessageId();
    const bool sent = sendSmtpTransaction(*email, reversePath, log, numAccepted, numTotal);
    timedOut = m_lastRead.timedOut();
    if (!sent) return false;

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
bool noteRecipientReply(const EnvelopeRecipient& r, const SmtpReply& reply, LogBase& log,
                        int& numAccepted) {
    if (reply.is(250)) {
        log.LogDataSb(kDataName[r.list], r.address);
        ++numAccepted;
        return true;
    }
    StringBuffer msg(kFailure[r.list]);
    msg.append(r.address);
    msg.appendChar('>');
    log.LogError(msg.getString());
    if (!reply.answered()) return false;
    log.LogDataSb("bad_address", r.address);
    return true;
}

// The reply code as the log has always shown it: -2 for a final line
// without a number, -1 when no reply came.
int loggedCode(const SmtpReply& reply) {
    if (reply.answered()) return reply.code;
    return reply.flaw == SmtpReply::Flaw::NoCode ? -2 : -1;
}

// Puts an ESMTP parameter (" SIZE=123") before the line's CR LF.
bool addParameter(StringBuffer& line, const std::string& parameter) {
    line.truncate(line.length() - 2);
    return line.append(parameter.c_str()) && line.append("\r\n");
}

}  // namespace

// Everything one message's transaction works with.
struct SmtpConnImpl::Transaction {
    Transaction(Email2& e, const StringBuffer& from, bool streamed)
        : email(e),
          reversePath(from),
          stream(streamed),
          mime(StringBuffer::Reserve{streamed ? 4096u : kInitialMimeRoom}) {}
    Email2& email;
    const StringBuffer& reversePath;
    // A small message is rendered whole and later sent in one write; a
    // large one only counted, then rendered again straight into the socket
    // in bounded pieces, so that its text never exists at once.
    const bool stream;
    StringBuffer mime;
    uint64_t textSize = 0;
    bool rendered = false;
    // The envelope as made for the connection's server.
    StringBuffer path;
    StringBuffer mailFrom;
    std::vector<EnvelopeRecipient> recipients;
    // The text goes in BDAT chunks, as it is (RFC 3030).
    bool chunked = false;
    // DATA, or BDAT with the whole text, ended the envelope's group (RFC
    // 2920 3.1); its reply, once read.
    bool dataGrouped = false;
    SmtpReply dataReply;
    int numAccepted = 0;
    int numTotal = 0;
};

void SmtpConnImpl::mailFromRefused(const StringBuffer& reversePath, const SmtpReply& reply,
                                   LogBase& log) {
    StringBuffer msg("Failed when sending MAIL FROM:<");
    msg.append(reversePath);
    msg.appendChar('>');
    log.LogError(msg.getString());
    logTranscript(log);
    // A server that hit its per-connection limit takes no further mail on
    // this connection.
    if (!reply.answered() ||
        (reply.code == 421 &&
         mimetext::containsNoCase(reply.lastTrimmed().getString(), "maximum allowed messages")))
        resetConnection();
}

SmtpConnImpl::Envelope SmtpConnImpl::sendEnvelope(Transaction& t, LogBase& log) {
    // A reused connection's RSET, MAIL FROM, every RCPT TO and, pipelined,
    // DATA: one round trip up to the text.
    const bool rset = m_state == State::RsetPending;
    if (rset) m_state = State::Session;
    const bool pipelined = m_capabilities.offers("PIPELINING");
    CommandGroup group(*this, pipelined);
    if (rset) {
        log.LogInfo("Sending RSET command..");
        group.add(smtpcmd::rset(), 250);
    }
    group.add(smtpcmd::envelope(t.mailFrom), 250);
    bool anySendable = false;
    for (const EnvelopeRecipient& r : t.recipients) {
        if (!r.sendable()) continue;
        group.add(smtpcmd::envelope(r.command), 250);
        anySendable = true;
    }
    // A streamed text's chunks wait for the recipients' verdict: without
    // one accepted, none of it goes.
    t.dataGrouped = pipelined && anySendable && !(t.chunked && t.stream);
    t.dataReply = SmtpReply::notSent();
    if (t.dataGrouped && t.chunked)
        group.add(wholeTextChunk(t), 250);
    else if (t.dataGrouped)
        group.add(smtpcmd::data(), 354);
    if (!group.start(log)) {
        if (rset) return rsetFailed(log);
        log.LogError("Failed to send the MAIL FROM and RCPT TO commands");
        resetConnection();
        return Envelope::Failed;
    }
    if (rset && !group.next(log).is(250)) return rsetFailed(log);
    const SmtpReply mail = group.next(log);
    if (!mail.is(250)) {
        mailFromRefused(t.path, mail, log);
        // The recipients' replies (refusals, most likely) and DATA's are on
        // their way still.
        const SmtpReply last = group.drain();
        if (t.dataGrouped) leaveUnwantedData(last);
        return Envelope::Failed;
    }
    const Envelope outcome = eachRecipient(t, group, log);
    if (outcome != Envelope::Sent || !t.dataGrouped) return outcome;
    // Logged with the text's outcome, after the recipients'.
    LogNull quiet;
    t.dataReply = group.next(quiet);
    if (t.numAccepted != 0) return outcome;
    if (t.chunked) log.LogInfo("The text went with BDAT; no recipient was accepted for it");
    leaveUnwantedData(t.dataReply);
    return outcome;
}

void SmtpConnImpl::leaveUnwantedData(const SmtpReply& reply) {
    // No recipient took the message, so nothing of it goes: a server that
    // opened DATA all the same gets the end-of-data line at once. A BDAT's
    // text went with it; the server drops it, as RFC 3030 has it.
    LogNull quiet;
    if (reply.transport != SmtpReply::Transport::NotSent && !reply.answered()) resetConnection();
    if (!reply.is(354)) return;
    if (!sendLogged(".\r\n", 3, quiet) || !readReply(250, quiet).answered()) resetConnection();
}

SmtpConnImpl::Envelope SmtpConnImpl::eachRecipient(Transaction& t, CommandGroup& group,
                                                   LogBase& log) {
    LogContextExitor ctx(log, "recipients");
    for (const EnvelopeRecipient& r : t.recipients) {
        ++t.numTotal;
        if (!r.sendable()) {
            logUnsendable(r, log);
            m_outcome.refusedRecipients.emplace_back(r.address.getString(), r.address.length());
            continue;
        }
        const SmtpReply reply = group.next(log);
        if (reply.answered() && !reply.is(250))
            m_outcome.refusedRecipients.emplace_back(r.address.getString(), r.address.length());
        if (!noteRecipientReply(r, reply, log, t.numAccepted)) {
            t.numAccepted = 0;
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

bool SmtpConnImpl::reconnect(LogBase& log) {
    StringBuffer host(m_connectedHost);
    XString username, password;
    username.copyFrom(m_connectedUsername);
    password.copyFrom(m_connectedPassword);
    bool timedOut = false;
    return smtpConnect(host.getString(), m_connectedPort, username, password, m_connectTimeout,
                       m_readTimeout, log, timedOut);
}

bool SmtpConnImpl::sendSmtpTransaction(Email2& email, const StringBuffer& reversePath, LogBase& log,
                                       int& numAccepted, int& numTotal) {
    StringBuffer subject;
    email.getSubject(subject);
    log.LogDataSb("subject", subject);
    log.LogDataSb("reversePath", reversePath);
    Transaction t(email, reversePath, email.estimatedTextSize() >= s_streamAbove);
    const bool sent = runTransaction(t, log);
    numAccepted = t.numAccepted;
    numTotal = t.numTotal;
    return sent;
}

bool SmtpConnImpl::runTransaction(Transaction& t, LogBase& log) {
    if (!makeEnvelope(t, log)) {
        if (m_state == State::RsetPending) m_state = State::Session;
        return false;
    }
    Envelope outcome = sendEnvelope(t, log);
    if (outcome == Envelope::Reconnect) {
        // The grouped RSET failed: the envelope goes again on a new
        // connection, whose server may not pipeline or take UTF-8.
        if (!reconnect(log) || !makeEnvelope(t, log)) return false;
        outcome = sendEnvelope(t, log);
    }
    // The transaction stays open on the server; the next RSET clears it.
    if (outcome != Envelope::Sent || t.numAccepted == 0) return false;
    if (t.numAccepted < t.numTotal) {
        StringBuffer msg("Warning: failed to send to ");
        msg.appendInt(t.numTotal - t.numAccepted);
        msg.append(" recipient(s), continuing to send to ");
        msg.appendInt(t.numAccepted);
        msg.append(" recipient(s)");
        log.LogError(msg.getString());
    }
    if (t.chunked) return sendChunks(t, log);
    return openData(t, log) && sendText(t, log) && readDataReply(t, log);
}

bool SmtpConnImpl::renderText(Transaction& t, LogBase& log) {
    DotStuffer counter;
    SmtpChunker chunkCounter;
    MimeOutput* counting = t.chunked ? static_cast<MimeOutput*>(&chunkCounter) : &counter;
    // A buffer that could not grow leaves no trace in the text but this count:
    // a text without its dot-stuffing must not go.
    const uint64_t failures = text::failedAllocations();
    if (!t.email.assembleMime(t.mime, t.stream ? counting : nullptr, "BVX-", log)) {
        log.LogError("Failed to render the email as MIME text");
        return false;
    }
    if (!t.stream && !t.chunked) t.mime.replaceAll("\n.", "\n..");
    if (text::failedAllocations() != failures) {
        log.LogError("Memory ran out while the message was rendered: its text was not sent.");
        return false;
    }
    t.textSize = !t.stream ? t.mime.length() : t.chunked ? chunkCounter.total() : counter.total();
    t.rendered = true;
    return true;
}

bool SmtpConnImpl::makeEnvelope(Transaction& t, LogBase& log) {
    // Made for the connection's server (SMTPUTF8, SIZE or not), and made
    // again for a new connection: a text rendered for the last one may carry
    // a header this server cannot take.
    t.rendered = false;
    t.mime.clear();
    const bool smtpUtf8 = m_capabilities.offers("SMTPUTF8");
    t.chunked = m_options.chunking && m_capabilities.offers("CHUNKING");
    std::string why;
    if (!envelopeForm(t.reversePath, smtpUtf8, t.path, why)) {
        log.LogError(("Reverse path not sent: " + why).c_str());
        return false;
    }
    switch (smtpcmd::mailFrom(t.path, t.mailFrom)) {
        case smtpcmd::Verdict::Ok:
            break;
        case smtpcmd::Verdict::LineBreakOrNul:
            log.LogError("Reverse path contains a line break or NUL; not sent");
            return false;
        case smtpcmd::Verdict::TooLong:
            log.LogError("Reverse path is longer than an SMTP path may be (256 octets); not sent");
            return false;
    }
    // Without SMTPUTF8 the header is 7-bit too (RFC 6532 needs it).
    if (!smtpUtf8 && !t.email.asciiAddressFields(&idna::toAscii, log)) return false;
    t.recipients = envelopeRecipients(t.email, smtpUtf8);
    // RFC 6531: the transaction says so when an address in it is UTF-8.
    bool utf8 = !t.path.is7bit();
    for (const EnvelopeRecipient& r : t.recipients)
        utf8 = utf8 || (r.sendable() && !r.address.is7bit());
    if (utf8 && !addParameter(t.mailFrom, " SMTPUTF8")) return false;
    // A text that goes whole with BDAT is made now: its size leads it.
    if (t.chunked && !t.stream && !renderText(t, log)) return false;
    return !m_capabilities.offers("SIZE") || declareSize(t, log);
}

bool SmtpConnImpl::declareSize(Transaction& t, LogBase& log) {
    // The text is made before the envelope when the server declares SIZE
    // (RFC 1870), else after DATA was accepted.
    if (!t.rendered && !renderText(t, log)) return false;
    // What the server receives: the text and the line break that the
    // end-of-data line puts after it (BDAT sends the same line break).
    const uint64_t size = t.textSize + 2;
    // Refused here, the message costs the server nothing and the connection
    // stays ready for the next one.
    const uint64_t limit = m_capabilities.sizeLimit();
    if (limit && size > limit) {
        const std::string text = "Message too large for this server: " + std::to_string(size) +
                                 " bytes, it accepts at most " + std::to_string(limit) + " (SIZE)";
        log.LogError(text.c_str());
        return false;
    }
    return addParameter(t.mailFrom, " SIZE=" + std::to_string(size));
}

bool SmtpConnImpl::openData(Transaction& t, LogBase& log) {
    SmtpReply reply = t.dataReply;
    if (t.dataGrouped)
        logUnexpected(reply, 354, log);
    else
        reply = exchange(smtpcmd::data(), 354, log);
    if (!reply.is(354)) {
        log.LogError("Failed when sending DATA command");
        logTranscript(log);
        t.numAccepted = 0;
        if (!reply.answered()) resetConnection();
        return false;
    }
    // A large message's size is logged before it goes.
    if (!t.rendered && !renderText(t, log)) {
        // The server is inside DATA: only a new connection gets it out.
        t.numAccepted = 0;
        resetConnection();
        return false;
    }
    log.LogDataLong("email_size", static_cast<int32_t>(t.textSize));
    return true;
}

bool SmtpConnImpl::sendText(Transaction& t, LogBase& log) {
    // The text and the end-of-data line.
    bool textSent = false;
    if (!t.stream) {
        textSent =
            t.mime.append("\r\n.\r\n") && sendLogged(t.mime.getString(), t.mime.length(), log);
    } else {
        bool first = true;
        DotStuffer out([&](const char* bytes, uint32_t n) {
            if (first) recordSent(bytes, n);
            first = false;
            return sendRaw(bytes, n, log);
        });
        t.mime.clear();
        textSent = t.email.assembleMime(t.mime, &out, "BVX-", log) && out.finish("\r\n.\r\n");
    }
    if (!textSent) {
        log.LogError("Failed when sending email body");
        logTranscript(log);
        t.numAccepted = 0;
        resetConnection();
        return false;
    }
    log.LogInfo("Sent DATA terminator");
    return true;
}

bool SmtpConnImpl::readDataReply(Transaction& t, LogBase& log) {
    return judgeTextReply(t, readReply(250, log), true, log);
}

bool SmtpConnImpl::judgeTextReply(Transaction& t, const SmtpReply& reply, bool whole,
                                  LogBase& log) {
    if (reply.is(250)) return true;
    log.LogError("Failed when sending end-of-body");
    log.LogDataLong("CommandSent", 1);  // it went out with the text
    log.LogDataLong("GotResponseCode", loggedCode(reply));
    log.LogDataLong("TimedOut", reply.timedOut() ? 1 : 0);
    log.LogDataLong("Aborted", 0);
    // The server has the whole message; a slow final answer does not make
    // it undelivered. But the answer may still come: on this connection it
    // would be read as the reply to the next command.
    if (whole && reply.timedOut()) {
        resetConnection();
        return true;
    }
    t.numAccepted = 0;
    // Without a readable answer the server's state is unknown, and a late
    // answer would be read as the reply to the next command.
    if (!reply.answered()) resetConnection();
    return false;
}

SmtpCommand SmtpConnImpl::wholeTextChunk(Transaction& t) {
    // The text and the line break that ends its last line, as DATA's
    // end-of-data line would give it.
    SmtpCommand c = smtpcmd::bdat(t.mime.length() + 2, true);
    c.built = c.built && t.mime.append("\r\n") && c.wire.append(t.mime) && c.shown.append(t.mime);
    return c;
}

// How far the chunks of one text got.
struct SmtpConnImpl::ChunkRun {
    uint32_t count = 0;      // chunks sent
    bool last = false;       // the last of them was the LAST one
    bool replyRead = false;  // a chunk's reply was read into reply
    SmtpReply reply;
};

bool SmtpConnImpl::sendChunks(Transaction& t, LogBase& log) {
    // The size is logged before the text goes, as after DATA.
    if (!t.rendered && !renderText(t, log)) {
        t.numAccepted = 0;
        return false;
    }
    log.LogDataLong("email_size", static_cast<int32_t>(t.textSize));
    ChunkRun run;
    if (t.dataGrouped) {
        run = ChunkRun{1, true, true, t.dataReply};
        logUnexpected(run.reply, 250, log);
    } else if (!sendEachChunk(t, run, log)) {
        log.LogError(chunkFailure(run).c_str());
        log.LogError("Failed when sending email body");
        logTranscript(log);
        t.numAccepted = 0;
        resetConnection();
        return false;
    }
    if (run.reply.is(250)) {
        log.LogDataLong("bdat_chunks", static_cast<int32_t>(run.count));
        return true;
    }
    log.LogError(chunkFailure(run).c_str());
    return judgeTextReply(t, run.reply, run.last, log);
}

bool SmtpConnImpl::sendEachChunk(Transaction& t, ChunkRun& run, LogBase& log) {
    // One at a time: a refused chunk stops the text before the server has
    // to drop the rest of it, at one round trip per chunk of a large text.
    const auto sendOne = [&](const char* bytes, uint32_t n, bool last) {
        ++run.count;
        run.last = last;
        StringBuffer chunk;
        const SmtpCommand bdat = smtpcmd::bdat(n, last);
        if (!bdat.built || !chunk.append(bdat.wire) || !chunk.append(bytes, n)) return false;
        if (run.count == 1) recordSent(chunk.getString(), chunk.length());
        if (!sendRaw(chunk.getString(), chunk.length(), log)) return false;
        run.replyRead = true;
        run.reply = readReply(250, log);
        return run.reply.is(250);
    };
    if (!t.stream) {
        if (!t.mime.append("\r\n")) return false;
        sendOne(t.mime.getString(), t.mime.length(), true);
        return run.replyRead;
    }
    SmtpChunker out(sendOne);
    t.mime.clear();
    const bool sent = t.email.assembleMime(t.mime, &out, "BVX-", log) && out.finish("\r\n");
    return sent || (run.replyRead && !run.reply.is(250));
}

std::string SmtpConnImpl::chunkFailure(const ChunkRun& run) {
    return "Failed when sending BDAT chunk " + std::to_string(run.count) +
           (run.last ? " (LAST)" : "");
}
