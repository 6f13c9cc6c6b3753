// loopback.cpp - test support: listening sockets on the loopback interface.
#include "loopback.h"

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
