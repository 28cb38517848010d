#pragma once
// What the host asked of its SMTP connections through set_option: TLS
// ("tls", "tls_verify", "tls_ca_file"), the AUTH mechanism and the EHLO name.
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

// Everything the host's options decide about how a connection is set up; a
// connection made under other options is not reused.
struct SessionOptions {
    TlsPolicy tls;
    // "auto", or the one mechanism to use: login, plain, cram-md5, ntlm,
    // xoauth2 (the password is then the access token).
    std::string auth = "auto";
    // The name EHLO and HELO announce; empty for the machine's own.
    std::string heloName;
    // BDAT (RFC 3030) when the server offers CHUNKING; off keeps DATA.
    bool chunking = true;

    bool operator==(const SessionOptions&) const = default;
};
