// The AUTH mechanism the host named with the auth option, and XOAUTH2, the
// OAuth 2.0 bearer login of large mail providers.
#include <string>

#include "diag/log_base.h"
#include "mail/smtp_conn_impl.h"
#include "mime/content_coding.h"
#include "text/data_buffer.h"

namespace {

struct Choice {
    const char* option;
    const char* command;  // as in "AUTH LOGIN"
    SmtpCapabilities::Mechanism flag;
};

const Choice kChoices[] = {
    {"login", "LOGIN", SmtpCapabilities::kLogin},
    {"plain", "PLAIN", SmtpCapabilities::kPlain},
    {"cram-md5", "CRAM-MD5", SmtpCapabilities::kCramMd5},
    {"ntlm", "NTLM", SmtpCapabilities::kNtlm},
    {"xoauth2", "XOAUTH2", SmtpCapabilities::kXoauth2},
};

bool holdsControl(const StringBuffer& s) {
    for (uint32_t i = 0; i < s.length(); ++i)
        if (static_cast<unsigned char>(s.charAt(i)) < 0x20 || s.charAt(i) == 0x7F) return true;
    return false;
}

}  // namespace

bool SmtpConnImpl::authenticateAsAsked(XString& username, XString& password, LogBase& log,
                                       bool& timedOut) {
    const Choice* choice = nullptr;
    for (const Choice& c : kChoices)
        if (m_options.auth == c.option) choice = &c;
    if (!choice) return false;  // the options never hold another name
    if (username.isEmpty() || password.isEmpty()) {
        log.LogData("login_method", "NONE or already authenticated");
        return true;
    }
    log.LogData("login_method", choice->command);
    if (!m_capabilities.has(choice->flag)) {
        const std::string text =
            std::string("AUTH ") + choice->command +
            " is not offered by the server; required by auth=" + choice->option +
            " (auth=auto uses a mechanism the server offers)";
        log.LogError(text.c_str());
        return false;
    }
    bool ok = false, tryAnother = false;
    switch (choice->flag) {
        case SmtpCapabilities::kLogin:
            ok = authLoginExchange(username, password, log, timedOut);
            break;
        case SmtpCapabilities::kPlain:
            ok = authPlainExchange(username, password, log, timedOut);
            break;
        case SmtpCapabilities::kCramMd5:
            ok = authCramMd5Exchange(username, password, log, timedOut);
            break;
        case SmtpCapabilities::kNtlm:
            // No fall-back to LOGIN: the host asked for NTLM.
            ok = authNtlmExchange(username, password, log, timedOut, tryAnother);
            break;
        default:
            ok = authXoauth2Exchange(username, password, log, timedOut);
            break;
    }
    if (!ok) {
        const std::string text =
            std::string("Failed to login using ") + choice->command + " method";
        log.LogInfo(text.c_str());
        return false;
    }
    return loggedIn(choice->command);
}

bool SmtpConnImpl::authXoauth2Exchange(XString& username, XString& token, LogBase& log,
                                       bool& timedOut) {
    const StringBuffer& user = username.getUtf8Sb();
    const StringBuffer& bearer = token.getUtf8Sb();
    // ^A separates the fields: a user name or token holding one (or any
    // control character) would change the message's meaning.
    if (holdsControl(user) || holdsControl(bearer)) {
        log.LogError("Username or access token holds a control character; not sent");
        return false;
    }
    StringBuffer sasl("user=");
    sasl.append(user);
    sasl.append(
        "\x01"
        "auth=Bearer ");
    sasl.append(bearer);
    sasl.append("\x01\x01");
    StringBuffer command("AUTH XOAUTH2 ");
    StringBuffer encoded;
    ContentCoding::encodeBase64(sasl.getBytes(), sasl.length(), encoded);
    encoded.removeChar('\r');
    encoded.removeChar('\n');
    command.append(encoded);
    command.append("\r\n");
    if (!sendLogged(command.getString(), command.length(), log)) {
        log.LogError("Failed to send AUTH XOAUTH2");
        return false;
    }
    int code = -1;
    StringBuffer reply;
    if (readReply(235, code, reply, log, timedOut)) return true;
    if (code != 334) {
        log.LogError("XOAUTH2 authentication failed");
        return false;
    }
    // The 334 carries the provider's error as base64 JSON; the exchange
    // ends with an empty line from us and the server's final reply.
    StringBuffer argument;
    replyArgument(reply, argument);
    DataBuffer json;
    if (ContentCoding::decodeBase64(argument.getString(), argument.length(), json)) {
        StringBuffer text;
        text.append(reinterpret_cast<const char*>(json.data()), json.size());
        log.LogDataSb("xoauth2Error", text);
    }
    if (sendLogged("\r\n", 2, log)) readReply(235, code, reply, log, timedOut);
    log.LogError("XOAUTH2 authentication failed");
    return false;
}
