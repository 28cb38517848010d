#pragma once
// What the host asked of TLS for its SMTP connections (set_option "tls",
// "tls_verify", "tls_ca_file").
#include <string>

struct TlsPolicy {
    enum class Mode {
        Auto,      // STARTTLS when offered, TLS at once on port 465; not enforced
        StartTls,  // STARTTLS required, certificate checked
        Implicit,  // TLS from the first byte on any port, certificate checked
        Off,       // plain TCP only
    };
    Mode mode = Mode::Auto;
    // Whether a required TLS session also requires a certificate that passes.
    bool verify = true;
    // Roots trusted besides the system's (PEM); empty for none.
    std::string caFile;

    bool operator==(const TlsPolicy&) const = default;
    bool required() const { return mode == Mode::StartTls || mode == Mode::Implicit; }
    // TLS from the first byte on this port.
    bool implicitOn(int port) const {
        return mode == Mode::Implicit || (mode == Mode::Auto && port == 465);
    }
    // The option's text for this mode, as the host writes it.
    const char* modeName() const {
        switch (mode) {
            case Mode::StartTls:
                return "starttls";
            case Mode::Implicit:
                return "implicit";
            case Mode::Off:
                return "off";
            default:
                return "auto";
        }
    }
};
