// net.cpp - Win32: blocking IPv4 TCP sockets through Winsock 2.2.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "vp.h"

namespace {
// The code of the last failed socket call, kept here because Winsock's own last-error value is
// the thread's Win32 last error, which any later call (a log write) may overwrite before the
// caller reads it.
thread_local int last_net_error = 0;

int fail() {
    last_net_error = WSAGetLastError();
    return -1;
}

SOCKET as_socket(vp_socket s) { return static_cast<SOCKET>(s); }

// Winsock sockets are inheritable handles; a child started by a test or by the monitor must
// not keep a listener or a connection of ours alive after we close it.
vp_socket own(SOCKET s) {
    if (s == INVALID_SOCKET) {
        fail();
        return VP_INVALID_SOCKET;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<vp_socket>(s);
}

}  // namespace

int vp_net_start() {
    WSADATA data;
    return WSAStartup(0x0202, &data);
}

// Winsock's own codes are already the numbers that status lines show.
int vp_net_error() { return last_net_error; }

vp_socket vp_tcp_socket() { return own(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

void vp_close_socket(vp_socket s) {
    if (s != VP_INVALID_SOCKET) closesocket(as_socket(s));
}

uint32_t vp_inet_addr(const char* text) { return inet_addr(text); }

int vp_connect(vp_socket s, uint32_t addr, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(static_cast<u_short>(port));
    if (connect(as_socket(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR) return fail();
    return 0;
}

int vp_send(vp_socket s, const char* data, int len) {
    int n = send(as_socket(s), data, len, 0);
    return n == SOCKET_ERROR ? fail() : n;
}

int vp_recv(vp_socket s, char* buf, int len) {
    int n = recv(as_socket(s), buf, len, 0);
    return n == SOCKET_ERROR ? fail() : n;
}

int vp_set_recv_timeout(vp_socket s, int ms) {
    DWORD limit = ms < 0 ? 0 : static_cast<DWORD>(ms);
    if (setsockopt(as_socket(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit) == SOCKET_ERROR)
        return fail();
    return 0;
}

int vp_resolve(const char* name, char* dotted, size_t size, int* count) {
    *count = 0;
    hostent* h = gethostbyname(name);
    if (h == nullptr) return fail();
    if (h->h_addrtype != AF_INET) return -2;
    while (h->h_addr_list[*count] != nullptr) ++*count;
    if (*count > 0 && size > 0) {
        in_addr a;
        memcpy(&a, h->h_addr_list[0], sizeof a);
        snprintf(dotted, size, "%s", inet_ntoa(a));
    }
    return 0;
}

vp_socket vp_listen_loopback(int port, int* bound_port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        fail();
        return VP_INVALID_SOCKET;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<u_short>(port));
    int len = sizeof sa;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR ||
        listen(s, 8) == SOCKET_ERROR ||
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR) {
        fail();
        closesocket(s);
        return VP_INVALID_SOCKET;
    }
    if (bound_port) *bound_port = ntohs(sa.sin_port);
    return own(s);
}

vp_socket vp_accept(vp_socket listener) { return own(accept(as_socket(listener), nullptr, nullptr)); }

int vp_wait_readable(vp_socket s, int ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(as_socket(s), &readable);
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int rc = select(0, &readable, nullptr, nullptr, &tv);
    if (rc == SOCKET_ERROR) return fail();
    return rc > 0 ? 1 : 0;
}

// For the simulators and tests only (see vp.h).
int vp_set_send_limit(vp_socket s, int ms) {
    DWORD limit = ms < 0 ? 0 : static_cast<DWORD>(ms);
    if (setsockopt(as_socket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit) == SOCKET_ERROR)
        return fail();
    return 0;
}
