// loopback.h - test support: listening sockets on the loopback interface.
#pragma once

#include "vp.h"

// A socket that listens on a loopback port and is closed with the object, so that a test that
// stops at a failed assertion leaves no listener behind. Port 0 lets the system choose one.
class LoopbackListener {
public:
    explicit LoopbackListener(int port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // VP_INVALID_SOCKET when listening failed.
    vp_socket socket() const { return socket_; }
    int port() const { return port_; }
    // Stops listening at once, as a server that goes away does.
    void close();

private:
    vp_socket socket_ = VP_INVALID_SOCKET;
    int port_ = 0;
};

// A port on which nothing listens: one that was free a moment ago.
int closed_loopback_port();
// Shuts the sending side of a connected socket, so that every later send on it fails while
// receives go on. Returns whether the system did so.
bool stop_sending(vp_socket s);
