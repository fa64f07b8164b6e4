// The one place that hides Winsock versus POSIX sockets. Everything else in
// the engine uses these names only.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
inline constexpr SocketHandle invalidSocket = INVALID_SOCKET;
inline constexpr int shutdownBoth = SD_BOTH;
inline constexpr int shutdownSend = SD_SEND;
inline int closeSocket(SocketHandle s) { return closesocket(s); }
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
inline constexpr SocketHandle invalidSocket = -1;
inline constexpr int shutdownBoth = SHUT_RDWR;
inline constexpr int shutdownSend = SHUT_WR;
inline int closeSocket(SocketHandle s) { return ::close(s); }
#endif
