// Choosing the AUTH mechanism, from one table for auth=auto and for the
// mechanism the host named with the auth option; and XOAUTH2, the OAuth 2.0
// bearer login of large mail providers.
#include <string>

#include "diag/log_base.h"
#include "mail/smtp_conn_impl.h"
#include "mime/content_coding.h"
#include "text/data_buffer.h"

struct SmtpConnImpl::Mechanism {
    SmtpCapabilities::Mechanism flag;
    // The auth option that asks for it; null when none can.
    const char* option;
    // As in "AUTH LOGIN"; also the login noted and the failure logged.
    const char* name;
    // The login_method auth=auto logs; null when auth=auto never picks it.
    const char* autoName;
    // Null for a mechanism this client cannot speak.
    LoginRun run;
    // Logged when auth=auto meets it and cannot speak it.
    const char* unsupported;
};

namespace {

using M = SmtpCapabilities;

}  // namespace

// In the order auth=auto prefers them.
const SmtpConnImpl::Mechanism SmtpConnImpl::kMechanisms[] = {
    {M::kLogin, "login", "LOGIN", "LOGIN", &SmtpConnImpl::authLogin, nullptr},
    {M::kNtlm, "ntlm", "NTLM", "NTLM", &SmtpConnImpl::authNtlm, nullptr},
    {M::kMsn, nullptr, "MSN", "MSN", &SmtpConnImpl::authMsn, nullptr},
    {M::kCramMd5, "cram-md5", "CRAM-MD5", "CRAM_MD5", &SmtpConnImpl::authCramMd5, nullptr},
    {M::kPlain, "plain", "PLAIN", "PLAIN", &SmtpConnImpl::authPlain, nullptr},
    {M::kXoauth2, "xoauth2", "XOAUTH2", nullptr, &SmtpConnImpl::authXoauth2, nullptr},
    // Mechanisms we cannot speak: auth=auto goes on unauthenticated; a
    // server that needs a login refuses MAIL FROM and says why.
    {M::kDigestMd5, nullptr, "DIGEST-MD5", "DIGEST-MD5", nullptr,
     "DIGEST-MD5 login method not supported"},
    {M::kGssapi, nullptr, "GSSAPI", "GSSAPI", nullptr, "GSSAPI login method not supported"},
    {M::kKerberosV4, nullptr, "KERBEROS_V4", "Kerberos-V4", nullptr,
     "Kerberos v4 login method not supported"},
    {M::kAnonymous, nullptr, "ANONYMOUS", "anonymous", nullptr,
     "Anonymous login method not supported"},
};

namespace {

bool haveCredentials(XString& username, XString& password) {
    return !username.isEmpty() && !password.isEmpty();
}

bool holdsControl(const StringBuffer& s) {
    for (uint32_t i = 0; i < s.length(); ++i)
        if (static_cast<unsigned char>(s.charAt(i)) < 0x20 || s.charAt(i) == 0x7F) return true;
    return false;
}

}  // namespace

const SmtpConnImpl::Mechanism* SmtpConnImpl::mechanismFor(SmtpCapabilities::Mechanism flag) {
    for (const Mechanism& m : kMechanisms)
        if (m.flag == flag) return &m;
    return nullptr;
}

const SmtpConnImpl::Mechanism* SmtpConnImpl::mechanismNamed(const std::string& option) {
    for (const Mechanism& m : kMechanisms)
        if (m.option && option == m.option) return &m;
    return nullptr;
}

SmtpConnImpl::Login SmtpConnImpl::runMechanism(SmtpCapabilities::Mechanism flag, XString& username,
                                               XString& password, LogBase& log) {
    const Mechanism* m = mechanismFor(flag);
    return m && m->run ? (this->*m->run)(username, password, log) : Login::Failed;
}

void SmtpConnImpl::forceAuthMethod(const StringBuffer& method) {
    if (method.equals("NTLM")) {
        m_capabilities.setMechanisms(SmtpCapabilities::kNtlm);
    } else if (method.equals("NONE")) {
        m_capabilities.setMechanisms(0);
    }
}

SmtpConnImpl::Login SmtpConnImpl::tryMechanism(const Mechanism& m, XString& username,
                                               XString& password, bool fallBack, LogBase& log) {
    Login result = (this->*m.run)(username, password, log);
    if (result == Login::TryAnother && fallBack) return result;
    if (result == Login::Done) {
        m_authUsed = m.name;
        return result;
    }
    const std::string text = std::string("Failed to login using ") + m.name + " method";
    log.LogInfo(text.c_str());
    return Login::Failed;
}

bool SmtpConnImpl::authenticate(XString& username, XString& password, LogBase& log) {
    if (m_options.auth != "auto") return authenticateAsAsked(username, password, log);
    const bool creds = haveCredentials(username, password);
    if (creds && !m_capabilities.has(SmtpCapabilities::kLogin) &&
        !m_capabilities.has(SmtpCapabilities::kNtlm) &&
        !m_capabilities.has(SmtpCapabilities::kMsn) &&
        !m_capabilities.has(SmtpCapabilities::kCramMd5)) {
        log.LogInfo("This SMTP server did not list authentication methods.");
        StringBuffer user(username.getUtf8());
        user.toLowerCase();
        if (user.contains(kDefaultLoginDomain)) {
            log.LogInfo("Defaulting to LOGIN authentication method.");
            m_capabilities.addMechanism(SmtpCapabilities::kLogin);
        }
    }
    for (const Mechanism& m : kMechanisms) {
        if (!creds || !m.autoName || !m_capabilities.has(m.flag)) continue;
        log.LogData("login_method", m.autoName);
        if (!m.run) {
            log.LogError(m.unsupported);
            return true;
        }
        const Login result = tryMechanism(m, username, password, true, log);
        if (result != Login::TryAnother) return result == Login::Done;
        // No security package for it here: LOGIN may still do.
        log.LogData("alt_login_method", "LOGIN");
        return tryMechanism(*mechanismFor(SmtpCapabilities::kLogin), username, password, false,
                            log) == Login::Done;
    }
    log.LogData("login_method", "NONE or already authenticated");
    return true;
}

bool SmtpConnImpl::authenticateAsAsked(XString& username, XString& password, LogBase& log) {
    const Mechanism* choice = mechanismNamed(m_options.auth);
    if (!choice) return false;  // the options never hold another name
    if (!haveCredentials(username, password)) {
        log.LogData("login_method", "NONE or already authenticated");
        return true;
    }
    log.LogData("login_method", choice->name);
    if (!m_capabilities.has(choice->flag)) {
        const std::string text =
            std::string("AUTH ") + choice->name +
            " is not offered by the server; required by auth=" + choice->option +
            " (auth=auto uses a mechanism the server offers)";
        log.LogError(text.c_str());
        return false;
    }
    // No fall-back to LOGIN: the host asked for this one.
    return tryMechanism(*choice, username, password, false, log) == Login::Done;
}

SmtpConnImpl::Login SmtpConnImpl::authXoauth2(XString& username, XString& token, LogBase& log) {
    const StringBuffer& user = username.getUtf8Sb();
    const StringBuffer& bearer = token.getUtf8Sb();
    // ^A separates the fields: a user name or token holding one (or any
    // control character) would change the message's meaning.
    if (holdsControl(user) || holdsControl(bearer)) {
        log.LogError("Username or access token holds a control character; not sent");
        return Login::Failed;
    }
    StringBuffer sasl;
    const bool made = sasl.append("user=") && sasl.append(user) &&
                      sasl.append(
                          "\x01"
                          "auth=Bearer ") &&
                      sasl.append(bearer) && sasl.append("\x01\x01");
    if (!made || !send(smtpcmd::authWithResponse("XOAUTH2", sasl.getBytes(), sasl.length()), log)) {
        log.LogError("Failed to send AUTH XOAUTH2");
        return Login::Failed;
    }
    const SmtpReply reply = readReply(235, log);
    if (reply.is(235)) return Login::Done;
    if (!reply.is(334)) {
        log.LogError("XOAUTH2 authentication failed");
        return Login::Failed;
    }
    // The 334 carries the provider's error as base64 JSON; the exchange
    // ends with an empty line from us and the server's final reply.
    StringBuffer argument;
    replyArgument(reply.lastTrimmed(), argument);
    DataBuffer json;
    if (ContentCoding::decodeBase64(argument.getString(), argument.length(), json)) {
        StringBuffer text;
        text.append(reinterpret_cast<const char*>(json.data()), json.size());
        log.LogDataSb("xoauth2Error", text);
    }
    if (send(smtpcmd::saslEmpty(), log)) readReply(235, log);
    log.LogError("XOAUTH2 authentication failed");
    return Login::Failed;
}
