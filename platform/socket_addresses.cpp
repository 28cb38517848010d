#include "platform/socket_addresses.h"

#include <cstring>
#include <memory>

namespace platform {
namespace {

bool dottedDecimal(const char* text, uint8_t (&bytes)[4]) {
    if (!text) return false;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        // "0" alone, else no leading zero.
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;
        unsigned value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3) return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
        }
        if (value > 255) return false;
        bytes[part] = static_cast<uint8_t>(value);
    }
    return *p == '\0';
}

}  // namespace

uint32_t parseIPv4(const char* text) {
    uint8_t bytes[4];
    if (!dottedDecimal(text, bytes)) return kAddrNone;
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

}  // namespace platform

namespace platform::addresses {

int systemFamily(AddressFamily f) {
    return f == AddressFamily::IPv4 ? AF_INET : f == AddressFamily::IPv6 ? AF_INET6 : -1;
}

// The sockaddr of an address and port and its length; 0 for no family.
SockaddrLength toSockaddr(const IpAddress& a, uint16_t port, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof(ss));
    if (a.family == AddressFamily::IPv4) {
        sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(&ss);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(port);
        std::memcpy(&sa->sin_addr, a.bytes, 4);
        return sizeof(sockaddr_in);
    }
    if (a.family == AddressFamily::IPv6) {
        sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(&ss);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(port);
        std::memcpy(&sa->sin6_addr, a.bytes, 16);
        sa->sin6_scope_id = a.scopeId;
        return sizeof(sockaddr_in6);
    }
    return 0;
}

bool fromSockaddr(const sockaddr* sa, IpAddress& a, uint16_t* port) {
    if (!sa) return false;
    if (sa->sa_family == AF_INET) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(sa);
        a = IpAddress::v4(in->sin_addr.s_addr);
        if (port) *port = ntohs(in->sin_port);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        uint8_t b[16];
        std::memcpy(b, &in6->sin6_addr, 16);
        a = IpAddress::v6(b, in6->sin6_scope_id);
        if (port) *port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

// Numeric text only: AI_NUMERICHOST never asks a name service.
bool parseNumeric(const char* text, int family, IpAddress& out) {
    out = IpAddress();
    // Windows takes "[::1]" too; the brackets of a host text are the caller's.
    if (!text || !*text || std::strpbrk(text, "[]")) return false;
    // IPv4 in the canonical form only; getaddrinfo would also read octal,
    // hex and short forms.
    if (!std::strchr(text, ':')) {
        uint8_t bytes[4];
        if (family == AF_INET6 || !dottedDecimal(text, bytes)) return false;
        uint32_t v4;
        std::memcpy(&v4, bytes, 4);
        out = IpAddress::v4(v4);
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0 || !found) return false;
    bool ok = fromSockaddr(found->ai_addr, out, nullptr);
    freeaddrinfo(found);
    return ok;
}

// getaddrinfo, unlike gethostbyname, knows IPv6 and keeps no per-thread
// result, so lookup threads do not clash.
bool systemResolve(const char* name, HostEntry& out) {
    out = HostEntry();
    if (!name || !*name) return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    // Freed however this ends: push_back and the name's copy may throw.
    struct Free {
        void operator()(addrinfo* list) const { freeaddrinfo(list); }
    };
    const std::unique_ptr<addrinfo, Free> hold(found);
    for (addrinfo* a = found; a; a = a->ai_next) {
        IpAddress ip;
        if (!fromSockaddr(a->ai_addr, ip, nullptr)) continue;
        bool seen = false;
        for (const IpAddress& known : out.addresses) seen = seen || known == ip;
        if (!seen) out.addresses.push_back(ip);
    }
    if (!out.addresses.empty()) out.officialName = found->ai_canonname ? found->ai_canonname : name;
    return !out.addresses.empty();
}

}  // namespace platform::addresses
