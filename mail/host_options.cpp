#include "mail/host_options.h"

#include "platform/files.h"

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
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
            m_tls.mode = TlsPolicy::Mode::Auto;
        else if (word == "starttls")
            m_tls.mode = TlsPolicy::Mode::StartTls;
        else if (word == "implicit")
            m_tls.mode = TlsPolicy::Mode::Implicit;
        else if (word == "off")
            m_tls.mode = TlsPolicy::Mode::Off;
        else
            refuse(name, value, "auto, starttls, implicit or off");
    } else if (name == "tls_verify") {
        if (word == "on")
            m_tls.verify = true;
        else if (word == "off")
            m_tls.verify = false;
        else
            refuse(name, value, "on or off");
    } else if (name == "tls_ca_file") {
        platform::File file;
        if (value.empty())
            m_tls.caFile.clear();
        else if (platform::pathKind(value.c_str()) == platform::PathKind::RegularFile &&
                 file.openRead(value.c_str()))
            m_tls.caFile = value;
        else
            refuse(name, value, "a readable PEM file of trusted roots, or empty for none");
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
