// signals.cpp - POSIX: the one owner of the process's signal handlers. Each part says what it
// needs of a signal, and one handler serves them all, so that no part replaces another's.
#include "signals.h"

#include <cerrno>
#include <initializer_list>

namespace {

void (*stop_note)() = nullptr;
void (*give_back)() = nullptr;
void (*watcher)(int) = nullptr;

// A stop request is noted; SIGCONT and SIGWINCH go to the console; every other signal gives
// the terminal back and then ends or stops the program as it would have by default.
void on_signal(int sig);

int take(int sig) {
    struct sigaction old = {};
    sigaction(sig, nullptr, &old);
    if (old.sa_handler == SIG_IGN) return 0;
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No restart: a blocking call under way returns, so that the program sees the request,
    // a new size or a continue at once.
    sa.sa_flags = 0;
    return sigaction(sig, &sa, nullptr) == 0 ? 0 : errno;
}

// For the signals that end the program with a core dump, which a handler of the program's own
// (a fault report, a sanitizer) may have: taken only when nothing has them.
void take_if_default(int sig) {
    struct sigaction old = {};
    sigaction(sig, nullptr, &old);
    if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) return;
    take(sig);
}

void on_signal(int sig) {
    int saved = errno;
    if (stop_note && (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)) {
        stop_note();
    } else if (sig == SIGCONT || sig == SIGWINCH) {
        // Ctrl-Z gave up the handler of SIGTSTP to stop the program; it is taken back now.
        if (sig == SIGCONT) take(SIGTSTP);
        if (watcher) watcher(sig);
    } else {
        vp_signals_give_back();
        // Held until this handler returns, and then acted on by default.
        signal(sig, SIG_DFL);
        raise(sig);
    }
    errno = saved;
}

}  // namespace

int vp_signals_catch_stop(void (*note)()) {
    stop_note = note;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (int rc = take(sig)) return rc;
    return 0;
}

void vp_signals_console(void (*restore)(), void (*watch)(int sig)) {
    give_back = restore;
    watcher = watch;
    // Every signal that ends the program by default, without a core dump, and that a person or
    // another program can send.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF})
        take(sig);
#ifdef SIGPOLL
    take(SIGPOLL);
#endif
#ifdef SIGPWR
    take(SIGPWR);
#endif
#ifdef SIGSTKFLT
    take(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) take(sig);
#endif
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGXCPU, SIGXFSZ})
        take_if_default(sig);
    for (int sig : {SIGTSTP, SIGCONT, SIGWINCH}) take(sig);
}

void vp_signals_faults(const int* sigs, int count, void (*handler)(int, siginfo_t*, void*)) {
    struct sigaction sa = {};
    sa.sa_sigaction = handler;
    // SA_NODEFER lets a fault inside the report reach the handler again, which then ends the
    // process instead of the kernel killing it with the default action.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < count; i++) sigaction(sigs[i], &sa, nullptr);
}

void vp_signals_give_back() {
    if (give_back) give_back();
}

void vp_signals_ignore_pipe() { signal(SIGPIPE, SIG_IGN); }
