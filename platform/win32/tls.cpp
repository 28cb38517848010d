// TLS client sessions with Schannel (SSPI). Schannel only transforms
// buffers: the records travel over the caller's non-blocking socket through
// the platform's send and receive, and this file keeps what Schannel cannot
// take in one piece (a partial record, the rest of an encrypted record the
// socket did not take, plaintext the caller has not read yet). The server's
// certificate is checked after the handshake (tls_certificates.cpp), so that
// a failed check is reported rather than fatal.
//
// Wine 8's Schannel (GnuTLS) negotiates TLS 1.2 at most, whatever the
// credentials allow; Windows 11 also speaks TLS 1.3.
#include "platform/tls.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS is declared only with this, and builds on UNICODE_STRING.
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif
#include <windows.h>
// windows.h first: the SSPI and CryptoAPI headers build on its types, and
// schannel.h on subauth.h's.
#include <security.h>
#include <sspi.h>
#include <subauth.h>
#include <wincrypt.h>
// after subauth.h, which clang-format would otherwise sort behind it
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/system_error.h"
#include "platform/win32/tls_certificates.h"

namespace platform {
namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
// A record is at most 16 KiB of payload plus its overhead; more than a few
// records unprocessed means the peer is not speaking TLS.
constexpr size_t kReadChunk = 16384 + 512;
constexpr size_t kMaxPending = 4 * kReadChunk;

std::string hex(unsigned long value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", value);
    return buf;
}

std::string statusText(const char* call, SECURITY_STATUS status) {
    std::string text =
        std::string(call) + " failed with " + hex(static_cast<unsigned long>(status));
    const std::string system = systemErrorText(static_cast<unsigned>(status));
    if (!system.empty()) text += " (" + system + ")";
    return text;
}

std::string narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

// ---- credentials
// TLS 1.2 and later, no client certificate, no automatic validation (the
// check runs after the handshake). SCHANNEL_CRED is what Wine knows; a
// Windows whose Schannel refuses TLS 1.3 in it gets SCH_CREDENTIALS, and a
// Windows without TLS 1.3 at all TLS 1.2 alone.
SECURITY_STATUS acquireCredentials(CredHandle& cred) {
    const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry;
    SCHANNEL_CRED old;
    std::memset(&old, 0, sizeof old);
    old.dwVersion = SCHANNEL_CRED_VERSION;
    old.dwFlags = flags;
    old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    SECURITY_STATUS s =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &old, nullptr, nullptr, &cred, &expiry);
    if (s == SEC_E_OK) return s;

    TLS_PARAMETERS params;
    std::memset(&params, 0, sizeof params);
    params.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS current;
    std::memset(&current, 0, sizeof current);
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = flags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &params;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &current, nullptr, nullptr, &cred, &expiry) == SEC_E_OK)
        return SEC_E_OK;

    old.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &old, nullptr, nullptr, &cred, &expiry) == SEC_E_OK)
        return SEC_E_OK;
    return s;
}

std::string cipherName(CtxtHandle* ctx, const SecPkgContext_ConnectionInfo& conn) {
    SecPkgContext_CipherInfo cipher;
    std::memset(&cipher, 0, sizeof cipher);
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(ctx, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
        cipher.szCipherSuite[0]) {
        std::string suite = narrow(cipher.szCipherSuite);
        // Wine names no MAC for AEAD suites ("..._AES_256_GCM_<unknown>");
        // the standard GCM suites use SHA-384 with AES-256, else SHA-256.
        const std::string unknown = "_<unknown>";
        if (suite.size() > unknown.size() &&
            suite.compare(suite.size() - unknown.size(), unknown.size(), unknown) == 0) {
            suite.erase(suite.size() - unknown.size());
            if (suite.size() > 4 && suite.compare(suite.size() - 4, 4, "_GCM") == 0)
                suite += suite.find("AES_256") != std::string::npos ? "_SHA384" : "_SHA256";
        }
        return suite;
    }
    // Without the suite's name: the algorithms the connection reports.
    std::string name;
    switch (conn.aiCipher) {
        case CALG_AES_128:
            name = "AES128";
            break;
        case CALG_AES_256:
            name = "AES256";
            break;
        case CALG_3DES:
            name = "DES-CBC3";
            break;
        default:
            name = "cipher-" + hex(conn.aiCipher);
    }
    switch (conn.aiHash) {
        case CALG_SHA1:
            return name + "-SHA";
        case CALG_SHA_256:
            return name + "-SHA256";
        case CALG_SHA_384:
            return name + "-SHA384";
        default:
            return name;
    }
}

class SchannelSession : public TlsClientSession {
  public:
    SchannelSession(SocketHandle socket, const TlsClientSettings& settings, CredHandle cred,
                    HCERTSTORE extraRoots)
        : m_socket(socket), m_peerName(settings.peerName), m_cred(cred), m_roots(extraRoots) {
        // Server Name Indication for DNS names only.
        m_sni = settings.sendServerName && !isIpLiteral(m_peerName);
    }

    ~SchannelSession() override {
        if (m_haveContext) DeleteSecurityContext(&m_ctx);
        FreeCredentialsHandle(&m_cred);
        if (m_roots) CertCloseStore(m_roots, 0);
    }

    TlsStatus handshake(std::string& error) override {
        if (m_established) return TlsStatus::Done;
        const TlsStatus s = drive(error, "the TLS handshake");
        if (s != TlsStatus::Done) return s;
        m_established = true;
        const SECURITY_STATUS q =
            QueryContextAttributesA(&m_ctx, SECPKG_ATTR_STREAM_SIZES, &m_sizes);
        if (q != SEC_E_OK) {
            error =
                "TLS failure during the TLS handshake: " + statusText("QueryContextAttributes", q);
            return TlsStatus::Failed;
        }
        collectInfo();
        return TlsStatus::Done;
    }

    TlsStatus read(void* buffer, uint32_t size, uint32_t& got, std::string& error) override {
        got = 0;
        if (!m_established) {
            error = "a TLS read before the handshake";
            return TlsStatus::Failed;
        }
        for (;;) {
            // Plaintext already decrypted goes first, without touching the socket.
            if (m_plainAt < m_plain.size()) {
                got = static_cast<uint32_t>(std::min<size_t>(size, m_plain.size() - m_plainAt));
                std::memcpy(buffer, m_plain.data() + m_plainAt, got);
                m_plainAt += got;
                if (m_plainAt == m_plain.size()) {
                    m_plain.clear();
                    m_plainAt = 0;
                }
                return TlsStatus::Done;
            }
            if (m_peerClosed) return TlsStatus::Closed;
            if (m_handshaking) {
                const TlsStatus s = drive(error, "a TLS read");
                if (s != TlsStatus::Done) return s;
                continue;
            }
            if (m_in.empty() || m_needInput) {
                bool ended = false;
                const TlsStatus s = fill(error, "a TLS read", ended);
                if (ended) {
                    error = "the connection ended during a TLS read";
                    m_peerClosed = true;
                    return TlsStatus::Closed;
                }
                if (s != TlsStatus::Done) return s;
                continue;
            }
            const TlsStatus s = decrypt(error);
            if (s != TlsStatus::Done) return s;
        }
    }

    TlsStatus write(const void* data, uint32_t size, uint32_t& sent, std::string& error) override {
        sent = 0;
        if (!m_established) {
            error = "a TLS write before the handshake";
            return TlsStatus::Failed;
        }
        if (m_handshaking) {
            const TlsStatus s = drive(error, "a TLS write");
            if (s != TlsStatus::Done) return s;
        }
        // The record of an earlier call first: its plaintext counts as taken
        // once the whole record is on its way.
        TlsStatus s = flush(error, "a TLS write");
        if (s != TlsStatus::Done) return s;
        if (m_pendingPlain) {
            sent = m_pendingPlain;
            m_pendingPlain = 0;
            return TlsStatus::Done;
        }
        if (size == 0) return TlsStatus::Done;
        const uint32_t n = std::min<uint32_t>(size, m_sizes.cbMaximumMessage);
        std::vector<char> record(m_sizes.cbHeader + n + m_sizes.cbTrailer);
        std::memcpy(record.data() + m_sizes.cbHeader, data, n);
        SecBuffer b[4];
        b[0] = {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
        b[1] = {n, SECBUFFER_DATA, record.data() + m_sizes.cbHeader};
        b[2] = {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + m_sizes.cbHeader + n};
        b[3] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS e = EncryptMessage(&m_ctx, 0, &desc, 0);
        if (e != SEC_E_OK) {
            error = "TLS failure during a TLS write: " + statusText("EncryptMessage", e);
            return TlsStatus::Failed;
        }
        for (int i = 0; i < 3; ++i)
            m_out.append(static_cast<const char*>(b[i].pvBuffer), b[i].cbBuffer);
        m_pendingPlain = n;
        s = flush(error, "a TLS write");
        if (s != TlsStatus::Done) return s;
        sent = m_pendingPlain;
        m_pendingPlain = 0;
        return TlsStatus::Done;
    }

    void close() override {
        if (!m_established || m_closeSent) return;
        m_closeSent = true;
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer in = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 1, &in};
        if (ApplyControlToken(&m_ctx, &inDesc) != SEC_E_OK) return;
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
        ULONG attributes = 0;
        const SECURITY_STATUS s =
            InitializeSecurityContextA(&m_cred, &m_ctx, target(), kContextFlags, 0, 0, nullptr, 0,
                                       nullptr, &outDesc, &attributes, nullptr);
        takeToken(out);
        std::string ignored;
        if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_CONTEXT_EXPIRED)
            flush(ignored, "close");
    }

    TlsSessionInfo info() const override { return m_info; }

  private:
    SEC_CHAR* target() { return m_sni ? const_cast<SEC_CHAR*>(m_peerName.c_str()) : nullptr; }

    void takeToken(SecBuffer& token) {
        if (token.pvBuffer && token.cbBuffer)
            m_out.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
        if (token.pvBuffer) FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
        token.cbBuffer = 0;
    }

    // Keeps the last count bytes of m_in: what Schannel did not consume.
    void keepExtra(const SecBuffer& extra) {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 &&
            extra.cbBuffer <= m_in.size())
            m_in.erase(m_in.begin(), m_in.end() - extra.cbBuffer);
        else
            m_in.clear();
    }

    // Sends what is queued; Done once nothing is left.
    TlsStatus flush(std::string& error, const char* during) {
        while (m_outAt < m_out.size()) {
            int err = 0;
            const long n = sendSome(m_socket, m_out.data() + m_outAt,
                                    static_cast<uint32_t>(m_out.size() - m_outAt), err);
            if (n > 0) {
                m_outAt += static_cast<size_t>(n);
                continue;
            }
            if (n == 0 || err == wsa::kWouldBlock) return TlsStatus::WantWrite;
            error = std::string("a socket error during ") + during + ": " + socketErrorText(err) +
                    " (" + std::to_string(err) + ")";
            return TlsStatus::Failed;
        }
        m_out.clear();
        m_outAt = 0;
        return TlsStatus::Done;
    }

    // Appends what the socket has to m_in; ended when the peer closed it.
    TlsStatus fill(std::string& error, const char* during, bool& ended) {
        ended = false;
        if (m_in.size() >= kMaxPending) {
            error = std::string("TLS failure during ") + during + ": no complete record in " +
                    std::to_string(m_in.size()) + " bytes";
            return TlsStatus::Failed;
        }
        const size_t had = m_in.size();
        m_in.resize(had + kReadChunk);
        int err = 0;
        const long n = recvSome(m_socket, m_in.data() + had, kReadChunk, err);
        m_in.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n > 0) {
            m_needInput = false;
            return TlsStatus::Done;
        }
        if (n == 0) {
            ended = true;
            return TlsStatus::Failed;
        }
        if (err == wsa::kWouldBlock) return TlsStatus::WantRead;
        error = std::string("a socket error during ") + during + ": " + socketErrorText(err) +
                " (" + std::to_string(err) + ")";
        return TlsStatus::Failed;
    }

    // The handshake, first or later (SEC_I_RENEGOTIATE), until it completes
    // or has to wait for the socket.
    TlsStatus drive(std::string& error, const char* during) {
        for (int retries = 0;;) {
            TlsStatus s = flush(error, during);
            if (s != TlsStatus::Done) return s;
            if (m_haveContext && !m_handshaking) return TlsStatus::Done;
            if (m_haveContext && m_needInput) {
                bool ended = false;
                s = fill(error, during, ended);
                if (ended) error = std::string("the connection ended during ") + during;
                if (s != TlsStatus::Done) return s;
            }
            SecBuffer in[2];
            in[0] = {static_cast<unsigned long>(m_in.size()), SECBUFFER_TOKEN, m_in.data()};
            in[1] = {0, SECBUFFER_EMPTY, nullptr};
            SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
            SecBuffer out[1];
            out[0] = {0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
            ULONG attributes = 0;
            const bool first = !m_haveContext;
            const SECURITY_STATUS r = InitializeSecurityContextA(
                &m_cred, first ? nullptr : &m_ctx, target(), kContextFlags, 0, 0,
                first ? nullptr : &inDesc, 0, first ? &m_ctx : nullptr, &outDesc, &attributes,
                nullptr);
            if (first && (r == SEC_E_OK || r == SEC_I_CONTINUE_NEEDED)) {
                m_haveContext = true;
                m_handshaking = true;
            }
            takeToken(out[0]);
            switch (r) {
                case SEC_E_INCOMPLETE_MESSAGE:
                    m_needInput = true;
                    break;
                case SEC_I_CONTINUE_NEEDED:
                    if (!first) keepExtra(in[1]);
                    m_needInput = m_in.empty();
                    break;
                case SEC_E_OK:
                    // What follows the handshake in m_in is for DecryptMessage.
                    if (!first) keepExtra(in[1]);
                    m_handshaking = false;
                    m_needInput = false;
                    break;
                case SEC_I_INCOMPLETE_CREDENTIALS:
                    // A request for a client certificate: go on without one.
                    if (++retries > 2) {
                        error = "TLS failure during " + std::string(during) +
                                ": the server insists on a client certificate";
                        return TlsStatus::Failed;
                    }
                    break;
                default: {
                    // An alert Schannel composed for the peer goes out if it can.
                    std::string ignored;
                    flush(ignored, during);
                    error = "TLS failure during " + std::string(during) + ": " +
                            statusText("InitializeSecurityContext", r);
                    return TlsStatus::Failed;
                }
            }
        }
    }

    TlsStatus decrypt(std::string& error) {
        // The record's content type, from its header (an alert is 21 up to
        // TLS 1.2; TLS 1.3 hides every type behind application data).
        const unsigned char recordType = m_in.empty() ? 0 : static_cast<unsigned char>(m_in[0]);
        SecBuffer b[4];
        b[0] = {static_cast<unsigned long>(m_in.size()), SECBUFFER_DATA, m_in.data()};
        for (int i = 1; i < 4; ++i) b[i] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS r = DecryptMessage(&m_ctx, &desc, 0, nullptr);
        if (r == SEC_E_INCOMPLETE_MESSAGE) {
            m_needInput = true;
            return TlsStatus::Done;
        }
        if (r != SEC_E_OK && r != SEC_I_RENEGOTIATE && r != SEC_I_CONTEXT_EXPIRED) {
            error = "TLS failure during a TLS read: " + statusText("DecryptMessage", r);
            return TlsStatus::Failed;
        }
        // The plaintext lies inside m_in (decrypted in place): copy it out
        // before the rest of m_in moves.
        SecBuffer extra = {0, SECBUFFER_EMPTY, nullptr};
        const size_t had = m_plain.size();
        for (int i = 1; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA && b[i].pvBuffer && b[i].cbBuffer)
                m_plain.append(static_cast<const char*>(b[i].pvBuffer), b[i].cbBuffer);
            if (b[i].BufferType == SECBUFFER_EXTRA) extra = b[i];
        }
        keepExtra(extra);
        m_needInput = m_in.empty();
        if (r == SEC_I_CONTEXT_EXPIRED) m_peerClosed = true;  // close_notify
        // Wine's Schannel reports the peer's close_notify as a record that
        // decrypts to nothing, without SEC_I_CONTEXT_EXPIRED; a record of
        // nothing with nothing after it ends the stream just the same.
        // Waiting on would only run into the read time-out, and whatever
        // came before it unfinished (half a reply) is no answer.
        if (r == SEC_E_OK && m_plain.size() == had && (recordType == 21 || m_in.empty()))
            m_peerClosed = true;
        if (r == SEC_I_RENEGOTIATE) {
            // Post-handshake messages (TLS 1.3 tickets, key updates) go back
            // to the handshake with whatever followed them.
            m_handshaking = true;
            m_needInput = false;
        }
        return TlsStatus::Done;
    }

    void collectInfo() {
        SecPkgContext_ConnectionInfo conn;
        std::memset(&conn, 0, sizeof conn);
        if (QueryContextAttributesA(&m_ctx, SECPKG_ATTR_CONNECTION_INFO, &conn) == SEC_E_OK) {
            if (conn.dwProtocol & SP_PROT_TLS1_3)
                m_info.version = "TLSv1.3";
            else if (conn.dwProtocol & SP_PROT_TLS1_2)
                m_info.version = "TLSv1.2";
            else
                m_info.version = "protocol " + hex(conn.dwProtocol);
            m_info.cipher = cipherName(&m_ctx, conn);
        }
        PCCERT_CONTEXT cert = nullptr;
        if (QueryContextAttributesA(&m_ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
            !cert) {
            m_info.check = TlsCertificateCheck::NoCertificate;
            m_info.checkText = "the server sent no certificate";
            return;
        }
        checkServerCertificate(cert, m_roots, m_peerName, m_info);
        CertFreeCertificateContext(cert);
    }

    SocketHandle m_socket;
    std::string m_peerName;
    bool m_sni = false;
    CredHandle m_cred;
    CtxtHandle m_ctx = {};
    HCERTSTORE m_roots;
    bool m_haveContext = false;
    bool m_handshaking = false;  // the first handshake or a renegotiation
    bool m_established = false;
    bool m_needInput = false;  // m_in holds no complete message
    bool m_peerClosed = false;
    bool m_closeSent = false;
    SecPkgContext_StreamSizes m_sizes = {};
    std::vector<char> m_in;  // received, not yet processed by Schannel
    std::string m_out;       // to send, from m_outAt on
    size_t m_outAt = 0;
    uint32_t m_pendingPlain = 0;  // plaintext in the record being sent
    std::string m_plain;          // decrypted, from m_plainAt on
    size_t m_plainAt = 0;
    TlsSessionInfo m_info;
};

}  // namespace

bool tlsAvailable() {
    return true;
}

std::unique_ptr<TlsClientSession> startTlsClient(SocketHandle socket,
                                                 const TlsClientSettings& settings,
                                                 std::string& error) {
    HCERTSTORE roots = nullptr;
    if (!settings.extraRootsFile.empty()) {
        roots = loadTrustedRoots(settings.extraRootsFile, error);
        if (!roots) return nullptr;
    }
    CredHandle cred;
    const SECURITY_STATUS s = acquireCredentials(cred);
    if (s != SEC_E_OK) {
        if (roots) CertCloseStore(roots, 0);
        error = "cannot create a TLS session: " + statusText("AcquireCredentialsHandle", s);
        return nullptr;
    }
    return std::make_unique<SchannelSession>(socket, settings, cred, roots);
}

}  // namespace platform
