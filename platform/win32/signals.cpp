// signals.cpp - Win32: the one console control handler, serving each part that asked for the
// events, whichever came first.
#include "signals.h"

namespace {

void (*stop_note)(DWORD) = nullptr;
void (*give_back)() = nullptr;
bool installed = false;

// A stop request is noted and the program goes on; any other event, or any event while no stop
// requests are caught, gives the console back and goes on to the default handler, which ends
// the program.
BOOL WINAPI on_control(DWORD type) {
    if (stop_note && (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT)) {
        stop_note(type);
        return TRUE;
    }
    vp_signals_give_back();
    return FALSE;
}

int install() {
    if (installed) return 0;
    if (!SetConsoleCtrlHandler(on_control, TRUE)) return static_cast<int>(GetLastError());
    installed = true;
    return 0;
}

}  // namespace

int vp_signals_catch_stop(void (*note)(DWORD type)) {
    stop_note = note;
    return install();
}

void vp_signals_console(void (*restore)()) {
    give_back = restore;
    install();
}

void vp_signals_give_back() {
    if (give_back) give_back();
}
