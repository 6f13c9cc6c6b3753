// loopback.cpp - test support: listening sockets on the loopback interface.
#include "loopback.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

LoopbackListener::LoopbackListener(int port) { socket_ = vp_listen_loopback(port, &port_); }

LoopbackListener::~LoopbackListener() { close(); }

void LoopbackListener::close() {
    if (socket_ != VP_INVALID_SOCKET) vp_close_socket(socket_);
    socket_ = VP_INVALID_SOCKET;
}

int closed_loopback_port() {
    LoopbackListener listener;
    return listener.port();
}

bool stop_sending(vp_socket s) {
#ifdef _WIN32
    return shutdown(static_cast<SOCKET>(s), SD_SEND) == 0;
#else
    return shutdown(static_cast<int>(s), SHUT_WR) == 0;
#endif
}
