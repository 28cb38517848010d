#pragma once
// What one received line means in an SMTP reply (RFC 5321 4.2): a
// continuation ("250-..."), a final line ("250 ...", or the bare code
// "250"), or something that is no reply line at all. Pure parsing, so that
// every reader judges lines the same way and tests need no socket.
#include <cstdint>

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

// One whole reply as the reply collector read it.
struct SmtpReply {
    enum class Status {
        Complete,      // a final line arrived
        ReadFailed,    // nothing (more) could be read: time-out, closed, reset
        Unrecognized,  // a line that is not a reply line; it is in `last`
        TooLong,       // the reply grew past the size bound
    };
    Status status = Status::ReadFailed;
    // The final line's code; -2 when it has no numeric code, -1 when none came.
    int code = -1;
    // Every line read, with line ends, in order.
    StringBuffer text;
    // The last line read, with its line end.
    StringBuffer last;

    bool complete() const { return status == Status::Complete; }
};
