// stop.cpp - POSIX: Ctrl-C, SIGTERM and a hang-up noted as a stop request, and a wait that ends on one.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "signals.h"
#include "vp.h"

namespace {

volatile sig_atomic_t stop_noted = 0;
// The handler writes a byte into this pipe, so that a wait that is about to begin sees the
// request as well as one already under way: a flag alone could be set between its test and
// the wait, which would then sleep its whole time.
int wake_pipe[2] = {-1, -1};

void note_stop() {
    stop_noted = 1;
    if (wake_pipe[1] >= 0) {
        char byte = 1;
        // The pipe never needs more than one byte; a full one already wakes every wait.
        ssize_t n = write(wake_pipe[1], &byte, 1);
        (void)n;
    }
}

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int vp_stop_catch() {
    if (wake_pipe[0] < 0) {
        if (pipe(wake_pipe) != 0) return errno;
        for (int fd : wake_pipe) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    return vp_signals_catch_stop(note_stop);
}

bool vp_stop_requested() { return stop_noted != 0; }

int vp_wait_or_stop(vp_socket s, int ms) {
    if (ms < 0) ms = 0;
    const long long until = now_ms() + ms;
    for (;;) {
        if (stop_noted) return VP_WAIT_STOP;
        pollfd p[2];
        int n = 0;
        if (wake_pipe[0] >= 0) p[n++] = {wake_pipe[0], POLLIN, 0};
        int socket_at = n;
        if (s != VP_INVALID_SOCKET) p[n++] = {static_cast<int>(s), POLLIN, 0};
        long long left = until - now_ms();
        if (left < 0) left = 0;
        int rc = poll(p, static_cast<nfds_t>(n), static_cast<int>(left));
        if (rc < 0 && errno != EINTR) {
            // Only the socket can make the wait fail (no memory for it, a bad descriptor):
            // the socket layer's own wait leaves its code in Winsock numbering.
            vp_wait_readable(s, 0);
            return -1;
        }
        if (stop_noted) return VP_WAIT_STOP;
        if (rc > 0 && socket_at < n && p[socket_at].revents != 0) return VP_WAIT_READABLE;
        if (rc == 0 || left == 0) return VP_WAIT_TIME;
    }
}
