#pragma once
// What a host may learn of the last send or login check on a connection:
// the server's last reply line, every reply that refused something, the
// recipients that did not go, and how a failed connect failed.
#include <string>
#include <vector>

struct SmtpOutcome {
    // The final line of the last reply, without its line end.
    std::string lastReply;
    // Each reply with a code of 400 or more, its lines joined by "\n".
    std::vector<std::string> refusals;
    // Recipients the server refused or that could not be put in the envelope.
    std::vector<std::string> refusedRecipients;
    // Why the last connect failed (BrenvikSocket's kConnect... reasons: no
    // such host, timed out, refused or otherwise failed); 0 when it did not.
    int connectError = 0;

    // Replies kept per operation: a hostile server cannot grow them.
    static constexpr size_t kMaxRefusals = 16;
    static constexpr size_t kMaxReplyBytes = 4096;

    void clear() { *this = SmtpOutcome(); }
};
