// signals.h - POSIX: the one owner of the process's signal handlers, shared by the stop
// requests, the console, the fault report and the sockets.
#pragma once

#include <signal.h>

// Notes SIGINT, SIGTERM and a hang-up with note (async-signal-safe) instead of ending the
// program, whoever else has asked for them. A signal the program was started to ignore stays
// ignored. Returns 0, or the OS error.
int vp_signals_catch_stop(void (*note)());
// The console's part: give_back (async-signal-safe, harmless when nothing is to be given back)
// runs before any signal ends or stops the program, a fault report included; watch gets
// SIGCONT and SIGWINCH. Takes every signal that ends or stops the program by default and that
// a person or another program can send, but for those the program was started to ignore and,
// of the crash signals, those that a handler of the program's own already has.
void vp_signals_console(void (*give_back)(), void (*watch)(int sig));
// Gives the processor-fault signals to handler, on the alternate stack and able to reach it
// again from inside (the handler calls vp_signals_give_back itself, first thing).
void vp_signals_faults(const int* sigs, int count, void (*handler)(int, siginfo_t*, void*));
// Runs the console's give-back, when it registered one.
void vp_signals_give_back();
// Ignores SIGPIPE, so that a send on a closed connection fails with an error.
void vp_signals_ignore_pipe();
