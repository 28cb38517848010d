#pragma once
// Address conversions and name lookup shared by the POSIX and the Winsock
// socket services: sockaddr to and from IpAddress, numeric parsing and
// getaddrinfo, which both systems offer alike.
#ifdef _WIN32
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

#include "platform/sockets.h"

namespace platform::addresses {

#ifdef _WIN32
using SockaddrLength = int;
#else
using SockaddrLength = socklen_t;
#endif

// The system's family number; -1 for none.
int systemFamily(AddressFamily f);
// The sockaddr of an address and port and its length; 0 for no family.
SockaddrLength toSockaddr(const IpAddress& a, uint16_t port, sockaddr_storage& ss);
bool fromSockaddr(const sockaddr* sa, IpAddress& a, uint16_t* port);
// Numeric text only (AI_NUMERICHOST never asks a name service).
bool parseNumeric(const char* text, int family, IpAddress& out);
// Every address of the name, in the resolver's order, without repeats.
bool systemResolve(const char* name, HostEntry& out);

}  // namespace platform::addresses
