#pragma once
// The certificate side of the Schannel TLS client (tls.cpp): the extra
// roots file and the check of the server's certificate after the handshake.
#include <windows.h>
// wincrypt.h builds on windows.h's types.
#include <wincrypt.h>

#include <string>

#include "platform/tls.h"

namespace platform {

// An IP address literal rather than a DNS name (no SNI; the certificate
// must carry the address).
bool isIpLiteral(const std::string& name);

// Whether the store holds this very certificate, byte for byte (not just
// one with the same issuer and serial number).
bool storeHoldsEncoded(HCERTSTORE store, PCCERT_CONTEXT cert);

// The PEM certificates of the file in a store in memory; null, with the
// reason in error, when the file cannot be read or holds none.
HCERTSTORE loadTrustedRoots(const std::string& path, std::string& error);

// Fills peerSubject, peerIssuer, check and checkText the way OpenSSL's
// verifier reports them: the chain to a root the system or extraRoots
// (may be null) trusts, then the name (DNS through the SSL policy, an
// address literal against the certificate's IP names), then the dates.
void checkServerCertificate(PCCERT_CONTEXT cert, HCERTSTORE extraRoots, const std::string& peerName,
                            TlsSessionInfo& out);

}  // namespace platform
