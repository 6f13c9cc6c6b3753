// pty_child.h - test support (POSIX): a child process whose controlling terminal and standard
// streams are a new pseudo-terminal, as a terminal window's shell would start it.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

// Opens a pseudo-terminal, of rows by cols when rows > 0, and forks. The child makes it its
// controlling terminal and standard streams and ends with what child() returns (child may also
// replace the process). Returns the child's pid with *master the terminal's far end, or -1.
template <class Child>
pid_t pty_child_start(int* master, int rows, int cols, Child child) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return -1;
    if (rows > 0) {
        winsize ws = {};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        if (ioctl(*master, TIOCSWINSZ, &ws) != 0) return -1;
    }
    std::string slave = ptsname(*master);
    pid_t pid = fork();
    if (pid != 0) return pid;
    setsid();
    int fd = open(slave.c_str(), O_RDWR);
    if (fd < 0) _exit(126);
    for (int std_fd = 0; std_fd <= 2; std_fd++) dup2(fd, std_fd);
    if (fd > 2) close(fd);
    close(*master);
    _exit(child());
}
#endif
