// net.cpp - POSIX: blocking IPv4 TCP sockets, with errors reported in Winsock numbering.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "signals.h"
#include "vp.h"

namespace {
thread_local int last_net_error = 0;

// Translates errno to the Winsock number of the same condition, once, here at the boundary,
// so that status lines and log lines read the same on every platform.
int to_winsock(int e) {
    switch (e) {
    case EINTR: return VP_WSAEINTR;
    case EBADF: return VP_WSAEBADF;
    case EACCES: case EPERM: return VP_WSAEACCES;
    case EFAULT: return VP_WSAEFAULT;
    case EINVAL: return VP_WSAEINVAL;
    case EMFILE: case ENFILE: return VP_WSAEMFILE;
    case EWOULDBLOCK: return VP_WSAEWOULDBLOCK;
    case EINPROGRESS: return VP_WSAEINPROGRESS;
    case EALREADY: return VP_WSAEALREADY;
    case ENOTSOCK: return VP_WSAENOTSOCK;
    case EMSGSIZE: return VP_WSAEMSGSIZE;
    case EPROTONOSUPPORT: return VP_WSAEPROTONOSUPPORT;
    case EAFNOSUPPORT: return VP_WSAEAFNOSUPPORT;
    case EADDRINUSE: return VP_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return VP_WSAEADDRNOTAVAIL;
    case ENETDOWN: return VP_WSAENETDOWN;
    case ENETUNREACH: return VP_WSAENETUNREACH;
    case ENETRESET: return VP_WSAENETRESET;
    case ECONNABORTED: return VP_WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return VP_WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return VP_WSAENOBUFS;
    case EISCONN: return VP_WSAEISCONN;
    case ENOTCONN: return VP_WSAENOTCONN;
    case ESHUTDOWN: return VP_WSAESHUTDOWN;
    case ETIMEDOUT: return VP_WSAETIMEDOUT;
    case ECONNREFUSED: return VP_WSAECONNREFUSED;
    case EHOSTDOWN: return VP_WSAEHOSTDOWN;
    case EHOSTUNREACH: return VP_WSAEHOSTUNREACH;
    default: return e;
    }
}

int fail() {
    last_net_error = to_winsock(errno);
    return -1;
}

int fd_of(vp_socket s) { return static_cast<int>(s); }
}  // namespace

int vp_net_start() {
    // A send on a connection that the peer closed must fail with an error, not end the
    // process with SIGPIPE.
    vp_signals_ignore_pipe();
    return 0;
}

int vp_net_error() { return last_net_error; }

vp_socket vp_tcp_socket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        fail();
        return VP_INVALID_SOCKET;
    }
    return fd;
}

void vp_close_socket(vp_socket s) {
    if (s != VP_INVALID_SOCKET) close(fd_of(s));
}

uint32_t vp_inet_addr(const char* text) {
    in_addr a;
    if (inet_aton(text, &a) == 0) return 0xffffffffu;
    return a.s_addr;
}

int vp_connect(vp_socket s, uint32_t addr, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    for (;;) {
        if (connect(fd_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
        if (errno != EINTR) return fail();
    }
}

int vp_send(vp_socket s, const char* data, int len) {
    for (;;) {
        ssize_t n = send(fd_of(s), data, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        // The send time-out running out, reported as Windows reports it.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            last_net_error = VP_WSAETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return fail();
    }
}

int vp_recv(vp_socket s, char* buf, int len) {
    for (;;) {
        ssize_t n = recv(fd_of(s), buf, static_cast<size_t>(len), 0);
        if (n >= 0) return static_cast<int>(n);
        // On a blocking socket this is the receive time-out running out; Windows reports it
        // as a time-out, and so does this layer.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            last_net_error = VP_WSAETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return fail();
    }
}

namespace {
int set_timeout(vp_socket s, int option, int ms) {
    if (ms < 0) ms = 0;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd_of(s), SOL_SOCKET, option, &tv, sizeof tv) != 0 ? fail() : 0;
}
}  // namespace

int vp_set_recv_timeout(vp_socket s, int ms) { return set_timeout(s, SO_RCVTIMEO, ms); }

int vp_set_send_timeout(vp_socket s, int ms) { return set_timeout(s, SO_SNDTIMEO, ms); }

int vp_resolve(const char* name, char* dotted, size_t size, int* count) {
    *count = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        switch (rc) {
        case EAI_AGAIN: last_net_error = VP_WSATRY_AGAIN; break;
        case EAI_FAIL: last_net_error = VP_WSANO_RECOVERY; break;
#ifdef EAI_NODATA
        case EAI_NODATA: last_net_error = VP_WSANO_DATA; break;
#endif
        case EAI_SYSTEM: last_net_error = to_winsock(errno); break;
        default: last_net_error = VP_WSAHOST_NOT_FOUND; break;
        }
        return -1;
    }
    bool any = false;
    bool inet = false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        any = true;
        if (p->ai_family != AF_INET) continue;
        if (!inet) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
            inet_ntop(AF_INET, &sin->sin_addr, dotted, static_cast<socklen_t>(size));
        }
        inet = true;
        ++*count;
    }
    freeaddrinfo(res);
    // A name that resolves only to IPv6 addresses is known, but not an internet (IPv4) host.
    if (any && !inet) return -2;
    return 0;
}

vp_socket vp_listen_loopback(int port, int* bound_port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        fail();
        return VP_INVALID_SOCKET;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        fail();
        close(fd);
        return VP_INVALID_SOCKET;
    }
    if (bound_port) *bound_port = ntohs(sa.sin_port);
    return fd;
}

vp_socket vp_accept(vp_socket listener) {
    for (;;) {
        int fd = accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) {
            fail();
            return VP_INVALID_SOCKET;
        }
    }
}

int vp_wait_readable(vp_socket s, int ms) {
    pollfd p{fd_of(s), POLLIN, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0) {
        fail();
        return -1;
    }
    return rc > 0 ? 1 : 0;
}
