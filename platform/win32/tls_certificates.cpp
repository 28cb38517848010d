// The server certificate's check for the Schannel sessions (tls.cpp), with
// CryptoAPI's chain engine, and the PEM file of extra roots it may trust.
#include "platform/win32/tls_certificates.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/sockets.h"
#include "platform/system_error.h"

// The SSL policy's flags, from wininet.h, which this file has no other use for.
#ifndef SECURITY_FLAG_IGNORE_REVOCATION
#define SECURITY_FLAG_IGNORE_REVOCATION 0x00000080
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000
#endif

namespace platform {
namespace {

std::string hex(unsigned long value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", value);
    return buf;
}

std::string nameText(const CERT_NAME_BLOB& name) {
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    char buf[1024];
    const DWORD n = CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), type, buf,
                                   sizeof buf);
    return n > 1 ? std::string(buf, n - 1) : std::string();
}

// Whether the certificate names the address among its subject's
// alternative names (the name policy matches DNS names only).
bool certificateHasIp(PCCERT_CONTEXT cert, const std::string& literal) {
    IpAddress address;
    if (!parseIpAddress(literal.c_str(), address)) return false;
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                e.IPAddress.cbData == address.size() &&
                std::memcmp(e.IPAddress.pbData, address.bytes, address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

// DNS names through the SSL policy; its other findings are the chain's and
// are read from the chain itself.
bool policyNameMatches(PCCERT_CHAIN_CONTEXT chain, const std::string& name) {
    std::wstring wide(name.begin(), name.end());
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                    SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_REVOCATION;
    ssl.pwszServerName = wide.data();
    CERT_CHAIN_POLICY_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status))
        return false;
    return static_cast<HRESULT>(status.dwError) != CERT_E_CN_NO_MATCH;
}

}  // namespace

bool storeHoldsEncoded(HCERTSTORE store, PCCERT_CONTEXT cert) {
    if (!store || !cert) return false;
    bool found = false;
    PCCERT_CONTEXT each = nullptr;
    while (!found && (each = CertEnumCertificatesInStore(store, each)) != nullptr) {
        found = each->cbCertEncoded == cert->cbCertEncoded &&
                std::memcmp(each->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0;
    }
    // Enumeration frees each context when it moves on; a match stops it early.
    if (each) CertFreeCertificateContext(each);
    return found;
}

bool isIpLiteral(const std::string& name) {
    IpAddress address;
    return parseIpAddress(name.c_str(), address) || name.find(':') != std::string::npos;
}

// ---- the extra roots file: PEM certificates into a store in memory
HCERTSTORE loadTrustedRoots(const std::string& path, std::string& error) {
    const std::string what = "the file of trusted roots cannot be read (" + path + "): ";
    File file;
    std::string text;
    if (!file.openRead(path.c_str())) {
        error = what + systemErrorText(static_cast<unsigned>(file.lastError()));
        return nullptr;
    }
    char buf[8192];
    for (long long n; (n = file.read(buf, sizeof buf)) != 0;) {
        if (n < 0 || text.size() > (4u << 20)) {
            error = what + (n < 0 ? systemErrorText(static_cast<unsigned>(file.lastError()))
                                  : std::string("too large"));
            return nullptr;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) {
        error = what + "no certificate store (" + hex(GetLastError()) + ")";
        return nullptr;
    }
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    int count = 0;
    for (size_t at = 0; (at = text.find(kBegin, at)) != std::string::npos;) {
        const size_t body = at + sizeof kBegin - 1;
        const size_t end = text.find(kEnd, body);
        if (end == std::string::npos) break;
        const std::string base64 = text.substr(body, end - body);
        at = end + sizeof kEnd - 1;
        DWORD size = 0;
        if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                                  CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                                  CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr))
            continue;
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            ++count;
    }
    if (count == 0) {
        CertCloseStore(store, 0);
        error = what + "no PEM certificate in it";
        return nullptr;
    }
    return store;
}

void checkServerCertificate(PCCERT_CONTEXT cert, HCERTSTORE extraRoots, const std::string& peerName,
                            TlsSessionInfo& out) {
    out.peerSubject = nameText(cert->pCertInfo->Subject);
    out.peerIssuer = nameText(cert->pCertInfo->Issuer);
    // The server's own chain (the certificates it sent) and the extra roots
    // are offered to the chain engine besides the system's stores.
    HCERTSTORE offered = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (offered) {
        if (cert->hCertStore) CertAddStoreToCollection(offered, cert->hCertStore, 0, 0);
        if (extraRoots) CertAddStoreToCollection(offered, extraRoots, 0, 0);
    }
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const BOOL built =
        CertGetCertificateChain(nullptr, cert, nullptr, offered, &para, 0, nullptr, &chain);
    const DWORD buildError = built ? 0 : GetLastError();
    if (offered) CertCloseStore(offered, 0);
    if (!built || !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        if (chain) CertFreeCertificateChain(chain);
        out.check = TlsCertificateCheck::OtherProblem;
        out.checkText = "the certificate chain cannot be built (" + hex(buildError) + ")";
        return;
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    DWORD status = chain->TrustStatus.dwErrorStatus;
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    // A root from the extra file is trusted though the system does not know
    // it, but only that very certificate: a look-up by issuer and serial
    // number would also take a root made up with the same (public) subject
    // and serial and a key of its own.
    if ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) && extraRoots &&
        !(status & CERT_TRUST_IS_PARTIAL_CHAIN) && storeHoldsEncoded(extraRoots, root))
        status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);

    // The order of OpenSSL's verifier: the chain, then the name, then the dates.
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) {
        out.check = TlsCertificateCheck::Untrusted;
        out.checkText = "unable to get local issuer certificate";
    } else if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) {
        out.check = TlsCertificateCheck::Untrusted;
        out.checkText = simple->cElement == 1 ? "self-signed certificate"
                                              : "self-signed certificate in certificate chain";
    } else if (isIpLiteral(peerName) ? !certificateHasIp(cert, peerName)
                                     : !policyNameMatches(chain, peerName)) {
        out.check = TlsCertificateCheck::NameMismatch;
        out.checkText = isIpLiteral(peerName) ? "IP address mismatch" : "hostname mismatch";
    } else if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
        const LONG leaf = CertVerifyTimeValidity(nullptr, cert->pCertInfo);
        out.check = leaf < 0 ? TlsCertificateCheck::NotYetValid : TlsCertificateCheck::Expired;
        out.checkText = leaf < 0 ? "certificate is not yet valid" : "certificate has expired";
    } else if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
        out.check = TlsCertificateCheck::OtherProblem;
        out.checkText = "certificate signature failure";
    } else if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        out.check = TlsCertificateCheck::OtherProblem;
        out.checkText = "unsuitable certificate purpose";
    } else if (status & ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                            CERT_TRUST_IS_OFFLINE_REVOCATION)) {
        out.check = TlsCertificateCheck::OtherProblem;
        out.checkText = "certificate chain error " + hex(status);
    } else {
        out.check = TlsCertificateCheck::Passed;
    }
    CertFreeCertificateChain(chain);
}

}  // namespace platform
