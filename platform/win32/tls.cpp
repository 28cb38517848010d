// TLS is not offered by this build on Windows yet: the connection code sees
// tlsAvailable() false, keeps plain connections under tls=auto and refuses
// the send when the host requires TLS.
#include "platform/tls.h"

namespace platform {

bool tlsAvailable() {
    return false;
}

std::unique_ptr<TlsClientSession> startTlsClient(SocketHandle, const TlsClientSettings&,
                                                 std::string& error) {
    error = "TLS is not available in this build";
    return nullptr;
}

}  // namespace platform
