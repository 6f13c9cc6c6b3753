// signals.h - POSIX: the one owner of the process's signal handlers, which the stop requests,
// the console, the fault report and the sockets share.
#pragma once

#include <signal.h>

// Notes SIGINT, SIGTERM and a hang-up with note (async-signal-safe) instead of ending the
// program, whoever else asked for them; one that the program was started to ignore stays
// ignored. Returns 0, or the OS error.
int vp_signals_catch_stop(void (*note)());
// The console's part: give_back (async-signal-safe, harmless when there is nothing to give back)
// runs before a signal ends or stops the program, a fault report included; watch gets SIGCONT
// and SIGWINCH. Of the crash signals, those that a handler of the program's own has stay its own.
void vp_signals_console(void (*give_back)(), void (*watch)(int sig));
// The fault report's part: the signals go to handler on the alternate stack, and a fault inside
// it reaches it again. The handler runs vp_signals_give_back first.
void vp_signals_faults(const int* sigs, int count, void (*handler)(int, siginfo_t*, void*));
void vp_signals_give_back();
// The sockets' part: a send on a closed connection fails with an error instead.
void vp_signals_ignore_pipe();
