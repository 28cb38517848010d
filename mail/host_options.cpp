#include "mail/host_options.h"

#include "platform/files.h"

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// 1 to 600 from plain decimal digits; 0 for anything else.
int secondsFrom(const std::string& value) {
    if (value.empty() || value.size() > 3) return 0;
    int n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= 600 ? n : 0;
}

// What EHLO may carry (RFC 5321 Domain or address literal): printable
// ASCII without blanks; anything else could end the command early.
bool isHeloName(const std::string& value) {
    if (value.empty() || value.size() > 255) return false;
    for (char c : value)
        if (c <= ' ' || c >= 0x7F) return false;
    return true;
}

}  // namespace

void HostOptions::refuse(const std::string& name, const std::string& value, const char* allowed) {
    accept(name);
    m_problems.emplace_back(name,
                            "Option " + name + "=" + value + " is not valid (" + allowed + ")");
    m_refused = true;
}

void HostOptions::accept(const std::string& name) {
    for (auto it = m_problems.begin(); it != m_problems.end();)
        it = it->first == name ? m_problems.erase(it) : it + 1;
}

void HostOptions::set(const std::string& rawName, const std::string& value) {
    const std::string name = lowerAscii(rawName);
    const std::string word = lowerAscii(value);
    m_refused = false;
    if (!setTls(name, word, value) && !setSession(name, word, value) &&
        !setHostSide(name, word, value)) {
        // The value is not repeated: a host that mistook the name may have
        // passed something secret.
        m_problems.emplace_back(name, "Option " + rawName + " is not known");
        return;
    }
    if (!m_refused) accept(name);
}

void HostOptions::setOnOff(const std::string& name, const std::string& word,
                           const std::string& value, bool& target) {
    if (word == "on" || word == "off")
        target = word == "on";
    else
        refuse(name, value, "on, off");
}

bool HostOptions::setTls(const std::string& name, const std::string& word,
                         const std::string& value) {
    if (name == "tls") {
        if (word == "auto")
            m_session.tls.mode = TlsPolicy::Mode::Auto;
        else if (word == "starttls")
            m_session.tls.mode = TlsPolicy::Mode::StartTls;
        else if (word == "implicit")
            m_session.tls.mode = TlsPolicy::Mode::Implicit;
        else if (word == "off")
            m_session.tls.mode = TlsPolicy::Mode::Off;
        else
            refuse(name, value, "auto, starttls, implicit, off");
    } else if (name == "tls_verify") {
        setOnOff(name, word, value, m_session.tls.verify);
    } else if (name == "tls_ca_file") {
        platform::File file;
        if (value.empty())
            m_session.tls.caFile.clear();
        else if (platform::pathKind(value.c_str()) == platform::PathKind::RegularFile &&
                 file.openRead(value.c_str()))
            m_session.tls.caFile = value;
        else
            refuse(name, value, "a readable PEM file of trusted roots, or empty for none");
    } else {
        return false;
    }
    return true;
}

bool HostOptions::setSession(const std::string& name, const std::string& word,
                             const std::string& value) {
    if (name == "auth") {
        static const char* const kNames[] = {"auto",     "login", "plain",
                                             "cram-md5", "ntlm",  "xoauth2"};
        bool known = false;
        for (const char* n : kNames) known = known || word == n;
        if (known)
            m_session.auth = word;
        else
            refuse(name, value, "auto, login, plain, cram-md5, ntlm, xoauth2");
    } else if (name == "helo_name") {
        if (isHeloName(value))
            m_session.heloName = value;
        else
            refuse(name, value,
                   "a domain or address literal of 1 to 255 printable ASCII characters");
    } else if (name == "chunking") {
        setOnOff(name, word, value, m_session.chunking);
    } else {
        return false;
    }
    return true;
}

bool HostOptions::setHostSide(const std::string& name, const std::string& word,
                              const std::string& value) {
    if (name == "connect_timeout" || name == "read_timeout") {
        const int seconds = secondsFrom(value);
        if (seconds < 1)
            refuse(name, value, "whole seconds, 1 to 600");
        else
            (name == "connect_timeout" ? m_connectTimeoutSecs : m_readTimeoutSecs) = seconds;
    } else if (name == "error_file") {
        // Any path; whether it can be written shows when a send fails.
        m_errorFile = value;
    } else if (name == "verify_login") {
        if (word == "normal" || word == "strict")
            m_strictLoginCheck = word == "strict";
        else
            refuse(name, value, "normal, strict");
    } else if (name == "html_alternative") {
        setOnOff(name, word, value, m_htmlAlternative);
    } else {
        return false;
    }
    return true;
}

std::vector<std::string> HostOptions::problems() const {
    std::vector<std::string> out;
    for (const auto& p : m_problems) out.push_back(p.second);
    return out;
}

bool HostOptions::value(const std::string& rawName, std::string& out, int connectDefaultSecs,
                        int readDefaultSecs) const {
    const std::string name = lowerAscii(rawName);
    if (name == "tls")
        out = m_session.tls.modeName();
    else if (name == "tls_verify")
        out = m_session.tls.verify ? "on" : "off";
    else if (name == "tls_ca_file")
        out = m_session.tls.caFile;
    else if (name == "auth")
        out = m_session.auth;
    else if (name == "helo_name")
        out = m_session.heloName;
    else if (name == "connect_timeout")
        out = std::to_string(m_connectTimeoutSecs ? m_connectTimeoutSecs : connectDefaultSecs);
    else if (name == "read_timeout")
        out = std::to_string(m_readTimeoutSecs ? m_readTimeoutSecs : readDefaultSecs);
    else if (name == "chunking")
        out = m_session.chunking ? "on" : "off";
    else if (name == "error_file")
        out = m_errorFile;
    else if (name == "verify_login")
        out = m_strictLoginCheck ? "strict" : "normal";
    else if (name == "html_alternative")
        out = m_htmlAlternative ? "on" : "off";
    else
        return false;
    return true;
}
