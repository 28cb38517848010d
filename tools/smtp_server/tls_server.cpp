#include "tools/smtp_server/tls_server.h"

namespace smtptest {
const char* const kNoTlsInBuild = "TLS is not available in this build";
}  // namespace smtptest

#ifndef _WIN32

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>

#include "platform/clock.h"

namespace smtptest {
namespace {

// Waits are cut into slices of this length so that a stop is noticed soon.
const uint32_t kSliceMs = 50;

// OpenSSL's queued errors of this thread as text, oldest first; the queue
// is emptied.
std::string openSslErrors() {
    std::string text;
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

// ---------------------------------------------------------------- socket BIO
// OpenSSL reads and writes through the platform calls: sendSome never raises
// SIGPIPE, and a would-block becomes OpenSSL's retry, which the callers turn
// into a bounded readiness wait.

struct SocketBioState {
    platform::SocketHandle s = platform::kInvalidSocket;
    int lastError = 0;  // the Winsock number of the last failed call
    bool eof = false;
};

int bioWrite(BIO* b, const char* data, int n) {
    auto* st = static_cast<SocketBioState*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (n <= 0) return 0;
    int err = 0;
    long r = platform::sendSome(st->s, data, static_cast<uint32_t>(n), err);
    if (r >= 0) return static_cast<int>(r);
    if (err == platform::wsa::kWouldBlock) {
        BIO_set_retry_write(b);
    } else {
        st->lastError = err;
    }
    return -1;
}

int bioRead(BIO* b, char* buf, int n) {
    auto* st = static_cast<SocketBioState*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (n <= 0) return 0;
    int err = 0;
    long r = platform::recvSome(st->s, buf, static_cast<uint32_t>(n), err);
    if (r > 0) return static_cast<int>(r);
    if (r == 0) {
        st->eof = true;
        return 0;
    }
    if (err == platform::wsa::kWouldBlock) {
        BIO_set_retry_read(b);
    } else {
        st->lastError = err;
    }
    return -1;
}

long bioCtrl(BIO* b, int cmd, long, void*) {
    if (cmd == BIO_CTRL_FLUSH) return 1;
    if (cmd == BIO_CTRL_EOF) return static_cast<SocketBioState*>(BIO_get_data(b))->eof ? 1 : 0;
    return 0;
}

int bioCreate(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD* socketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "smtptest platform socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioCtrl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

// ---------------------------------------------------------------- throwaway certificate

struct Throwaway {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    std::string pem;
    std::string error;
};

bool addExtension(X509* x, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(x, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

Throwaway makeThrowaway() {
    Throwaway t;
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* x = X509_new();
    bool ok = key && x && X509_set_version(x, X509_VERSION_3) == 1;
    // A random serial: certificates of two runs must not look alike to a
    // client that remembers one.
    unsigned char serial[16];
    if (ok) ok = RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7F;
        serial[0] |= 0x01;
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr;
        BN_free(bn);
    }
    // From an hour ago, so that a client clock a little behind still takes it.
    ok = ok && X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(x), 24L * 3600) != nullptr &&
         X509_set_pubkey(x, key) == 1;
    X509_NAME* name = ok ? X509_get_subject_name(x) : nullptr;
    ok = ok && name &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                    0) == 1 &&
         X509_set_issuer_name(x, name) == 1;
    if (ok) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        ok = addExtension(x, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(x, &ctx, NID_key_usage, "critical,digitalSignature") &&
             addExtension(x, &ctx, NID_ext_key_usage, "serverAuth") &&
             addExtension(x, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") &&
             addExtension(x, &ctx, NID_subject_key_identifier, "hash") &&
             addExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
    }
    ok = ok && X509_sign(x, key, EVP_sha256()) > 0;
    if (ok) {
        BIO* mem = BIO_new(BIO_s_mem());
        ok = mem && PEM_write_bio_X509(mem, x) == 1;
        if (ok) {
            char* data = nullptr;
            long n = BIO_get_mem_data(mem, &data);
            t.pem.assign(data, static_cast<size_t>(n));
        }
        BIO_free(mem);
    }
    if (!ok) {
        t.error = "cannot make a throwaway certificate: " + openSslErrors();
        EVP_PKEY_free(key);
        X509_free(x);
        return t;
    }
    t.key = key;
    t.cert = x;
    return t;
}

// Made once per process and kept to its end: a new EC key is cheap, but a
// server per test adds up.
const Throwaway& throwaway() {
    static const Throwaway t = makeThrowaway();
    return t;
}

}  // namespace

bool tlsAvailable() {
    return true;
}

std::string throwawayCertificatePem() {
    return throwaway().pem;
}

// ---------------------------------------------------------------- context

struct TlsServerContext::Impl {
    SSL_CTX* ctx = nullptr;
    ~Impl() { SSL_CTX_free(ctx); }
};

TlsServerContext::~TlsServerContext() = default;

std::shared_ptr<TlsServerContext> TlsServerContext::create(const std::string& certFile,
                                                           const std::string& keyFile,
                                                           std::string& error) {
    ERR_clear_error();
    if (certFile.empty() != keyFile.empty()) {
        error = "a TLS certificate file needs its key file, and a key file its certificate";
        return nullptr;
    }
    std::shared_ptr<TlsServerContext> out(new TlsServerContext);
    out->m_impl = std::make_unique<Impl>();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    out->m_impl->ctx = ctx;
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        error = "cannot make a TLS server context: " + openSslErrors();
        return nullptr;
    }
    // A write that would block is retried later, by then from a later offset.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whatever has arrived is taken in one read, not a record header and
    // body each: fewer calls, and records that came together wait in
    // OpenSSL, which is why a read always asks OpenSSL before the socket.
    SSL_CTX_set_read_ahead(ctx, 1);
    if (certFile.empty()) {
        const Throwaway& t = throwaway();
        if (!t.cert) {
            error = t.error;
            return nullptr;
        }
        if (SSL_CTX_use_certificate(ctx, t.cert) != 1 || SSL_CTX_use_PrivateKey(ctx, t.key) != 1) {
            error = "cannot use the throwaway certificate: " + openSslErrors();
            return nullptr;
        }
    } else {
        if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
            error = "cannot load the TLS certificate chain " + certFile + ": " + openSslErrors();
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = "cannot load the TLS key " + keyFile + ": " + openSslErrors();
            return nullptr;
        }
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        error = "the TLS key does not match the certificate: " + openSslErrors();
        return nullptr;
    }
    return out;
}

// ---------------------------------------------------------------- connection

struct TlsConnection::Impl {
    std::shared_ptr<TlsServerContext> context;
    SSL* ssl = nullptr;
    SocketBioState socket;
    ~Impl() { SSL_free(ssl); }

    // Why the last call failed; the error queue is emptied.
    std::string reason(int sslError) {
        std::string queued = openSslErrors();
        if (!queued.empty()) return queued;
        if (socket.lastError)
            return platform::socketErrorText(socket.lastError) + " (socket error " +
                   std::to_string(socket.lastError) + ")";
        if (sslError == SSL_ERROR_ZERO_RETURN) return "the client sent close_notify";
        if (sslError == SSL_ERROR_SYSCALL) return "the client closed the connection";
        return "OpenSSL error " + std::to_string(sslError);
    }

    // One bounded wait for what OpenSSL asked for: 1 ready, 0 not yet, -1 error.
    int waitFor(int sslError) {
        int err = 0;
        return sslError == SSL_ERROR_WANT_WRITE ? platform::selectWritable(socket.s, kSliceMs, err)
                                                : platform::selectReadable(socket.s, kSliceMs, err);
    }
};

TlsConnection::TlsConnection(std::shared_ptr<TlsServerContext> context, platform::SocketHandle s)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->context = std::move(context);
    m_impl->socket.s = s;
    if (!m_impl->context || !m_impl->context->impl() || !socketBioMethod()) return;
    m_impl->ssl = SSL_new(m_impl->context->impl()->ctx);
    BIO* bio = m_impl->ssl ? BIO_new(socketBioMethod()) : nullptr;
    if (!bio) {
        SSL_free(m_impl->ssl);
        m_impl->ssl = nullptr;
        return;
    }
    BIO_set_data(bio, &m_impl->socket);
    SSL_set_bio(m_impl->ssl, bio, bio);
    SSL_set_accept_state(m_impl->ssl);
}

TlsConnection::~TlsConnection() = default;

TlsConnection::Result TlsConnection::handshake(uint32_t timeoutMs, const std::atomic<bool>& stop,
                                               std::string& error) {
    if (!m_impl->ssl) {
        error = m_error = "TLS handshake failed: no TLS state for the connection";
        return kFailed;
    }
    const uint32_t start = platform::tickCount();
    for (;;) {
        if (stop.load()) {
            error = m_error = "TLS handshake stopped";
            return kStopped;
        }
        ERR_clear_error();
        int r = SSL_do_handshake(m_impl->ssl);
        if (r == 1) return kOk;
        int e = SSL_get_error(m_impl->ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            error = m_error = "TLS handshake failed: " + m_impl->reason(e);
            return kFailed;
        }
        if (m_impl->waitFor(e) < 0) {
            error = m_error = "TLS handshake failed: the socket wait failed";
            return kFailed;
        }
        if (platform::tickCount() - start >= timeoutMs) {
            error = m_error =
                "TLS handshake not finished within " + std::to_string(timeoutMs) + " ms";
            return kTimeout;
        }
    }
}

TlsConnection::Result TlsConnection::read(std::string& out, uint32_t timeoutMs,
                                          const std::atomic<bool>& stop) {
    if (!m_impl->ssl) return kFailed;
    const uint32_t start = platform::tickCount();
    for (;;) {
        if (stop.load()) return kStopped;
        // OpenSSL may hold decrypted bytes the socket no longer shows: read
        // first, wait only when it asks for more.
        ERR_clear_error();
        char buf[16384];
        int n = SSL_read(m_impl->ssl, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            return kOk;
        }
        int e = SSL_get_error(m_impl->ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            m_error = m_impl->reason(e);
            return kClosed;
        }
        if (m_impl->waitFor(e) < 0) return kClosed;
        if (platform::tickCount() - start >= timeoutMs) return kTimeout;
    }
}

bool TlsConnection::write(const std::string& bytes, uint32_t timeoutMs,
                          const std::atomic<bool>& stop) {
    if (!m_impl->ssl) return false;
    size_t done = 0;
    const uint32_t start = platform::tickCount();
    while (done < bytes.size()) {
        if (stop.load() || platform::tickCount() - start > timeoutMs) return false;
        ERR_clear_error();
        const size_t left = bytes.size() - done;
        int n = SSL_write(m_impl->ssl, bytes.data() + done,
                          left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int e = SSL_get_error(m_impl->ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            m_error = m_impl->reason(e);
            return false;
        }
        if (m_impl->waitFor(e) < 0) return false;
    }
    return true;
}

void TlsConnection::close() {
    if (!m_impl->ssl) return;
    // One try: a client that is gone or not reading does not hold us up.
    ERR_clear_error();
    if (SSL_is_init_finished(m_impl->ssl)) SSL_shutdown(m_impl->ssl);
    ERR_clear_error();
}

std::string TlsConnection::version() const {
    if (!m_impl->ssl || !SSL_is_init_finished(m_impl->ssl)) return std::string();
    return SSL_get_version(m_impl->ssl);
}

std::string TlsConnection::cipher() const {
    if (!m_impl->ssl || !SSL_is_init_finished(m_impl->ssl)) return std::string();
    const char* name = SSL_get_cipher_name(m_impl->ssl);
    return name ? name : "";
}

std::string TlsConnection::description() const {
    std::string v = version();
    return v.empty() ? v : v + " " + cipher();
}

std::string TlsConnection::serverName() const {
    if (!m_impl->ssl) return std::string();
    const char* name = SSL_get_servername(m_impl->ssl, TLSEXT_NAMETYPE_host_name);
    return name ? name : "";
}

}  // namespace smtptest

#else  // _WIN32: no OpenSSL in this build

namespace smtptest {

bool tlsAvailable() {
    return false;
}

std::string throwawayCertificatePem() {
    return std::string();
}

struct TlsServerContext::Impl {};

TlsServerContext::~TlsServerContext() = default;

std::shared_ptr<TlsServerContext> TlsServerContext::create(const std::string&, const std::string&,
                                                           std::string& error) {
    error = kNoTlsInBuild;
    return nullptr;
}

struct TlsConnection::Impl {};

TlsConnection::TlsConnection(std::shared_ptr<TlsServerContext>, platform::SocketHandle) {}

TlsConnection::~TlsConnection() = default;

TlsConnection::Result TlsConnection::handshake(uint32_t, const std::atomic<bool>&,
                                               std::string& error) {
    error = m_error = kNoTlsInBuild;
    return kFailed;
}

TlsConnection::Result TlsConnection::read(std::string&, uint32_t, const std::atomic<bool>&) {
    return kFailed;
}

bool TlsConnection::write(const std::string&, uint32_t, const std::atomic<bool>&) {
    return false;
}

void TlsConnection::close() {}

std::string TlsConnection::version() const {
    return std::string();
}

std::string TlsConnection::cipher() const {
    return std::string();
}

std::string TlsConnection::description() const {
    return std::string();
}

std::string TlsConnection::serverName() const {
    return std::string();
}

}  // namespace smtptest

#endif
