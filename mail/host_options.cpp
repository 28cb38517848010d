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
    m_notes.push_back("Option ignored: " + name + "=\"" + value + "\" is not valid (" + allowed +
                      ")");
}

void HostOptions::set(const std::string& rawName, const std::string& value) {
    const std::string name = lowerAscii(rawName);
    const std::string word = lowerAscii(value);
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
            refuse(name, value, "auto, starttls, implicit or off");
    } else if (name == "tls_verify") {
        if (word == "on")
            m_session.tls.verify = true;
        else if (word == "off")
            m_session.tls.verify = false;
        else
            refuse(name, value, "on or off");
    } else if (name == "tls_ca_file") {
        platform::File file;
        if (value.empty())
            m_session.tls.caFile.clear();
        else if (platform::pathKind(value.c_str()) == platform::PathKind::RegularFile &&
                 file.openRead(value.c_str()))
            m_session.tls.caFile = value;
        else
            refuse(name, value, "a readable PEM file of trusted roots, or empty for none");
    } else if (name == "connect_timeout" || name == "read_timeout") {
        const int seconds = secondsFrom(value);
        if (seconds < 1)
            refuse(name, value, "whole seconds, 1 to 600");
        else
            (name == "connect_timeout" ? m_connectTimeoutSecs : m_readTimeoutSecs) = seconds;
    } else if (name == "auth") {
        static const char* const kNames[] = {"auto",     "login", "plain",
                                             "cram-md5", "ntlm",  "xoauth2"};
        bool known = false;
        for (const char* n : kNames) known = known || word == n;
        if (known)
            m_session.auth = word;
        else
            refuse(name, value, "auto, login, plain, cram-md5, ntlm or xoauth2");
    } else if (name == "helo_name") {
        if (isHeloName(value))
            m_session.heloName = value;
        else
            refuse(name, value,
                   "a domain or address literal of 1 to 255 printable ASCII characters");
    } else {
        // The value is not repeated: a host that mistook the name may have
        // passed something secret.
        m_notes.push_back("Option ignored: unknown name \"" + rawName + "\"");
    }
}

std::vector<std::string> HostOptions::takeNotes() {
    std::vector<std::string> notes;
    notes.swap(m_notes);
    return notes;
}
