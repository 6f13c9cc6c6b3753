// console.cpp - POSIX: the terminal's screen with ANSI escapes, its size, and single keys.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "signals.h"
#include "vp.h"

namespace {
// Home the cursor, then clear the whole screen and the scroll-back.
constexpr char kClear[] = "\033[H\033[2J\033[3J";
// The alternate screen (the shell's screen comes back when it is left), the cursor hidden.
constexpr char kTake[] = "\033[?1049h\033[?25l\033[H\033[2J";
constexpr char kGiveBack[] = "\033[?25h\033[?1049l";
constexpr char kHome[] = "\033[H";
// Each line clears the rest of its row; the last one also every row below it.
constexpr char kLineEnd[] = "\033[K\r\n";
constexpr char kScreenEnd[] = "\033[K\033[J";

// What has been changed on the terminal and must be given back. Read by the signal handlers,
// which may run between any two statements.
volatile sig_atomic_t keys_changed = 0;
volatile sig_atomic_t screen_taken = 0;
// What the program wants while it runs, so that a stopped and continued program takes the
// terminal again, and one started in the background takes it once it is in the foreground.
volatile sig_atomic_t keys_wanted = 0;
volatile sig_atomic_t screen_wanted = 0;
volatile sig_atomic_t resized = 0;
// The terminal's mode as the program found it, read each time the keys are taken: a shell
// may have changed it while the program was stopped or in the background.
termios saved_mode;
bool handlers_installed = false;
bool input_closed = false;

// Bytes read from the terminal and not yet returned as keys.
unsigned char pending[64];
size_t pending_len = 0;

// The pieces of one screen: a prefix, each line with its ending, the end.
constexpr int kMaxParts = 1024;
iovec parts[kMaxParts];

void write_parts(iovec* next, int left) {
    // A terminal takes the whole screen in one write; a pipe may take it in pieces.
    while (left > 0) {
        ssize_t n = writev(STDOUT_FILENO, next, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            next++;
            left--;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

void write_text(const char* text, size_t len) {
    iovec part = {const_cast<char*>(text), len};
    write_parts(&part, 1);
}

// Only async-signal-safe calls from here on: these run inside signal handlers too.
void give_back() {
    if (keys_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
        keys_changed = 0;
    }
    if (screen_taken) {
        write_text(kGiveBack, sizeof kGiveBack - 1);
        screen_taken = 0;
    }
}

// Whether the program's process group is the foreground group of the terminal of fd.
bool in_foreground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

// Whether another process group has the terminal of fd: the program runs in its background
// (started with '&', or continued with bg), where the screen and the keys are the foreground
// program's. A terminal that is not the program's own has no group to compare with.
bool in_background(int fd) {
    pid_t group = tcgetpgrp(fd);
    return group > 0 && group != getpgrp();
}

// Turns line editing and echo off while the program wants keys and has the terminal. Signals
// are held meanwhile, so that a handler giving the terminal back never runs between the mode
// being changed and that being noted.
void take_keys() {
    if (!keys_wanted || keys_changed || !in_foreground(STDIN_FILENO)) return;
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    if (!keys_changed && tcgetattr(STDIN_FILENO, &saved_mode) == 0) {
        termios mode = saved_mode;
        mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0) keys_changed = 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void take_again() {
    take_keys();
    if (screen_wanted && !screen_taken && !in_background(STDOUT_FILENO)) {
        write_text(kTake, sizeof kTake - 1);
        screen_taken = 1;
    }
}

// SIGCONT: the program takes the terminal again and draws a whole new screen; SIGWINCH: a
// new window size is drawn at once.
void on_watched(int sig) {
    if (sig == SIGCONT) take_again();
    resized = 1;
}

void install_handlers() {
    if (handlers_installed) return;
    handlers_installed = true;
    atexit(vp_console_restore);
    vp_signals_console(give_back, on_watched);
}

// How long the rest of an escape sequence may take to arrive, all its pieces together.
constexpr int kSequenceMs = 50;

long long monotonic_ms() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The milliseconds left until a deadline on that clock, 0 once it has passed.
int ms_until(long long deadline) {
    long long left = deadline - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what the terminal has within ms more into the pending bytes.
void read_more(int ms) {
    if (pending_len >= sizeof pending) return;
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return;
    ssize_t n = read(STDIN_FILENO, pending + pending_len, sizeof pending - pending_len);
    if (n > 0) pending_len += static_cast<size_t>(n);
}

void consume(size_t n) {
    if (n > pending_len) n = pending_len;
    memmove(pending, pending + n, pending_len - n);
    pending_len -= n;
}

// The key that the pending bytes begin with. Escape sequences of the cursor and paging keys
// come in the forms that common terminals send; an escape sequence that the rest has not
// reached yet is given one moment to arrive, however many pieces it comes in, so that a slow
// or endless one cannot hold up the screen of the next second.
int next_key() {
    if (pending[0] != 0x1b) {
        int c = pending[0];
        consume(1);
        return c;
    }
    const long long deadline = monotonic_ms() + kSequenceMs;
    if (pending_len == 1) read_more(ms_until(deadline));
    if (pending_len == 1 || (pending[1] != '[' && pending[1] != 'O')) {
        consume(1);
        return 0x1b;
    }
    size_t end = 2;
    for (;;) {
        while (end < pending_len && !(pending[end] >= 0x40 && pending[end] <= 0x7e)) end++;
        if (end < pending_len) break;
        size_t had = pending_len;
        read_more(ms_until(deadline));
        if (pending_len == had) {
            // Cut off, or longer than the room: dropped whole.
            pending_len = 0;
            return VP_KEY_NONE;
        }
    }
    char final = static_cast<char>(pending[end]);
    char param = end == 3 ? static_cast<char>(pending[2]) : '\0';
    bool plain = end == 2;
    consume(end + 1);
    if (plain && final == 'A') return VP_KEY_UP;
    if (plain && final == 'B') return VP_KEY_DOWN;
    if (plain && final == 'H') return VP_KEY_HOME;
    if (plain && final == 'F') return VP_KEY_END;
    if (final == '~') {
        switch (param) {
            case '1':
            case '7': return VP_KEY_HOME;
            case '4':
            case '8': return VP_KEY_END;
            case '5': return VP_KEY_PAGE_UP;
            case '6': return VP_KEY_PAGE_DOWN;
            default: break;
        }
    }
    return VP_KEY_NONE;
}
}  // namespace

void vp_clear_screen() {
    fputs(kClear, stdout);
    fflush(stdout);
}

void vp_console_show(const char* text, size_t len) {
    // Whatever the program printed before goes out ahead of the new screen.
    fflush(stdout);
    if (screen_taken) {
        write_text(kGiveBack, sizeof kGiveBack - 1);
        screen_taken = 0;
        screen_wanted = 0;
    }
    iovec screen[2] = {{const_cast<char*>(kClear), sizeof kClear - 1}, {const_cast<char*>(text), len}};
    write_parts(screen, 2);
}

void vp_console_write(const char* text, size_t len) {
    // A terminal here takes UTF-8 as it is.
    fwrite(text, 1, len, stdout);
}

int vp_console_size(int* rows, int* cols) {
    winsize ws = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_row == 0 || ws.ws_col == 0) return -1;
    *rows = ws.ws_row;
    *cols = ws.ws_col;
    return 0;
}

void vp_console_draw(const char* text, size_t len) {
    fflush(stdout);
    install_handlers();
    // In the background of its terminal the program leaves the screen alone: it would draw over
    // the foreground program's, or be stopped for writing. Once it is in the foreground again it
    // takes the screen and, when it asked for them, the keys.
    if (in_background(STDOUT_FILENO)) return;
    take_keys();
    int n = 0;
    if (!screen_taken) {
        parts[n++] = {const_cast<char*>(kTake), sizeof kTake - 1};
        screen_taken = 1;
        screen_wanted = 1;
    }
    parts[n++] = {const_cast<char*>(kHome), sizeof kHome - 1};
    size_t at = 0;
    // Two parts a line, and room kept for the end.
    while (at < len && n + 3 <= kMaxParts) {
        const char* line = text + at;
        const void* nl = memchr(line, '\n', len - at);
        size_t line_len = nl ? static_cast<size_t>(static_cast<const char*>(nl) - line) : len - at;
        at += line_len + (nl ? 1 : 0);
        parts[n++] = {const_cast<char*>(line), line_len};
        if (at < len) parts[n++] = {const_cast<char*>(kLineEnd), sizeof kLineEnd - 1};
    }
    parts[n++] = {const_cast<char*>(kScreenEnd), sizeof kScreenEnd - 1};
    write_parts(parts, n);
}

int vp_console_keys_start() {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return -1;
    // Only the program's own terminal: one in whose foreground it runs, or will run once it is
    // brought there (fg). A program in the background would be stopped by the terminal for
    // changing its mode or reading from it, so there the keys wait for the foreground.
    bool background = in_background(STDIN_FILENO);
    if (!background && !in_foreground(STDIN_FILENO)) return -1;
    install_handlers();
    keys_wanted = 1;
    take_keys();
    if (!keys_changed && !background) {
        keys_wanted = 0;
        return -1;
    }
    return 0;
}

int vp_console_wait_key(int ms) {
    if (pending_len > 0) return next_key();
    if (resized) {
        resized = 0;
        return VP_KEY_RESIZE;
    }
    if (!keys_changed || input_closed) {
        // No keys: a plain wait, cut short by a new window size.
        if (poll(nullptr, 0, ms) < 0 && errno == EINTR && resized) {
            resized = 0;
            return VP_KEY_RESIZE;
        }
        return VP_KEY_NONE;
    }
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r < 0) {
        if (errno == EINTR && resized) {
            resized = 0;
            return VP_KEY_RESIZE;
        }
        return VP_KEY_NONE;
    }
    if (r == 0) return VP_KEY_NONE;
    ssize_t n = (p.revents & POLLIN) ? read(STDIN_FILENO, pending, sizeof pending) : 0;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return VP_KEY_NONE;
    if (n <= 0) {
        // The terminal has gone (hung up) or the input has ended.
        input_closed = true;
        return VP_KEY_CLOSED;
    }
    pending_len = static_cast<size_t>(n);
    return next_key();
}

void vp_console_restore() {
    keys_wanted = 0;
    screen_wanted = 0;
    fflush(stdout);
    give_back();
}
