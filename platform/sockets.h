#pragma once
// TCP sockets over IPv4 and IPv6, readiness waits and name lookup. Every
// error is reported as a Winsock error number on every platform (POSIX errno
// values are mapped), so the engine and its log texts speak one vocabulary.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

using SocketHandle = uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// Address value that parseIPv4 returns for text that is not an address.
inline constexpr uint32_t kAddrNone = 0xFFFFFFFFu;

// The Winsock numbers the engine tests for by name.
namespace wsa {
inline constexpr int kAccess = 10013;
inline constexpr int kFault = 10014;
inline constexpr int kInvalid = 10022;
inline constexpr int kTooManyFiles = 10024;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAddrInUse = 10048;
inline constexpr int kNetUnreachable = 10051;
inline constexpr int kConnAborted = 10053;
inline constexpr int kConnReset = 10054;
inline constexpr int kNoBuffers = 10055;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnRefused = 10061;
inline constexpr int kSysNotReady = 10091;
inline constexpr int kVersionNotSupported = 10092;
inline constexpr int kNotInitialised = 10093;
inline constexpr int kProcLimit = 10067;
inline constexpr int kProviderFailedInit = 10106;
}  // namespace wsa

// ---- start-up
// Asks for the given Winsock version (low byte major, high byte minor);
// 0 or a Winsock error. On POSIX there is nothing to start and it succeeds.
int socketsStartup(uint16_t version);

// Replaces the start-up call so that the version negotiation above it can be
// tested; null restores the system's. Returns the previous function.
using StartupFunction = int (*)(uint16_t version);
StartupFunction setStartupFunctionForTesting(StartupFunction fn);

// ---- addresses
enum class AddressFamily : uint8_t { None = 0, IPv4 = 4, IPv6 = 6 };

// One IPv4 or IPv6 address, the part of a socket address that is not the
// port; the platform turns it into its own sockaddr form.
struct IpAddress {
    AddressFamily family = AddressFamily::None;
    uint8_t bytes[16] = {};  // network order; IPv4 uses the first 4
    uint32_t scopeId = 0;    // IPv6: the interface of a link-local address

    static IpAddress v4(uint32_t networkOrder) {
        IpAddress a;
        a.family = AddressFamily::IPv4;
        std::memcpy(a.bytes, &networkOrder, 4);
        return a;
    }
    static IpAddress v6(const uint8_t (&b)[16], uint32_t scope = 0) {
        IpAddress a;
        a.family = AddressFamily::IPv6;
        std::memcpy(a.bytes, b, 16);
        a.scopeId = scope;
        return a;
    }
    // IPv4: the address in network byte order; 0 for IPv6.
    uint32_t ipv4() const {
        uint32_t v = 0;
        if (family == AddressFamily::IPv4) std::memcpy(&v, bytes, 4);
        return v;
    }
    size_t size() const { return family == AddressFamily::IPv6 ? 16 : 4; }
    // 0.0.0.0 or ::, which no connect can reach.
    bool isUnspecified() const {
        for (size_t i = 0; i < size(); ++i)
            if (bytes[i]) return false;
        return true;
    }
    bool operator==(const IpAddress& o) const {
        return family == o.family && scopeId == o.scopeId &&
               std::memcmp(bytes, o.bytes, size()) == 0;
    }
};

// Numeric text of either family to an address, without any lookup: dotted
// IPv4 or IPv6 without brackets (a "%scope" suffix allowed). False for
// anything else, names included.
bool parseIpAddress(const char* text, IpAddress& out);
// Only IPv6 text, as above.
bool parseIPv6(const char* text, IpAddress& out);
// "127.0.0.1", "::1": the system's numeric form; IPv6 without brackets.
std::string formatIpAddress(const IpAddress& a);

// ---- sockets; each failing call stores its Winsock error in err
SocketHandle openTcpSocket(int& err);  // IPv4
SocketHandle openTcpSocket(AddressFamily family, int& err);
bool setNonBlocking(SocketHandle s, bool on, int& err);
// addr in network byte order, port in host order.
bool connectIPv4(SocketHandle s, uint32_t addr, uint16_t port, int& err);
// Either family; the socket must have been opened for the address's family.
bool connectTo(SocketHandle s, const IpAddress& addr, uint16_t port, int& err);
// select on one socket: 1 ready, 0 timed out, -1 error.
int selectWritable(SocketHandle s, uint32_t timeoutMs, int& err);
int selectReadable(SocketHandle s, uint32_t timeoutMs, int& err);
// Waits for a non-blocking connect to finish, either way (1); pendingError
// then tells whether it succeeded.
int selectConnected(SocketHandle s, uint32_t timeoutMs, int& err);
// The error of a finished non-blocking connect, 0 when it succeeded.
int pendingError(SocketHandle s);
// Bytes sent or received, or -1.
long sendSome(SocketHandle s, const void* data, uint32_t n, int& err);
long recvSome(SocketHandle s, void* buf, uint32_t n, int& err);
void shutdownBoth(SocketHandle s);
void closeSocketHandle(SocketHandle s);

// Listening side, for loopback peers in tests and tools.
SocketHandle listenIPv4(uint32_t addr, uint16_t port, int backlog, uint16_t& boundPort, int& err);
// Either family; an IPv6 listener takes IPv6 connections only.
SocketHandle listenOn(const IpAddress& addr, uint16_t port, int backlog, uint16_t& boundPort,
                      int& err);
// The far end of a connected socket.
bool peerAddress(SocketHandle s, IpAddress& addr, uint16_t& port, int& err);
SocketHandle acceptConnection(SocketHandle listener, int& err);
// Closing after this sends a reset instead of an orderly end.
bool setAbortiveClose(SocketHandle s);
// Sends small writes at once instead of waiting for the previous one to be
// acknowledged: a line protocol that writes a command in two pieces would
// otherwise stall on the peer's delayed acknowledgement.
bool setNoDelay(SocketHandle s);

// ---- names
// Dotted-decimal text to an address in network byte order; kAddrNone when
// it is anything else. Only the canonical form counts, as inet_pton reads
// it: four decimal numbers up to 255 without leading zeros. The older
// readings (octal "0177.0.0.1", hex, "127.1") would name another address
// than a certificate check reading the same text as decimal.
uint32_t parseIPv4(const char* text);

struct HostEntry {
    std::vector<IpAddress> addresses;  // IPv6 and IPv4, in the resolver's order
    std::string officialName;
};
// Every TCP address of a host name (getaddrinfo, either family), in the
// order the system prefers them, without repeats. False when there is none.
// Safe to call from several threads at once.
bool resolveHost(const char* name, HostEntry& out);

// Replaces the lookup so that no test depends on a name service; null
// restores the system's. Returns the previous function. The function is
// called from lookup threads and must be thread-safe.
using ResolveFunction = bool (*)(const char* name, HostEntry& out);
ResolveFunction setResolverForTesting(ResolveFunction fn);

// The local machine's host name, asked of the system once per process (a
// send asks for it every time); systemHostName asks every time.
bool localHostName(std::string& out, int& err);
bool systemHostName(std::string& out, int& err);

// The system's text for a Winsock error number.
std::string socketErrorText(int winsockError);

#ifndef _WIN32
// The Winsock number for an errno value; values without one pass unchanged.
int winsockErrorFromErrno(int e);
#endif

}  // namespace platform
