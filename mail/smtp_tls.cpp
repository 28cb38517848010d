// TLS for the SMTP connection: implicit TLS before the greeting, STARTTLS
// (RFC 3207) after EHLO, the certificate check and what the host's policy
// makes of its outcome.
#include <string>

#include "diag/log_base.h"
#include "mail/smtp_conn_impl.h"
#include "net/hostname_resolve.h"
#include "platform/tls.h"

namespace {

const char* checkCause(platform::TlsCertificateCheck check) {
    switch (check) {
        case platform::TlsCertificateCheck::Untrusted:
            return "TLS certificate not trusted";
        case platform::TlsCertificateCheck::NameMismatch:
            return "TLS certificate name mismatch";
        case platform::TlsCertificateCheck::Expired:
            return "TLS certificate expired";
        case platform::TlsCertificateCheck::NotYetValid:
            return "TLS certificate not yet valid";
        case platform::TlsCertificateCheck::NoCertificate:
            return "TLS server sent no certificate";
        default:
            return "TLS certificate check failed";
    }
}

// What the host can change to let such a certificate pass.
const char* checkRemedy(platform::TlsCertificateCheck check) {
    switch (check) {
        case platform::TlsCertificateCheck::Untrusted:
            return "tls_ca_file adds a trusted root; tls_verify=off skips the check";
        case platform::TlsCertificateCheck::NameMismatch:
            return "connect by a name the certificate carries, or tls_verify=off skips the check";
        default:
            return "tls_verify=off skips the check";
    }
}

}  // namespace

void SmtpConnImpl::requiredTlsFailed(const char* cause, const char* remedy, LogBase& log) {
    std::string text =
        std::string(cause) + "; required by tls=" + m_options.tls.modeName() + " (" + remedy + ")";
    log.LogError(text.c_str());
}

SmtpConnImpl::TlsStep SmtpConnImpl::secureConnection(const char* host, bool implicit,
                                                     LogBase& log) {
    LogNull quiet;
    if (!platform::tlsAvailable()) {
        if (!m_options.tls.required() && !implicit) return TlsStep::Plain;
        requiredTlsFailed("TLS is not available in this build", "tls=off sends without TLS", log);
        m_socket.close(quiet);
        return TlsStep::Failed;
    }
    platform::TlsClientSettings settings;
    settings.peerName = peerName(host);
    settings.extraRootsFile = m_options.tls.caFile;
    std::string error;
    bool localFailure = false;
    if (!m_socket.startTls(settings, netMs(m_readTimeout), log, error, localFailure)) {
        if (localFailure) {
            // Nothing the server did: the set-up here is broken, and plain
            // text on another connection would only hide that.
            std::string text = "TLS cannot be set up on this side: " + error;
            if (!settings.extraRootsFile.empty())
                text += "; tls_ca_file must name a readable file of PEM certificates";
            text += " (no send in plain text instead)";
            log.LogError(text.c_str());
            return TlsStep::Failed;
        }
        if (m_options.tls.required()) {
            requiredTlsFailed("TLS handshake failed", "tls=auto or tls=off sends without TLS", log);
            return TlsStep::Failed;
        }
        log.LogError("TLS handshake failed");
        // After STARTTLS the server may still take the message in plain
        // text on a new connection; a TLS port will not.
        return implicit ? TlsStep::Failed : TlsStep::RetryPlain;
    }
    return judgeCertificate(log);
}

std::string SmtpConnImpl::peerName(const char* host) {
    StringBuffer name(host ? host : "");
    name.trim();
    // An IPv6 literal, bracketed or with a port, is checked as the address.
    platform::IpAddress literal;
    int literalPort = -1;
    if (parseIPv6Host(name.getString(), literal, literalPort) == Ipv6Host::Literal)
        return platform::formatIpAddress(literal);
    // "host:port" connects to the host alone.
    const int colon = name.findChar(':');
    if (colon >= 0) name.truncate(static_cast<uint32_t>(colon));
    // An address is checked as the one the socket is connected to, in its
    // canonical text: never another reading of what the host wrote.
    const StringBuffer& connected = m_socket.socket().remoteIp();
    if (platform::parseIPv4(name.getString()) != platform::kAddrNone && !connected.isEmpty())
        name.setString(connected.getString(), connected.length());
    return name.getString();
}

SmtpConnImpl::TlsStep SmtpConnImpl::judgeCertificate(LogBase& log) {
    LogNull quiet;
    const platform::TlsSessionInfo& info = m_socket.tls()->info();
    log.LogData("tlsVersion", info.version.c_str());
    log.LogData("tlsCipher", info.cipher.c_str());
    if (!info.peerSubject.empty()) log.LogData("tlsPeerCertificate", info.peerSubject.c_str());
    if (info.check == platform::TlsCertificateCheck::Passed) {
        log.LogData("tlsCertificateCheck", "passed");
        return TlsStep::Secured;
    }
    std::string failed = checkCause(info.check);
    if (!info.checkText.empty()) failed += ": " + info.checkText;
    log.LogData("tlsCertificateCheck", failed.c_str());
    if (m_options.tls.required() && m_options.tls.verify) {
        requiredTlsFailed(failed.c_str(), checkRemedy(info.check), log);
        m_socket.close(quiet);
        return TlsStep::Failed;
    }
    log.LogInfo(m_options.tls.required() ? "Certificate check not enforced (tls_verify=off)."
                                         : "Certificate check not enforced (tls=auto).");
    return TlsStep::Secured;
}

SmtpConnImpl::TlsStep SmtpConnImpl::negotiateStartTls(const char* host,
                                                      const StringBuffer& helloName, LogBase& log) {
    if (m_options.tls.mode == TlsPolicy::Mode::Off || m_socket.tls()) return TlsStep::Plain;
    LogNull quiet;
    if (!platform::tlsAvailable()) {
        if (!m_options.tls.required()) return TlsStep::Plain;
        requiredTlsFailed("TLS is not available in this build", "tls=off sends without TLS", log);
        m_socket.close(quiet);
        return TlsStep::Failed;
    }
    if (!m_capabilities.offers("STARTTLS")) {
        if (m_options.tls.mode != TlsPolicy::Mode::StartTls) {
            log.LogInfo("The server does not offer STARTTLS; continuing without TLS (tls=auto).");
            return TlsStep::Plain;
        }
        requiredTlsFailed("STARTTLS not offered by the server",
                          "tls=auto sends without TLS when the server offers none", log);
        m_socket.close(quiet);
        return TlsStep::Failed;
    }

    const SmtpReply reply = exchange(smtpcmd::startTls(), 220, log);
    if (!reply.is(220)) {
        if (reply.answered() && m_socket.isConnected() && !m_options.tls.required()) {
            // A refused STARTTLS leaves the session as it was (RFC 3207).
            log.LogInfo("STARTTLS refused; continuing without TLS (tls=auto).");
            return TlsStep::Plain;
        }
        requiredTlsFailed(
            reply.answered() ? "STARTTLS refused by the server" : "No reply to STARTTLS",
            "tls=auto sends without TLS when the server refuses it", log);
        m_socket.close(quiet);
        return TlsStep::Failed;
    }
    const TlsStep step = secureConnection(host, false, log);
    if (step != TlsStep::Secured) return step;

    // Nothing the server said before TLS counts any more: EHLO again.
    m_capabilities.clear();
    StringBuffer helloText;
    if (!send(smtpcmd::ehlo(helloName), log) ||
        readEhloReply(helloText, log) != EhloOutcome::Accepted) {
        log.LogDataSb("helloResponse", helloText);
        log.LogError("EHLO after STARTTLS failed");
        m_socket.close(quiet);
        return TlsStep::Failed;
    }
    log.LogDataSb("helloResponse", helloText);
    return TlsStep::Secured;
}
