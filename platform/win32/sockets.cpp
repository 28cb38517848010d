#include "platform/sockets.h"

// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <cstring>

#include "platform/socket_addresses.h"
#include "platform/system_error.h"

namespace platform {
namespace {

int systemStartup(uint16_t version) {
    WSADATA data;
    std::memset(&data, 0, sizeof(data));
    return WSAStartup(version, &data);
}

std::atomic<StartupFunction> g_startup{systemStartup};

using addresses::fromSockaddr;
using addresses::parseNumeric;
using addresses::systemFamily;
using addresses::systemResolve;
using addresses::toSockaddr;

std::atomic<ResolveFunction> g_resolve{systemResolve};

SOCKET sockOf(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

timeval timevalOf(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

}  // namespace

int socketsStartup(uint16_t version) {
    return g_startup.load()(version);
}

StartupFunction setStartupFunctionForTesting(StartupFunction fn) {
    return g_startup.exchange(fn ? fn : systemStartup);
}

SocketHandle openTcpSocket(int& err) {
    return openTcpSocket(AddressFamily::IPv4, err);
}

SocketHandle openTcpSocket(AddressFamily family, int& err) {
    if (systemFamily(family) < 0) {
        err = WSAEAFNOSUPPORT;
        return kInvalidSocket;
    }
    SOCKET s = socket(systemFamily(family), SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        err = WSAGetLastError();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

bool setNonBlocking(SocketHandle s, bool on, int& err) {
    u_long mode = on ? 1 : 0;
    if (ioctlsocket(sockOf(s), FIONBIO, &mode) != 0) {
        err = WSAGetLastError();
        return false;
    }
    return true;
}

bool connectIPv4(SocketHandle s, uint32_t addr, uint16_t port, int& err) {
    return connectTo(s, IpAddress::v4(addr), port, err);
}

bool connectTo(SocketHandle s, const IpAddress& addr, uint16_t port, int& err) {
    sockaddr_storage ss;
    int len = toSockaddr(addr, port, ss);
    if (len == 0) {
        err = WSAEAFNOSUPPORT;
        return false;
    }
    if (connect(sockOf(s), reinterpret_cast<const sockaddr*>(&ss), len) == 0) return true;
    err = WSAGetLastError();
    return false;
}

namespace {

int selectOne(SocketHandle s, fd_set* rd, fd_set* wr, fd_set* ex, uint32_t timeoutMs, int& err) {
    if (s == kInvalidSocket) {
        err = WSAENOTSOCK;
        return -1;
    }
    for (fd_set* set : {rd, wr, ex}) {
        if (!set) continue;
        FD_ZERO(set);
        FD_SET(sockOf(s), set);
    }
    timeval tv = timevalOf(timeoutMs);
    int r = select(0, rd, wr, ex, &tv);
    if (r == SOCKET_ERROR) {
        err = WSAGetLastError();
        return -1;
    }
    return r > 0 ? 1 : 0;
}

}  // namespace

int selectWritable(SocketHandle s, uint32_t timeoutMs, int& err) {
    fd_set wr;
    return selectOne(s, nullptr, &wr, nullptr, timeoutMs, err);
}

// A refused connect is signalled in the exception set, not the write set.
int selectConnected(SocketHandle s, uint32_t timeoutMs, int& err) {
    fd_set wr, ex;
    return selectOne(s, nullptr, &wr, &ex, timeoutMs, err);
}

int selectReadable(SocketHandle s, uint32_t timeoutMs, int& err) {
    fd_set rd;
    return selectOne(s, &rd, nullptr, nullptr, timeoutMs, err);
}

int pendingError(SocketHandle s) {
    int value = 0;
    int len = sizeof(value);
    if (getsockopt(sockOf(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len) != 0)
        return WSAGetLastError();
    return value;
}

long sendSome(SocketHandle s, const void* data, uint32_t n, int& err) {
    int len = n > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(n);
    int r = send(sockOf(s), static_cast<const char*>(data), len, 0);
    if (r == SOCKET_ERROR) {
        err = WSAGetLastError();
        return -1;
    }
    return r;
}

long recvSome(SocketHandle s, void* buf, uint32_t n, int& err) {
    int len = n > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(n);
    int r = recv(sockOf(s), static_cast<char*>(buf), len, 0);
    if (r == SOCKET_ERROR) {
        err = WSAGetLastError();
        return -1;
    }
    return r;
}

void shutdownBoth(SocketHandle s) {
    shutdown(sockOf(s), SD_BOTH);
}

void closeSocketHandle(SocketHandle s) {
    closesocket(sockOf(s));
}

SocketHandle listenIPv4(uint32_t addr, uint16_t port, int backlog, uint16_t& boundPort, int& err) {
    return listenOn(IpAddress::v4(addr), port, backlog, boundPort, err);
}

SocketHandle listenOn(const IpAddress& addr, uint16_t port, int backlog, uint16_t& boundPort,
                      int& err) {
    SocketHandle s = openTcpSocket(addr.family, err);
    if (s == kInvalidSocket) return s;
    if (addr.family == AddressFamily::IPv6) {
        DWORD on = 1;
        setsockopt(sockOf(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                   sizeof(on));
    }
    sockaddr_storage ss;
    int len = toSockaddr(addr, port, ss);
    IpAddress bound;
    if (bind(sockOf(s), reinterpret_cast<const sockaddr*>(&ss), len) != 0 ||
        listen(sockOf(s), backlog) != 0 ||
        (len = sizeof(ss), getsockname(sockOf(s), reinterpret_cast<sockaddr*>(&ss), &len)) != 0) {
        err = WSAGetLastError();
        closesocket(sockOf(s));
        return kInvalidSocket;
    }
    fromSockaddr(reinterpret_cast<const sockaddr*>(&ss), bound, &boundPort);
    return s;
}

bool peerAddress(SocketHandle s, IpAddress& addr, uint16_t& port, int& err) {
    sockaddr_storage ss;
    int len = sizeof(ss);
    if (getpeername(sockOf(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        err = WSAGetLastError();
        return false;
    }
    if (fromSockaddr(reinterpret_cast<const sockaddr*>(&ss), addr, &port)) return true;
    err = WSAEAFNOSUPPORT;
    return false;
}

SocketHandle acceptConnection(SocketHandle listener, int& err) {
    SOCKET s = accept(sockOf(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        err = WSAGetLastError();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

bool setAbortiveClose(SocketHandle s) {
    linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    return setsockopt(sockOf(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg),
                      sizeof(lg)) == 0;
}

bool setNoDelay(SocketHandle s) {
    BOOL on = TRUE;
    return setsockopt(sockOf(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof(on)) == 0;
}

bool parseIpAddress(const char* text, IpAddress& out) {
    return parseNumeric(text, AF_UNSPEC, out);
}

bool parseIPv6(const char* text, IpAddress& out) {
    return parseNumeric(text, AF_INET6, out);
}

std::string formatIpAddress(const IpAddress& a) {
    // The scope goes on as a number after the address: Wine's getnameinfo
    // would name the host's interface instead.
    IpAddress bare = a;
    bare.scopeId = 0;
    sockaddr_storage ss;
    int len = toSockaddr(bare, 0, ss);
    char host[NI_MAXHOST] = {0};
    if (len == 0 || getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, host, sizeof(host),
                                nullptr, 0, NI_NUMERICHOST) != 0)
        return std::string();
    if (a.family == AddressFamily::IPv6 && a.scopeId != 0)
        return std::string(host) + "%" + std::to_string(a.scopeId);
    return host;
}

bool resolveHost(const char* name, HostEntry& out) {
    return g_resolve.load()(name, out);
}

ResolveFunction setResolverForTesting(ResolveFunction fn) {
    return g_resolve.exchange(fn ? fn : systemResolve);
}

bool systemHostName(std::string& out, int& err) {
    char buf[500] = {0};
    if (gethostname(buf, sizeof(buf) - 1) != 0) {
        err = WSAGetLastError();
        out.clear();
        return false;
    }
    out = buf;
    return true;
}

std::string socketErrorText(int winsockError) {
    return systemErrorText(static_cast<unsigned>(winsockError));
}

}  // namespace platform
