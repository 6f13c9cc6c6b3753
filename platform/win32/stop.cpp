// stop.cpp - Win32: Ctrl-C, Ctrl-Break and the console's closing noted as a stop request, and a wait that ends on one.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include "signals.h"
#include "vp.h"

namespace {

volatile LONG stop_noted = 0;
// Set with the flag, so that a wait for nothing but the time ends at once.
HANDLE stop_event = nullptr;

// Runs on a thread of its own that the system starts for the event.
void note_stop(DWORD type) {
    InterlockedExchange(&stop_noted, 1);
    if (stop_event) SetEvent(stop_event);
    // The console's closing ends the process once this returns: a moment for the program to
    // take its screens off the display first.
    if (type == CTRL_CLOSE_EVENT) Sleep(2000);
}

// A socket wait is cut into slices of this length, between which the flag is read.
constexpr int kSliceMs = 50;

}  // namespace

int vp_stop_catch() {
    if (stop_event == nullptr) {
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_event == nullptr) return static_cast<int>(GetLastError());
    }
    return vp_signals_catch_stop(note_stop);
}

bool vp_stop_requested() { return InterlockedCompareExchange(&stop_noted, 0, 0) != 0; }

int vp_wait_or_stop(vp_socket s, int ms) {
    if (ms < 0) ms = 0;
    if (vp_stop_requested()) return VP_WAIT_STOP;
    if (s == VP_INVALID_SOCKET) {
        if (stop_event == nullptr) {
            Sleep(static_cast<DWORD>(ms));
            return VP_WAIT_TIME;
        }
        return WaitForSingleObject(stop_event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0 ? VP_WAIT_STOP : VP_WAIT_TIME;
    }
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        ULONGLONG now = GetTickCount64();
        int left = now >= until ? 0 : static_cast<int>(until - now);
        int rc = vp_wait_readable(s, left < kSliceMs ? left : kSliceMs);
        if (rc < 0) return -1;
        if (vp_stop_requested()) return VP_WAIT_STOP;
        if (rc > 0) return VP_WAIT_READABLE;
        if (left <= kSliceMs) return VP_WAIT_TIME;
    }
}
