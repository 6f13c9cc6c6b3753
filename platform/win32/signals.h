// signals.h - Win32: the one owner of the console's control handler, shared by the stop
// requests, the console and the fault report.
#pragma once

#include <windows.h>

// Notes Ctrl-C, Ctrl-Break and the console's closing with note, on the thread that the system
// starts for the event, instead of ending the program, whoever else has asked for them.
// Returns 0, or the OS error.
int vp_signals_catch_stop(void (*note)(DWORD type));
// The console's part: give_back runs before a control event ends the program, and before a
// fault report.
void vp_signals_console(void (*give_back)());
// Runs the console's give-back, when it registered one.
void vp_signals_give_back();
