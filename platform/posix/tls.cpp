// TLS client sessions with OpenSSL 3. The record layer reads and writes the
// socket through a BIO of our own that calls the platform's send and receive,
// so a vanished peer can never raise SIGPIPE in the host's process and the
// socket stays in the caller's non-blocking mode.
#include "platform/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace platform {
namespace {

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// Every queued OpenSSL error, oldest first; the queue is left empty, since
// it belongs to the thread and the host may use OpenSSL too.
std::string drainErrors() {
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

// ---- the BIO over a platform socket
int bioWrite(BIO* bio, const char* data, int size) {
    const auto s = reinterpret_cast<uintptr_t>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    int err = 0;
    const long n = sendSome(static_cast<SocketHandle>(s), data, static_cast<uint32_t>(size), err);
    if (n < 0 && err == wsa::kWouldBlock) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* buffer, int size) {
    const auto s = reinterpret_cast<uintptr_t>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    int err = 0;
    const long n = recvSome(static_cast<SocketHandle>(s), buffer, static_cast<uint32_t>(size), err);
    if (n < 0 && err == wsa::kWouldBlock) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long bioCtrl(BIO*, int cmd, long, void*) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, on the first session (OpenSSL is set up by then), and freed
// when the module is unloaded: a host that unloads it must not lose it.
BIO_METHOD* socketMethod() {
    struct Holder {
        BIO_METHOD* method =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "platform socket");
        Holder() {
            if (!method) return;
            BIO_meth_set_write(method, bioWrite);
            BIO_meth_set_read(method, bioRead);
            BIO_meth_set_ctrl(method, bioCtrl);
            BIO_meth_set_create(method, bioCreate);
        }
        ~Holder() { BIO_meth_free(method); }
    };
    static Holder holder;
    return holder.method;
}

// ---- contexts
CtxPtr makeContext(const std::string& extraRoots, std::string& error) {
    CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        error = "cannot create a TLS context: " + drainErrors();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // A renegotiation (TLS 1.2) would bring a new certificate that nothing
    // checks: refused, as TLS 1.3 has none anyway.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    // The check always runs; whether it may end the session is decided above.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(ctx.get());
    ERR_clear_error();  // a machine without a system store is no error here
    if (!extraRoots.empty() &&
        SSL_CTX_load_verify_locations(ctx.get(), extraRoots.c_str(), nullptr) != 1) {
        error = "the file of trusted roots cannot be read (" + extraRoots + "): " + drainErrors();
        return nullptr;
    }
    return ctx;
}

// The context with the system's roots only is made once: loading the store
// costs more than a handshake on a fast network.
std::shared_ptr<SSL_CTX> defaultContext(std::string& error) {
    static std::mutex lock;
    static std::shared_ptr<SSL_CTX> shared;
    std::lock_guard<std::mutex> guard(lock);
    if (!shared) {
        CtxPtr made = makeContext("", error);
        if (made) shared.reset(made.release(), CtxFree());
    }
    return shared;
}

TlsCertificateCheck checkFromVerifyResult(long result) {
    switch (result) {
        case X509_V_OK:
            return TlsCertificateCheck::Passed;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return TlsCertificateCheck::NameMismatch;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return TlsCertificateCheck::Expired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return TlsCertificateCheck::NotYetValid;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return TlsCertificateCheck::Untrusted;
        default:
            return TlsCertificateCheck::OtherProblem;
    }
}

std::string nameText(const X509_NAME* name) {
    if (!name) return std::string();
    BIO* mem = BIO_new(BIO_s_mem());
    if (!mem) return std::string();
    X509_NAME_print_ex(mem, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(mem, &data);
    std::string text(data ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
    BIO_free(mem);
    return text;
}

class OpenSslSession : public TlsClientSession {
  public:
    OpenSslSession(std::shared_ptr<SSL_CTX> ctx, SslPtr ssl)
        : m_ctx(std::move(ctx)), m_ssl(std::move(ssl)) {}

    TlsStatus handshake(std::string& error) override {
        ERR_clear_error();
        const int r = SSL_connect(m_ssl.get());
        if (r == 1) return TlsStatus::Done;
        return status(r, error, "the TLS handshake");
    }

    TlsStatus read(void* buffer, uint32_t size, uint32_t& got, std::string& error) override {
        got = 0;
        ERR_clear_error();
        size_t n = 0;
        if (SSL_read_ex(m_ssl.get(), buffer, size, &n) == 1) {
            got = static_cast<uint32_t>(n);
            return TlsStatus::Done;
        }
        return status(0, error, "a TLS read");
    }

    TlsStatus write(const void* data, uint32_t size, uint32_t& sent, std::string& error) override {
        sent = 0;
        ERR_clear_error();
        size_t n = 0;
        if (SSL_write_ex(m_ssl.get(), data, size, &n) == 1) {
            sent = static_cast<uint32_t>(n);
            return TlsStatus::Done;
        }
        return status(0, error, "a TLS write");
    }

    void close() override {
        ERR_clear_error();
        if (SSL_is_init_finished(m_ssl.get())) SSL_shutdown(m_ssl.get());
        ERR_clear_error();
    }

    TlsSessionInfo info() const override {
        TlsSessionInfo out;
        out.version = SSL_get_version(m_ssl.get());
        const char* cipher = SSL_get_cipher_name(m_ssl.get());
        out.cipher = cipher ? cipher : "";
        X509* cert = SSL_get1_peer_certificate(m_ssl.get());
        if (!cert) {
            out.check = TlsCertificateCheck::NoCertificate;
            out.checkText = "the server sent no certificate";
            return out;
        }
        out.peerSubject = nameText(X509_get_subject_name(cert));
        out.peerIssuer = nameText(X509_get_issuer_name(cert));
        X509_free(cert);
        const long result = SSL_get_verify_result(m_ssl.get());
        out.check = checkFromVerifyResult(result);
        if (result != X509_V_OK) out.checkText = X509_verify_cert_error_string(result);
        return out;
    }

  private:
    TlsStatus status(int r, std::string& error, const char* during) {
        switch (SSL_get_error(m_ssl.get(), r)) {
            case SSL_ERROR_WANT_READ:
                return TlsStatus::WantRead;
            case SSL_ERROR_WANT_WRITE:
                return TlsStatus::WantWrite;
            case SSL_ERROR_ZERO_RETURN:
                return TlsStatus::Closed;
            case SSL_ERROR_SYSCALL: {
                std::string queued = drainErrors();
                if (queued.empty()) {
                    error = std::string("the connection ended during ") + during;
                    return SSL_is_init_finished(m_ssl.get()) ? TlsStatus::Closed
                                                             : TlsStatus::Failed;
                }
                error = std::string("a socket error during ") + during + ": " + queued;
                return TlsStatus::Failed;
            }
            default: {
                std::string queued = drainErrors();
                error = std::string("TLS failure during ") + during +
                        (queued.empty() ? std::string() : ": " + queued);
                return TlsStatus::Failed;
            }
        }
    }

    std::shared_ptr<SSL_CTX> m_ctx;
    SslPtr m_ssl;
};

}  // namespace

bool tlsAvailable() {
    return true;
}

std::unique_ptr<TlsClientSession> startTlsClient(SocketHandle socket,
                                                 const TlsClientSettings& settings,
                                                 std::string& error) {
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> ctx;
    if (settings.extraRootsFile.empty()) {
        ctx = defaultContext(error);
    } else {
        CtxPtr own = makeContext(settings.extraRootsFile, error);
        if (own) ctx.reset(own.release(), CtxFree());
    }
    if (!ctx) return nullptr;

    SslPtr ssl(SSL_new(ctx.get()));
    BIO* bio = socketMethod() ? BIO_new(socketMethod()) : nullptr;
    if (!ssl || !bio) {
        BIO_free(bio);
        error = "cannot create a TLS session: " + drainErrors();
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<uintptr_t>(socket)));
    SSL_set_bio(ssl.get(), bio, bio);  // the session owns the BIO now
    SSL_set_connect_state(ssl.get());

    const std::string& name = settings.peerName;
    bool named = false;
    if (parseIPv4(name.c_str()) != kAddrNone || name.find(':') != std::string::npos) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name.c_str()) == 1;
    } else {
        // "*" stands for a whole leftmost label only (RFC 6125 6.4.3), as
        // Schannel reads it: "m*.example.test" names no host.
        SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl.get(), name.c_str()) == 1;
        if (named && settings.sendServerName)
            named = SSL_set_tlsext_host_name(ssl.get(), name.c_str()) == 1;
    }
    if (!named) {
        error = "the host name cannot be checked against a certificate (" + name +
                "): " + drainErrors();
        return nullptr;
    }
    return std::make_unique<OpenSslSession>(std::move(ctx), std::move(ssl));
}

}  // namespace platform
