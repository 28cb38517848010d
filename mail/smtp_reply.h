#pragma once
// What one received line means in an SMTP reply (RFC 5321 4.2): a
// continuation ("250-..."), a final line ("250 ...", or the bare code
// "250"), or something that is no reply line at all; and the reply those
// lines make. Pure parsing, so that every reader judges lines the same way
// and tests need no socket.
#include <cstdint>
#include <string>
#include <vector>

#include "text/string_buffer.h"

namespace smtpreply {

enum class LineKind { Final, Continuation, Unrecognized };

// Length of the line without its closing CR LF.
uint32_t bodyLength(const StringBuffer& line);

// The reply code: the first three characters when all are decimal digits.
bool parseCode(const StringBuffer& line, int& code);

// A line of three characters or fewer is unrecognized unless it is a bare
// three-digit code, which is a final line. code is the parsed code, or -2
// when the first three characters are not digits.
LineKind classify(const StringBuffer& line, int& code);

}  // namespace smtpreply

// One reply as a reader returned it: what the transport did apart from
// what the server said.
struct SmtpReply {
    enum class Transport {
        Answered,        // a line with a reply code ended the reply
        NotSent,         // the command never went out, so nothing was read
        TimedOut,        // nothing complete came within the read time-out
        ConnectionLost,  // the connection closed or failed while reading
        Unreadable,      // what came is no reply; flaw says how
    };
    enum class Flaw {
        None,
        NotReplyLine,  // a line that is neither a final line nor a continuation
        NoCode,        // a final line whose first three characters are no number
        TooLong,       // the reply grew past the size bound
    };
    // How many lines a reader takes: the first alone (the SASL challenge
    // lines are read so), or all up to the final one.
    enum class Shape { OneLine, WholeReply };

    Transport transport = Transport::NotSent;
    Flaw flaw = Flaw::None;
    // The code of the last line; meaningful only when answered().
    int code = 0;
    // The enhanced status code of the last line (RFC 3463), "5.7.8"; empty
    // when it carries none.
    std::string enhanced;
    // Every complete line, without its line end.
    std::vector<std::string> lines;
    // Every complete line, with its line end, as received.
    StringBuffer text;
    // The last line with its line end; after a failed read, what arrived of
    // the line that did not end.
    StringBuffer last;

    bool answered() const { return transport == Transport::Answered; }
    bool is(int expected) const { return answered() && code == expected; }
    bool timedOut() const { return transport == Transport::TimedOut; }
    // The last line without its line end or surrounding blanks.
    StringBuffer lastTrimmed() const;

    static SmtpReply notSent() { return SmtpReply(); }
    // Adds a received line (with its line end); true while the reply needs
    // another one. maxBytes bounds the lines of a multi-line reply.
    bool addLine(const StringBuffer& line, Shape shape, uint32_t maxBytes);
    // Ends the reply on a read that failed; partial is what came of the line.
    void readFailed(const StringBuffer& partial, bool timedOut);
};
