// error.cpp - Win32: the last OS error code and the system's message text for a code.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "vp.h"

int vp_last_error() { return static_cast<int>(GetLastError()); }

void vp_clear_error() { SetLastError(0); }

void vp_error_text(int code, char* buf, size_t size) {
    if (size == 0) return;
    // The system table is asked into a buffer of its own so that a caller's small buffer
    // still receives the beginning of the text instead of nothing.
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             text, sizeof text, nullptr);
    if (n >= sizeof text) n = sizeof text - 1;
    size_t len = n < size - 1 ? n : size - 1;
    memcpy(buf, text, len);
    buf[len] = '\0';
}
