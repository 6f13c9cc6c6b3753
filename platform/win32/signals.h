// signals.h - Win32: the one owner of the console control handler, which the stop requests,
// the console and the fault report share.
#pragma once

#include <windows.h>

// Notes Ctrl-C, Ctrl-Break and the console's closing with note (on a thread that the system
// starts for the event) instead of ending the program. Returns 0, or the OS error.
int vp_signals_catch_stop(void (*note)(DWORD type));
// The console's part: give_back runs before a control event ends the program, and before a
// fault report (which runs vp_signals_give_back).
void vp_signals_console(void (*give_back)());
void vp_signals_give_back();
