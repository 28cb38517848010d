#include "mail/reply_hints.h"

#include <cctype>
#include <cstring>

#include "net/brenvik_socket.h"
#include "text/ascii.h"

namespace replyhints {
namespace {

// One known refusal. A row matches when the reply has its code (0: any),
// its enhanced status code as a word of the text (null: any) and each of
// its "|"-separated words, in any case (null: none needed).
struct Row {
    int code;
    const char* status;
    const char* words;
    const char* hint;
};

// Texts that several rows give.
constexpr const char* kStartTlsFirst =
    "The server takes AUTH and MAIL only after STARTTLS: set tls=starttls (or leave tls=auto).";
constexpr const char* kLoginNeeded =
    "The server takes mail only after a login: give a login and password to set_server.";
constexpr const char* kSendAsDenied =
    "The login may not send as this From address: use the account's own address, or one the "
    "provider lets this login send as.";
constexpr const char* kTooLarge =
    "The message is larger than the server takes: send smaller or fewer attachments.";
constexpr const char* kUnknownRecipient =
    "The server does not know this recipient: check the address for typing errors.";

// Most specific first: the first row that matches gives the hint. The
// texts are those servers publish for submission (Postfix, Exchange and
// Microsoft 365, Gmail) and the status codes of RFC 3463.
const Row kRows[] = {
    // TLS first.
    {530, "5.7.0", "starttls", kStartTlsFirst},
    {0, nullptr, "must issue a starttls", kStartTlsFirst},
    // Password logins turned off by the provider.
    {0, "5.7.139", nullptr,
     "The provider has turned password logins off for this account or tenant: log in with an "
     "OAuth 2.0 access token (auth=xoauth2) or have SMTP AUTH allowed for the mailbox."},
    {0, nullptr, "basic authentication is disabled",
     "The provider has turned password logins off: log in with an OAuth 2.0 access token "
     "(auth=xoauth2)."},
    // Application passwords.
    {534, "5.7.9", nullptr,
     "The account uses two-step verification: create an application password in the "
     "provider's security settings and give it instead of the account password, or use "
     "auth=xoauth2."},
    {0, nullptr, "application-specific password",
     "The account needs an application password: create one in the provider's security "
     "settings and give it instead of the account password."},
    {534, "5.7.14", nullptr,
     "The provider blocked this sign-in: sign in once through its web page to allow it, or use "
     "an application password or an OAuth 2.0 token (auth=xoauth2)."},
    // Wrong login.
    {535, "5.7.8", "username and password not accepted",
     "The login or the password is wrong; with two-step verification the provider wants an "
     "application password or an OAuth 2.0 token (auth=xoauth2)."},
    {535, nullptr, nullptr,
     "The server refused the login: check the login and password given to set_server, and the "
     "mechanism (auth)."},
    {0, "5.7.8", nullptr,
     "The server refused the login: check the login and password given to set_server."},
    // Login needed.
    {530, "5.7.0", "authentication required", kLoginNeeded},
    {530, nullptr, "authentication", kLoginNeeded},
    {0, "5.7.57", nullptr, kLoginNeeded},
    // Relaying.
    {0, nullptr, "relay",
     "The server relays mail only for logged-in users or to its own domains: give a login and "
     "password to set_server (and check it is the server for this account)."},
    // The From address.
    {0, nullptr, "not owned by user", kSendAsDenied},
    {0, nullptr, "sendasdenied", kSendAsDenied},
    {0, nullptr, "sender address rejected",
     "The server refused the From address: check it, and that this login may send as it."},
    // Size.
    {0, "5.3.4", nullptr, kTooLarge},
    {0, "5.2.3", nullptr, kTooLarge},
    {552, nullptr, "size", kTooLarge},
    // Recipients.
    {0, "5.1.1", nullptr, kUnknownRecipient},
    {550, nullptr, "user unknown", kUnknownRecipient},
    {0, "5.1.2", nullptr,
     "The recipient's domain does not exist or takes no mail: check the part after the @."},
    {0, "5.2.2", nullptr, "The recipient's mailbox is full: the recipient has to make room."},
    // Sender domain authentication.
    {0, "5.7.26", nullptr,
     "The recipient's server refused mail that fails the sender domain's SPF, DKIM or DMARC "
     "checks: send through the server of the From address's domain."},
    // Temporary refusals.
    {0, nullptr, "greylist",
     "The server asks new senders to come back later (greylisting): send again in a few "
     "minutes."},
    {421, nullptr, nullptr,
     "The server is closing the connection (busy, or too many connections or messages): try "
     "again later."},
    {0, "4.7.0", "try again later",
     "The server asks to try again later (a temporary limit): send again in a few minutes."},
};

// ASCII only, whatever locale the host has set.
std::string lower(const std::string& s) {
    std::string out(s);
    return text::toLowerAscii(out);
}

// Whether text holds word as a word of its own (status codes such as
// "5.7.1" must not match "5.7.139").
bool hasWord(const std::string& text, const char* word) {
    const size_t n = std::strlen(word);
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool startOk = at == 0 || std::isspace(static_cast<unsigned char>(text[at - 1])) ||
                             text[at - 1] == '-';
        const bool endOk =
            at + n == text.size() ||
            !(std::isdigit(static_cast<unsigned char>(text[at + n])) || text[at + n] == '.');
        if (startOk && endOk) return true;
    }
    return false;
}

bool hasAllWords(const std::string& text, const char* words) {
    std::string list(words);
    size_t from = 0;
    for (;;) {
        const size_t bar = list.find('|', from);
        const std::string word = list.substr(from, bar == std::string::npos ? bar : bar - from);
        if (text.find(word) == std::string::npos) return false;
        if (bar == std::string::npos) return true;
        from = bar + 1;
    }
}

}  // namespace

std::string forReply(const std::string& reply) {
    if (reply.size() < 3) return "";
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(reply[i]))) return "";
        code = code * 10 + (reply[i] - '0');
    }
    const std::string text = lower(reply);
    for (const Row& row : kRows) {
        if (row.code && row.code != code) continue;
        if (row.status && !hasWord(text, row.status)) continue;
        if (row.words && !hasAllWords(text, row.words)) continue;
        return row.hint;
    }
    return "";
}

std::string forConnect(int failReason, int port) {
    const std::string where = "port " + std::to_string(port);
    switch (failReason) {
        case kConnectTimedOut:
            return "Nothing answered on " + where +
                   " (a firewall, or the wrong port): mail submission is usually on port 587 "
                   "(STARTTLS) or 465 (TLS from the first byte, tls=implicit); port 25 is for "
                   "servers and often blocked.";
        case kConnectFailed:
            return "The host refused the connection on " + where +
                   ": mail submission is usually on port 587 (STARTTLS) or 465 (TLS from the "
                   "first byte, tls=implicit); check the port given to set_server.";
        case kConnectLookupFailed:
        case kConnectLookupTimedOut:
            return "The server's name could not be looked up: check the host given to set_server "
                   "and the network's name service.";
        default:
            return "";
    }
}

std::string forNoLogin(bool offersStartTls) {
    if (offersStartTls)
        return "The server offers AUTH only after STARTTLS: set tls=starttls (or tls=auto) to "
               "log in.";
    return "The server lists no AUTH mechanism on this connection, so the login and password "
           "were not used: check the server and port (submission is usually 587 or 465).";
}

}  // namespace replyhints
