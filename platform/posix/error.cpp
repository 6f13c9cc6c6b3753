// error.cpp - POSIX: OS error codes and their message texts.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vp.h"

int vp_last_error() { return errno; }

void vp_clear_error() { errno = 0; }

void vp_error_text(int code, char* buf, size_t size) {
    if (size == 0) return;
    // The Windows message table ends each text with a line end; keep that shape here so that
    // log lines built around a message look the same on both platforms.
    snprintf(buf, size, "%s\n", strerror(code));
}
