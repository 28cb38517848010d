#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket_addresses.h"
#include "platform/system_error.h"

namespace platform {
namespace {

struct ErrnoMapping {
    int posix;
    int winsock;
};

// First match wins in both directions, so the preferred errno of a Winsock
// number comes first (its text is the one shown).
const ErrnoMapping kErrnoMap[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, wsa::kAccess},
    {EPERM, wsa::kAccess},
    {EFAULT, wsa::kFault},
    {EINVAL, wsa::kInvalid},
    {EMFILE, wsa::kTooManyFiles},
    {ENFILE, wsa::kTooManyFiles},
    {EWOULDBLOCK, wsa::kWouldBlock},
    {EAGAIN, wsa::kWouldBlock},
    // A non-blocking connect under way: Winsock reports it as would-block.
    {EINPROGRESS, wsa::kWouldBlock},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, wsa::kAddrInUse},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, wsa::kNetUnreachable},
    {ENETRESET, 10052},
    {ECONNABORTED, wsa::kConnAborted},
    {ECONNRESET, wsa::kConnReset},
    // Writing to a connection the peer has torn down; Winsock calls it a reset.
    {EPIPE, wsa::kConnReset},
    {ENOBUFS, wsa::kNoBuffers},
    {ENOMEM, wsa::kNoBuffers},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, wsa::kTimedOut},
    {ECONNREFUSED, wsa::kConnRefused},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

int lastError() {
    return winsockErrorFromErrno(errno);
}

int fdOf(SocketHandle s) {
    return static_cast<int>(s);
}

int noStartup(uint16_t) {
    return 0;
}

std::atomic<StartupFunction> g_startup{noStartup};

using addresses::fromSockaddr;
using addresses::parseNumeric;
using addresses::systemFamily;
using addresses::systemResolve;
using addresses::toSockaddr;

std::atomic<ResolveFunction> g_resolve{systemResolve};

// poll() rather than select(): select() cannot watch a descriptor at or above
// FD_SETSIZE, which a host with many open files hands out.
int waitOne(SocketHandle s, short events, uint32_t timeoutMs, int& err) {
    if (s == kInvalidSocket || s > static_cast<SocketHandle>(INT_MAX)) {
        err = wsa::kInvalid;
        return -1;
    }
    uint32_t start = tickCount();
    uint32_t left = timeoutMs;
    for (;;) {
        struct pollfd p;
        p.fd = fdOf(s);
        p.events = events;
        p.revents = 0;
        // poll() takes an int, too small for the longest waits: wait in pieces.
        int slice = left > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        int r = poll(&p, 1, slice);
        if (r > 0) {
            // select() fails on a descriptor that is not open; keep that.
            if (p.revents & POLLNVAL) {
                err = winsockErrorFromErrno(EBADF);
                return -1;
            }
            // Errors and hang-ups count as ready, as select() reports them.
            return 1;
        }
        if (r < 0 && errno != EINTR) {
            err = lastError();
            return -1;
        }
        if (r == 0 && static_cast<uint32_t>(slice) == left) return 0;
        uint32_t spent = tickCount() - start;
        if (spent >= timeoutMs) return 0;
        left = timeoutMs - spent;
    }
}

}  // namespace

int winsockErrorFromErrno(int e) {
    for (const ErrnoMapping& m : kErrnoMap)
        if (m.posix == e) return m.winsock;
    return e;
}

int socketsStartup(uint16_t version) {
    return g_startup.load()(version);
}

StartupFunction setStartupFunctionForTesting(StartupFunction fn) {
    return g_startup.exchange(fn ? fn : noStartup);
}

SocketHandle openTcpSocket(int& err) {
    return openTcpSocket(AddressFamily::IPv4, err);
}

SocketHandle openTcpSocket(AddressFamily family, int& err) {
    if (systemFamily(family) < 0) {
        err = winsockErrorFromErrno(EAFNOSUPPORT);
        return kInvalidSocket;
    }
    int fd = socket(systemFamily(family), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = lastError();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(fd);
}

bool setNonBlocking(SocketHandle s, bool on, int& err) {
    int flags = fcntl(fdOf(s), F_GETFL, 0);
    if (flags < 0 ||
        fcntl(fdOf(s), F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) < 0) {
        err = lastError();
        return false;
    }
    return true;
}

bool connectIPv4(SocketHandle s, uint32_t addr, uint16_t port, int& err) {
    return connectTo(s, IpAddress::v4(addr), port, err);
}

bool connectTo(SocketHandle s, const IpAddress& addr, uint16_t port, int& err) {
    sockaddr_storage ss;
    socklen_t len = toSockaddr(addr, port, ss);
    if (len == 0) {
        err = winsockErrorFromErrno(EAFNOSUPPORT);
        return false;
    }
    if (connect(fdOf(s), reinterpret_cast<const sockaddr*>(&ss), len) == 0) return true;
    // An interrupted connect carries on in the background, as a non-blocking one does.
    err = errno == EINTR ? wsa::kWouldBlock : lastError();
    return false;
}

int selectWritable(SocketHandle s, uint32_t timeoutMs, int& err) {
    return waitOne(s, POLLOUT, timeoutMs, err);
}

int selectReadable(SocketHandle s, uint32_t timeoutMs, int& err) {
    return waitOne(s, POLLIN, timeoutMs, err);
}

// A finished connect, failed or not, makes the socket writable.
int selectConnected(SocketHandle s, uint32_t timeoutMs, int& err) {
    return waitOne(s, POLLOUT, timeoutMs, err);
}

int pendingError(SocketHandle s) {
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(fdOf(s), SOL_SOCKET, SO_ERROR, &value, &len) != 0) return lastError();
    return value ? winsockErrorFromErrno(value) : 0;
}

long sendSome(SocketHandle s, const void* data, uint32_t n, int& err) {
    for (;;) {
        // A vanished peer must not raise SIGPIPE in the host's process.
        ssize_t r = send(fdOf(s), data, n, MSG_NOSIGNAL);
        if (r >= 0) return static_cast<long>(r);
        if (errno == EINTR) continue;
        err = lastError();
        return -1;
    }
}

long recvSome(SocketHandle s, void* buf, uint32_t n, int& err) {
    for (;;) {
        ssize_t r = recv(fdOf(s), buf, n, 0);
        if (r >= 0) return static_cast<long>(r);
        if (errno == EINTR) continue;
        err = lastError();
        return -1;
    }
}

void shutdownBoth(SocketHandle s) {
    shutdown(fdOf(s), SHUT_RDWR);
}

void closeSocketHandle(SocketHandle s) {
    close(fdOf(s));
}

SocketHandle listenIPv4(uint32_t addr, uint16_t port, int backlog, uint16_t& boundPort, int& err) {
    return listenOn(IpAddress::v4(addr), port, backlog, boundPort, err);
}

SocketHandle listenOn(const IpAddress& addr, uint16_t port, int backlog, uint16_t& boundPort,
                      int& err) {
    SocketHandle s = openTcpSocket(addr.family, err);
    if (s == kInvalidSocket) return s;
    int on = 1;
    if (addr.family == AddressFamily::IPv6)
        setsockopt(fdOf(s), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    sockaddr_storage ss;
    socklen_t len = toSockaddr(addr, port, ss);
    IpAddress bound;
    if (bind(fdOf(s), reinterpret_cast<const sockaddr*>(&ss), len) != 0 ||
        listen(fdOf(s), backlog) != 0 ||
        (len = sizeof(ss), getsockname(fdOf(s), reinterpret_cast<sockaddr*>(&ss), &len)) != 0) {
        err = lastError();
        close(fdOf(s));
        return kInvalidSocket;
    }
    fromSockaddr(reinterpret_cast<const sockaddr*>(&ss), bound, &boundPort);
    return s;
}

bool peerAddress(SocketHandle s, IpAddress& addr, uint16_t& port, int& err) {
    sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    if (getpeername(fdOf(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        err = lastError();
        return false;
    }
    if (fromSockaddr(reinterpret_cast<const sockaddr*>(&ss), addr, &port)) return true;
    err = winsockErrorFromErrno(EAFNOSUPPORT);
    return false;
}

SocketHandle acceptConnection(SocketHandle listener, int& err) {
    for (;;) {
        int fd = accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return static_cast<SocketHandle>(fd);
        if (errno == EINTR) continue;
        err = lastError();
        return kInvalidSocket;
    }
}

bool setAbortiveClose(SocketHandle s) {
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    return setsockopt(fdOf(s), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) == 0;
}

bool setNoDelay(SocketHandle s) {
    int on = 1;
    return setsockopt(fdOf(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

bool parseIpAddress(const char* text, IpAddress& out) {
    return parseNumeric(text, AF_UNSPEC, out);
}

bool parseIPv6(const char* text, IpAddress& out) {
    return parseNumeric(text, AF_INET6, out);
}

std::string formatIpAddress(const IpAddress& a) {
    const int family = systemFamily(a.family);
    char text[INET6_ADDRSTRLEN] = {0};
    if (family < 0 || !inet_ntop(family, a.bytes, text, sizeof(text))) return std::string();
    // The scope as a number, as Windows writes it; getnameinfo would name
    // the interface instead.
    if (a.family == AddressFamily::IPv6 && a.scopeId != 0)
        return std::string(text) + "%" + std::to_string(a.scopeId);
    return text;
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
        err = lastError();
        out.clear();
        return false;
    }
    out = buf;
    return true;
}

std::string socketErrorText(int winsockError) {
    for (const ErrnoMapping& m : kErrnoMap)
        if (m.winsock == winsockError) return systemErrorText(static_cast<unsigned>(m.posix));
    return systemErrorText(static_cast<unsigned>(winsockError));
}

}  // namespace platform
