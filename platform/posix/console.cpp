// console.cpp - POSIX: clearing the console with ANSI escapes and showing a whole screen at once.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "vp.h"

namespace {
// Home the cursor, then clear the whole screen and the scroll-back.
constexpr char kClear[] = "\033[H\033[2J\033[3J";
}  // namespace

void vp_clear_screen() {
    fputs(kClear, stdout);
    fflush(stdout);
}

void vp_console_show(const char* text, size_t len) {
    // Whatever the program printed before goes out ahead of the new screen.
    fflush(stdout);
    iovec parts[2] = {{const_cast<char*>(kClear), sizeof kClear - 1},
                      {const_cast<char*>(text), len}};
    iovec* next = parts;
    int left = 2;
    // A terminal takes the whole screen in one write; a pipe may take it in pieces.
    while (left > 0) {
        ssize_t n = writev(STDOUT_FILENO, next, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            next++;
            left--;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}
