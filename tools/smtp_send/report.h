#pragma once
// What smtp-send makes of the module's answers after a send or a login
// check: the failure class (its exit status) and the SMTP dialogue read out
// of the activity log.
#include <string>
#include <vector>

namespace smtp_send {

// Exit statuses; the numbers are documented in --help and the README.
enum ExitStatus {
    kExitOk = 0,          // sent, or the login check passed
    kExitOther = 1,       // any other failure (the module not loaded, ...)
    kExitUsage = 2,       // the command line, a setting or a named file
    kExitConnect = 3,     // no SMTP session: name lookup, TCP connect, greeting
    kExitTls = 4,         // TLS required but not reached, or not set up
    kExitAuth = 5,        // the login failed or could not be made
    kExitRecipients = 6,  // not sent: the server refused the recipients
    kExitPartial = 7,     // sent, but some recipients were refused
};

// What the module told after a failed send() or connect().
struct Failure {
    std::string code;        // get_last_error (empty after connect)
    std::string firstError;  // get_option("last_error"), with its hint
    std::string log;         // get_option("log")
    std::string refused;     // get_option("refused_recipients")
    std::string authUsed;    // get_option("auth_used")
};

// The failure's class, one of the statuses above other than kExitOk and
// kExitPartial.
ExitStatus classify(const Failure& f);

// One entry of the activity log: a context (an element holding others) or a
// leaf ("info", "error" or a named datum) with its text.
struct LogItem {
    int depth = 0;
    std::string name;
    std::string text;
    bool context = false;
};

// Reads the log's XML (CDATA sections unwrapped); what does not parse ends
// the list.
std::vector<LogItem> parseLog(const std::string& xml);

// The dialogue held in the log, one line each: "S: " what the server said,
// "C: " what was sent, "-- " a note (connecting, TLS, AUTH), "!! " an error.
std::vector<std::string> dialogue(const std::string& xml);

// text with every occurrence of a secret, and of its base64 forms (alone and
// as AUTH PLAIN's "\0user\0password"), replaced by "****".
std::string masked(std::string text, const std::string& user, const std::string& password);

}  // namespace smtp_send
