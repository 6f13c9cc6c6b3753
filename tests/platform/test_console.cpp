// test_console.cpp - the POSIX terminal: given back on every signal that ends the program, left
// alone from the background, and escape sequences that arrive slowly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "pty_child.h"
#include "scratch.h"
#include "vp.h"

namespace {

constexpr int kWaitMs = 20000;
const std::string kTake = "\033[?1049h\033[?25l\033[H\033[2J";
const std::string kGiveBack = "\033[?25h\033[?1049l";
const std::string kScreenEnd = "\033[K\033[J";

// A child process on a pseudo-terminal that is its controlling terminal and its standard
// streams, as a terminal window's shell would be; the test reads what it writes and types keys.
class Pty {
public:
    ~Pty() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    // Runs body in the child, which ends with the value that body returns.
    bool start(const std::function<int()>& body) {
        pid_ = pty_child_start(&master_, 0, 0, body);
        return pid_ > 0;
    }

    // Reads what the child wrote until it holds text; whether it came within the wait.
    bool read_until(const std::string& text) {
        return wait_until(
            [&] {
                read_some(20);
                return out_.find(text) != std::string::npos;
            },
            kWaitMs);
    }

    bool type(const std::string& keys) {
        return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }

    void send_signal(int sig) { kill(pid_, sig); }

    // Whether the child has ended, reading what it writes meanwhile.
    bool ended() {
        if (pid_ <= 0) return true;
        read_some(0);
        if (waitpid(pid_, &status_, WNOHANG) != pid_) return false;
        pid_ = -1;
        read_some(0);
        return true;
    }

    // Waits for the child to end; its wait status, or -1 when it did not end within the wait.
    int wait_end() { return wait_until([&] { return ended(); }, kWaitMs) ? status_ : -1; }

    // The terminal's local modes as the child keeps them or left them.
    tcflag_t local_mode() {
        termios mode = {};
        tcgetattr(master_, &mode);
        return mode.c_lflag;
    }

    const std::string& output() const { return out_; }

private:
    void read_some(int ms) {
        char buf[4096];
        for (pollfd p = {master_, POLLIN, 0}; poll(&p, 1, ms) > 0 && (p.revents & POLLIN); ms = 0) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return;
            out_.append(buf, static_cast<size_t>(n));
        }
    }

    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_;
};

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A program with its keys and a drawn screen, waiting to be ended by a signal.
int draw_and_wait() {
    // A crash signal below would otherwise leave a core file.
    rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    if (vp_console_keys_start() != 0) return 20;
    vp_console_draw("screen", 6);
    for (;;) pause();
}

// Each signal that ends a program by default, without a core dump or with one, gives the
// terminal back first: the normal screen, the cursor, line editing and echo. The program still
// ends by that signal.
TEST(Console, EverySignalThatEndsTheProgramGivesTheTerminalBack) {
#ifdef VISTREL_SANITIZE
    // The sanitizer reports a SIGSEGV of its own; the other crash signal stands for both.
    const int signals[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGRTMIN + 1, SIGABRT};
#else
    const int signals[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGRTMIN + 1, SIGSEGV, SIGABRT};
#endif
    for (int sig : signals) {
        SCOPED_TRACE(strsignal(sig));
        Pty pty;
        ASSERT_TRUE(pty.start(draw_and_wait));
        ASSERT_TRUE(pty.read_until("screen" + kScreenEnd)) << pty.output();
        EXPECT_EQ(0u, pty.local_mode() & (ICANON | ECHO));
        pty.send_signal(sig);
        int status = pty.wait_end();
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(sig, WTERMSIG(status));
        EXPECT_TRUE(ends_with(pty.output(), kGiveBack)) << pty.output();
        EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), pty.local_mode() & (ICANON | ECHO));
    }
}

// A fault report of the program's own, set up before the screen is drawn, keeps the crash
// signals: the terminal layer does not take them over.
TEST(Console, AFaultHandlerOfTheProgramKeepsTheCrashSignals) {
    Pty pty;
    ASSERT_TRUE(pty.start([] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { _exit(42); };
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, nullptr);
        return draw_and_wait();
    }));
    ASSERT_TRUE(pty.read_until("screen" + kScreenEnd)) << pty.output();
    pty.send_signal(SIGSEGV);
    int status = pty.wait_end();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(42, WEXITSTATUS(status));
}

// The parts of the platform layer that handle signals compose, whichever is set up first: a
// program that asks for stop requests and draws a screen still receives the stop request and
// ends in its own time; a fault report still gets the terminal given back before it writes.
TEST(Console, StopRequestsAndFaultReportsComposeWithTheScreen) {
    for (bool stop_first : {true, false}) {
        SCOPED_TRACE(stop_first ? "stop requests first" : "screen first");
        Pty pty;
        ASSERT_TRUE(pty.start([stop_first] {
            if (stop_first && vp_stop_catch() != 0) return 20;
            if (vp_console_keys_start() != 0) return 21;
            vp_console_draw("screen", 6);
            if (!stop_first && vp_stop_catch() != 0) return 22;
            // Said once both are set up, so that the signal cannot come before them.
            if (write(STDOUT_FILENO, "ready", 5) != 5) return 24;
            if (vp_wait_or_stop(VP_INVALID_SOCKET, kWaitMs) != VP_WAIT_STOP) return 23;
            vp_console_draw("stopping", 8);
            vp_console_restore();
            return 0;
        }));
        ASSERT_TRUE(pty.read_until("ready")) << pty.output();
        pty.send_signal(SIGTERM);
        int status = pty.wait_end();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(0, WEXITSTATUS(status));
        EXPECT_TRUE(ends_with(pty.output(), "stopping" + kScreenEnd + kGiveBack)) << pty.output();
        EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), pty.local_mode() & (ICANON | ECHO));
    }
    for (bool fault_first : {true, false}) {
        SCOPED_TRACE(fault_first ? "fault report first" : "screen first");
        Pty pty;
        ASSERT_TRUE(pty.start([fault_first] {
            auto report = [](const vp_fault* f) {
                char line[32];
                int n = snprintf(line, sizeof line, "report %08x\n", static_cast<unsigned>(f->code));
                ssize_t w = write(STDOUT_FILENO, line, static_cast<size_t>(n));
                (void)w;
                _exit(3);
            };
            if (fault_first) vp_install_fault_handler(report);
            if (vp_console_keys_start() != 0) return 21;
            vp_console_draw("screen", 6);
            if (!fault_first) vp_install_fault_handler(report);
            if (write(STDOUT_FILENO, "ready", 5) != 5) return 22;
            for (;;) pause();
        }));
        ASSERT_TRUE(pty.read_until("ready")) << pty.output();
        pty.send_signal(SIGSEGV);
        int status = pty.wait_end();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(3, WEXITSTATUS(status));
        EXPECT_TRUE(ends_with(pty.output(), kGiveBack + "report c0000005\r\n")) << pty.output();
        EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), pty.local_mode() & (ICANON | ECHO));
    }
}

// A program started in the background of its terminal ('&') draws nothing there and changes
// nothing, and once its shell brings it to the foreground (fg) it takes the screen and the keys:
// a key typed then reaches it. The child here plays the shell.
TEST(Console, TheBackgroundIsLeftAloneAndTheForegroundTakenWhenItComes) {
    Pty pty;
    ASSERT_TRUE(pty.start([] {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0) return 30;
        pid_t program = fork();
        if (program < 0) return 31;
        if (program == 0) {
            setpgid(0, 0);
            char c = 0;
            int keys = vp_console_keys_start();
            vp_console_draw("background", 10);
            if (write(ready[1], "b", 1) != 1 || read(go[0], &c, 1) != 1) _exit(32);
            vp_console_draw("foreground", 10);
            int key = VP_KEY_NONE;
            for (int i = 0; i < 100 && (key == VP_KEY_NONE || key == VP_KEY_RESIZE); i++) key = vp_console_wait_key(100);
            vp_console_restore();
            _exit(keys != 0 ? 33 : key != 'q' ? 34 : 0);
        }
        setpgid(program, program);
        signal(SIGTTOU, SIG_IGN);
        char c = 0;
        if (read(ready[0], &c, 1) != 1) return 35;
        if (tcsetpgrp(STDIN_FILENO, program) != 0) return 36;
        if (write(go[1], "f", 1) != 1) return 37;
        int status = 0;
        waitpid(program, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    }));
    ASSERT_TRUE(pty.read_until("foreground" + kScreenEnd)) << pty.output();
    EXPECT_EQ(0u, pty.local_mode() & (ICANON | ECHO));
    ASSERT_TRUE(pty.type("q"));
    int status = pty.wait_end();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status)) << "33: no keys asked for in the background; 34: the key did not reach it";
    // Nothing before the screen taken in the foreground; the terminal given back at the end.
    EXPECT_EQ(kTake + "\033[H" + "foreground" + kScreenEnd + kGiveBack, pty.output());
    EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), pty.local_mode() & (ICANON | ECHO));
}

// The rest of an escape sequence that trickles in byte by byte and never ends holds the wait for
// a key no longer than one short moment, so that the next screen is not held up.
TEST(Console, AnEscapeSequenceThatNeverEndsIsDroppedWithinAMoment) {
    Pty pty;
    ASSERT_TRUE(pty.start([] {
        if (vp_console_keys_start() != 0) return 1;
        if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 2;
        double before = vp_process_seconds();
        int key = vp_console_wait_key(5000);
        double waited = vp_process_seconds() - before;
        if (key != VP_KEY_NONE) return 3;
        // In tens of milliseconds.
        return 10 + static_cast<int>(waited * 100 < 200 ? waited * 100 : 200);
    }));
    ASSERT_TRUE(pty.read_until("ready"));
    ASSERT_TRUE(pty.type("\033["));
    // A parameter byte every 20 ms, until the wait has given up on the sequence.
    for (int i = 0; i < 200 && !pty.ended(); i++) {
        pty.type("1");
        usleep(20000);
    }
    int status = pty.wait_end();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    int code = WEXITSTATUS(status);
    ASSERT_GE(code, 10) << "1: no keys; 3: a key was made of the sequence";
    // The sequence gets 50 ms; a wait that took a moment per byte ran past a second. The bound
    // between the two leaves room for a busy machine.
    EXPECT_LT((code - 10) * 10, 900) << "the wait for a key took " << (code - 10) * 10 << " ms";
}

}  // namespace
