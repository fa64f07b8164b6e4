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
inline int closeSocket(SocketHandle s) {
    return closesocket(s);
}
inline int lastSocketError() {
    return WSAGetLastError();
}
inline bool isWouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}
inline bool isInterrupted(int error) {
    return error == WSAEINTR;
}
inline bool setNonBlocking(SocketHandle s, bool on = true) {
    u_long value = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &value) == 0;
}
// A single send may take only part of the chunk; the callers loop.
inline long sendSome(SocketHandle s, const void* data, std::size_t size) {
    int n = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    return ::send(s, static_cast<const char*>(data), n, 0);
}
inline long recvSome(SocketHandle s, void* data, std::size_t size) {
    int n = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
    return ::recv(s, static_cast<char*>(data), n, 0);
}
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
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
inline int closeSocket(SocketHandle s) {
    return ::close(s);
}
inline int lastSocketError() {
    return errno;
}
inline bool isWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
inline bool isInterrupted(int error) {
    return error == EINTR;
}
inline bool setNonBlocking(SocketHandle s, bool on = true) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    return ::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
// MSG_NOSIGNAL: a peer that went away gives EPIPE, never a process-ending
// SIGPIPE.
inline long sendSome(SocketHandle s, const void* data, std::size_t size) {
    return ::send(s, data, size, MSG_NOSIGNAL);
}
inline long recvSome(SocketHandle s, void* data, std::size_t size) {
    return ::recv(s, data, size, 0);
}
#endif

inline bool setIntOption(SocketHandle s, int level, int name, int value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}
// For a listening socket: rebind at once after a stop, yet fail on a port that
// another socket already listens on. Windows SO_REUSEADDR would let the bind
// succeed on a taken port, so exclusive use takes its place there.
inline bool setListenerAddressUse(SocketHandle s) {
#ifdef _WIN32
    return setIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
}

inline bool setNoDelay(SocketHandle s) {
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

// One socket of a wait: what to wait for, and afterwards what is ready. An
// error or hang-up counts as ready for what was asked, so the following call
// reports it.
struct SocketWait {
    SocketHandle socket = invalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;
    bool writable = false;
};

// Waits until one of the asked conditions holds. timeoutMs < 0 waits without
// end. Returns the number of ready sockets, 0 on time-out, -1 on error. Entries
// that ask for nothing are skipped. POSIX uses poll (select cannot hold
// descriptors at or above FD_SETSIZE).
inline int waitSockets(SocketWait* waits, std::size_t count, int timeoutMs) {
#ifdef _WIN32
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        waits[i].readable = waits[i].writable = false;
        if (waits[i].wantRead) FD_SET(waits[i].socket, &readSet);
        if (waits[i].wantWrite) FD_SET(waits[i].socket, &writeSet);
        if (waits[i].wantRead || waits[i].wantWrite) {
            FD_SET(waits[i].socket, &errorSet);
            any = true;
        }
    }
    if (!any) return -1;
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int r = ::select(0, &readSet, &writeSet, &errorSet, timeoutMs < 0 ? nullptr : &tv);
    if (r <= 0) return r < 0 ? -1 : 0;
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
        SocketWait& w = waits[i];
        if (!w.wantRead && !w.wantWrite) continue;
        bool failed = FD_ISSET(w.socket, &errorSet) != 0;
        w.readable = w.wantRead && (FD_ISSET(w.socket, &readSet) || failed);
        w.writable = w.wantWrite && (FD_ISSET(w.socket, &writeSet) || failed);
        if (w.readable || w.writable) ++ready;
    }
    return ready;
#else
    pollfd fds[8];
    if (count > 8) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        waits[i].readable = waits[i].writable = false;
        short events = static_cast<short>((waits[i].wantRead ? POLLIN : 0) |
                                          (waits[i].wantWrite ? POLLOUT : 0));
        // A negative descriptor is ignored by poll: no event, no hang-up spin.
        fds[i] = pollfd{events != 0 ? waits[i].socket : -1, events, 0};
    }
    int r = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
    if (r <= 0) return r < 0 ? -1 : 0;
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
        short got = fds[i].revents;
        bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        waits[i].readable = waits[i].wantRead && ((got & POLLIN) || failed);
        waits[i].writable = waits[i].wantWrite && ((got & POLLOUT) || failed);
        if (waits[i].readable || waits[i].writable) ++ready;
    }
    return ready;
#endif
}

// 1 when s is readable (or failed), 0 on time-out, -1 on error.
inline int waitReadable(SocketHandle s, int timeoutMs) {
    SocketWait w;
    w.socket = s;
    w.wantRead = true;
    return waitSockets(&w, 1, timeoutMs);
}

// Sends the whole chunk on a blocking socket; false when the connection
// failed before all of it was taken.
inline bool sendAll(SocketHandle s, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        long n = sendSome(s, p, size);
        if (n < 0 && isInterrupted(lastSocketError())) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
