// lcd_session.cpp - the connection to LCDd: connect and hello, commands in chunks with their answers,
// unasked lines; every wait bounded by one deadline, the reading by a budget, and a stop request heard.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lcd.h"
#include "mp_limits.h"
#include "mp_text.h"

bool lcd_connected = false;
LcdDisplay lcd_display;

namespace {

vp_socket sock = VP_INVALID_SOCKET;
LcdLineReader reader;
char received[4096];
size_t received_len = 0, received_at = 0;
// Commands sent whose answers have not come yet.
int outstanding = 0;

// LCDd takes what one read brings as whole lines: a command whose end comes in a later packet
// is parsed cut, and refused. So commands go in chunks of whole lines that fit one packet, and
// a chunk only once every command before it is answered, so that no other bytes travel with it.
constexpr size_t kChunk = 1200;

// What is read from LCDd in a second at most, whatever it sends: the answers of the largest
// update (1,024 "success" lines are 8 KiB) and its news many times over. Beyond it nothing is
// read until the budget has room again, and TCP holds the server back meanwhile, so that a
// server that floods the connection costs a bounded share of the processor.
constexpr double kReadPerSecond = 64 * 1024;
double budget = kReadPerSecond;
double budget_at = 0;
unsigned long long bytes_read = 0;

// After a stop request, the time left for taking the screens off: the program ends within a
// second of the request whatever the server does.
constexpr int kFinishMs = 500;

// Unexpected lines are told, at most kToldLines in each kToldSeconds; the others are counted and
// their number told with the next window's first one, so that a server that sends nothing else
// cannot fill the log.
constexpr int kToldLines = 3;
constexpr double kToldSeconds = 10.0;
double told_window = -kToldSeconds;
int told_lines = 0;
long passed_silently = 0;

// Presses of the display's key that steps through the recordings, not yet taken.
int key_presses = 0;

// The reason of the last failure, which later identical ones do not repeat on the console.
char reason[512];

// LCDd's text in a line of ours: cut, its control bytes escaped.
const char* shown(const char* text) {
    static char out[200];
    MP_escape_untrusted(out, sizeof out, text, strnlen(text, 120), nullptr);
    return out;
}

double answer_limit() { return MP_Global_Limits.lcd_answer_ms / 1000.0; }

// Gives the connection up for the reason given.
MP_PRINTF(1, 2) void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (vsnprintf(reason, sizeof reason, format, args) < 0) reason[0] = '\0';
    va_end(args);
    lcd_session_close();
}

void passed_over(const char* what) {
    double now = vp_process_seconds();
    if (now - told_window >= kToldSeconds) {
        if (passed_silently > 0) lcd_report(1, "LCDd sent %ld more lines that were passed over", passed_silently);
        told_window = now;
        told_lines = 0;
        passed_silently = 0;
    }
    if (told_lines < kToldLines) {
        told_lines++;
        lcd_report(1, "LCDd sent %s: %s", what, shown(reader.line));
    } else {
        passed_silently++;
    }
}

// An unasked line of LCDd's news: a press of our key is counted, the rest passed over.
void notice() {
    if (strncmp(reader.line, "key ", 4) == 0 && strcmp(reader.line + 4, LCD_STEP_KEY) == 0 && key_presses < 100)
        key_presses++;
}

// Milliseconds from now until the time `until` (0 once it has passed).
int ms_until(double until) {
    double left = (until - vp_process_seconds()) * 1000.0;
    return left <= 0 ? 0 : left > 1e9 ? 1000000000 : static_cast<int>(left) + 1;
}

// Milliseconds until the read budget has room again; 0 when it has now.
int budget_pause_ms() {
    double now = vp_process_seconds();
    budget += (now - budget_at) * kReadPerSecond;
    budget_at = now;
    if (budget > kReadPerSecond) budget = kReadPerSecond;
    if (budget > 0) return 0;
    return static_cast<int>(-budget * 1000.0 / kReadPerSecond) + 1;
}

// What a wait for LCDd's lines brought.
enum Got { GOT_LINE, GOT_TIME, GOT_LOST, GOT_STOP };

// The next line from LCDd before the time `until` (a time already past still takes what has
// arrived): GOT_LINE with reader.line; GOT_TIME; GOT_LOST when the connection ended or failed
// (given up); GOT_STOP when a stop request came and `stoppable` holds.
Got next_line(double until, bool stoppable) {
    for (;;) {
        while (received_at < received_len) {
            bool complete;
            received_at += reader.take(received + received_at, received_len - received_at, &complete);
            if (complete) return GOT_LINE;
        }
        if (stoppable && vp_stop_requested()) return GOT_STOP;
        int left = ms_until(until);
        int pause = budget_pause_ms();
        if (pause > 0) {
            if (left == 0) return GOT_TIME;
            if (pause > left) pause = left;
            if (!stoppable) vp_sleep_ms(static_cast<unsigned>(pause));
            else if (vp_wait_or_stop(VP_INVALID_SOCKET, pause) == VP_WAIT_STOP) return GOT_STOP;
            continue;
        }
        int rc = stoppable ? vp_wait_or_stop(sock, left) : vp_wait_readable(sock, left);
        if (rc == VP_WAIT_STOP) return GOT_STOP;
        if (rc < 0 && vp_net_error() == VP_WSAEINTR) continue;
        if (rc < 0) {
            fail("Error at select(): %d", vp_net_error());
            return GOT_LOST;
        }
        if (rc != VP_WAIT_READABLE) {
            if (left == 0) return GOT_TIME;
            continue;
        }
        int n = vp_recv(sock, received, sizeof received);
        if (n == 0) {
            fail("LCDd closed the connection");
            return GOT_LOST;
        }
        if (n < 0) {
            if (vp_net_error() == VP_WSAEINTR) continue;
            fail("Error at recv(): %d", vp_net_error());
            return GOT_LOST;
        }
        received_len = static_cast<size_t>(n);
        received_at = 0;
        bytes_read += static_cast<unsigned>(n);
        budget -= n;
    }
}

bool send_all(const char* data, size_t len) {
    while (len > 0) {
        int n = vp_send(sock, data, static_cast<int>(len));
        // A signal that is no stop request does not end a send; a stop request does, leaving
        // part of a line with LCDd, so that the connection can only be closed.
        if (n < 0 && vp_net_error() == VP_WSAEINTR && !vp_stop_requested()) continue;
        if (n <= 0) {
            fail("Error at send(): %d", vp_net_error());
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// An answer to a command, or why there is none.
enum Answer { ANSWER_SUCCESS, ANSWER_REFUSED, ANSWER_TIME, ANSWER_LOST, ANSWER_STOP };

// Waits until the time `until` for the answer of the oldest command that has none, passing over
// LCDd's unasked lines: whatever comes meanwhile, the wait ends then. ANSWER_REFUSED leaves the
// line in reader; ANSWER_LOST has given the connection up; ANSWER_TIME has not.
Answer answer(double until, bool stoppable) {
    for (;;) {
        switch (next_line(until, stoppable)) {
        case GOT_LINE: break;
        case GOT_TIME: return ANSWER_TIME;
        case GOT_LOST: return ANSWER_LOST;
        case GOT_STOP: return ANSWER_STOP;
        }
        if (reader.too_long) {
            passed_over("a line of more than 512 characters");
            continue;
        }
        switch (lcd_reply_kind(reader.line)) {
        case LCD_SUCCESS: outstanding--; return ANSWER_SUCCESS;
        case LCD_HUH: outstanding--; return ANSWER_REFUSED;
        case LCD_BYE:
            fail("LCDd is shutting down");
            return ANSWER_LOST;
        case LCD_NOTICE: notice(); continue;
        default: passed_over("an unexpected line"); continue;
        }
    }
}

// The address of the host: a dotted address as it is, a name looked up.
bool address_of(const char* host, uint32_t* addr) {
    char dotted[64] = "";
    if (!MP_is_dotted_address(host)) {
        int count = 0;
        int rc = vp_resolve(host, dotted, sizeof dotted, &count);
        if (rc != 0 || count == 0) {
            snprintf(reason, sizeof reason, "the host name %s cannot be resolved: %d", shown(host),
                     rc == -1 ? vp_net_error() : VP_WSAHOST_NOT_FOUND);
            return false;
        }
        host = dotted;
    }
    *addr = vp_inet_addr(host);
    return true;
}

}  // namespace

const char* lcd_session_reason() { return reason; }

unsigned long long lcd_session_bytes_read() { return bytes_read; }

int lcd_session_open() {
    reason[0] = '\0';
    uint32_t addr;
    if (!address_of(lcd_settings.host, &addr)) return -1;
    sock = vp_tcp_socket();
    if (sock == VP_INVALID_SOCKET) {
        fail("Error at socket(): %d", vp_net_error());
        return -1;
    }
    // An LCDd that stops reading, or a host that does not answer the connect, must not hold
    // the program for good.
    vp_set_send_timeout(sock, MP_Global_Limits.lcd_answer_ms);
    if (vp_connect(sock, addr, lcd_settings.port) != 0) {
        fail("Error at connect(): %d", vp_net_error());
        return -1;
    }
    received_len = received_at = 0;
    outstanding = 0;
    reader = LcdLineReader{};
    // One deadline for the answer to hello, whatever LCDd sends before it.
    double until = vp_process_seconds() + answer_limit();
    if (!send_all("hello\n", 6)) return -1;
    for (;;) {
        Got got = next_line(until, true);
        if (got == GOT_TIME) fail("LCDd did not answer hello within %g s", answer_limit());
        if (got == GOT_STOP) fail("A stop request came before LCDd answered hello");
        if (got != GOT_LINE) return -1;
        LcdReply kind = lcd_reply_kind(reader.line);
        if (kind == LCD_NOTICE) continue;
        char why[128];
        if (kind != LCD_CONNECT || lcd_parse_connect(reader.line, &lcd_display, why, sizeof why) != 0) {
            fail("The answer to hello cannot be used (%s): %s", kind == LCD_CONNECT ? why : "no LCDd there",
                 shown(reader.line));
            return -1;
        }
        break;
    }
    lcd_report(1, "LCDd says: %s", shown(reader.line));
    lcd_connected = true;
    static const char kName[] = "client_set -name Vistrel\n";
    if (!send_all(kName, sizeof kName - 1)) return -1;
    outstanding = 1;
    switch (answer(vp_process_seconds() + answer_limit(), true)) {
    case ANSWER_SUCCESS: return 0;
    case ANSWER_REFUSED: fail("LCDd refused the client's name: %s", shown(reader.line)); break;
    case ANSWER_TIME: fail("LCDd did not answer client_set within %g s", answer_limit()); break;
    case ANSWER_STOP: fail("A stop request came before LCDd answered client_set"); break;
    case ANSWER_LOST: break;
    }
    return -1;
}

int lcd_session_send(const LcdCommands& cmds) {
    if (!lcd_connected) return LCD_SEND_FAILED;
    // One deadline for the whole update: LCDd answers at once, and a server that answers late,
    // or sends other lines instead, cannot stretch it.
    double until = vp_process_seconds() + answer_limit();
    int i = 0;
    while (i < cmds.count) {
        if (vp_stop_requested()) return LCD_SEND_STOPPED;
        // Whole commands up to the chunk's size; a longer command goes alone.
        int first = i;
        size_t from = static_cast<size_t>(cmds.starts[i]);
        size_t to = i + 1 < cmds.count ? static_cast<size_t>(cmds.starts[i + 1]) : cmds.len;
        for (i++; i < cmds.count; i++) {
            size_t next = i + 1 < cmds.count ? static_cast<size_t>(cmds.starts[i + 1]) : cmds.len;
            if (next - from > kChunk) break;
            to = next;
        }
        if (MP_Global_Debug >= 3) MP_log_untrusted(3, "LCDd<", cmds.bytes + from, to - from);
        if (!send_all(cmds.bytes + from, to - from)) return LCD_SEND_FAILED;
        outstanding += i - first;
        for (int c = first; c < i; c++) {
            switch (answer(until, true)) {
            case ANSWER_SUCCESS: continue;
            case ANSWER_STOP: return LCD_SEND_STOPPED;
            case ANSWER_LOST: return LCD_SEND_FAILED;
            case ANSWER_TIME:
                fail("LCDd did not answer an update of %d commands within %g s (%d answered)", cmds.count,
                     answer_limit(), c);
                return LCD_SEND_FAILED;
            case ANSWER_REFUSED: break;
            }
            // The command as sent, without its line end, to say which one LCDd refused.
            size_t start = static_cast<size_t>(cmds.starts[c]);
            size_t end = c + 1 < cmds.count ? static_cast<size_t>(cmds.starts[c + 1]) : cmds.len;
            char command[200];
            MP_escape_untrusted(command, sizeof command, cmds.bytes + start, end - start - 1, nullptr);
            fail("LCDd refused a command: %s (to %s)", shown(reader.line), command);
            return LCD_SEND_FAILED;
        }
    }
    return LCD_SENT;
}

int lcd_session_finish(const LcdCommands& cmds) {
    if (!lcd_connected) return -1;
    int ms = MP_Global_Limits.lcd_answer_ms < kFinishMs ? MP_Global_Limits.lcd_answer_ms : kFinishMs;
    double until = vp_process_seconds() + ms / 1000.0;
    vp_set_send_timeout(sock, ms);
    int rc = -1;
    if (send_all(cmds.bytes, cmds.len)) {
        outstanding += cmds.count;
        rc = 0;
        // Answers still due to an update that the stop cut short come first. A refusal is no
        // fault here: a screen of such an update may never have been added.
        while (outstanding > 0 && rc == 0) {
            Answer a = answer(until, false);
            if (a != ANSWER_SUCCESS && a != ANSWER_REFUSED) rc = -1;
        }
    }
    lcd_session_close();
    return rc;
}

void lcd_session_close() {
    if (sock != VP_INVALID_SOCKET) vp_close_socket(sock);
    sock = VP_INVALID_SOCKET;
    lcd_connected = false;
    received_len = received_at = 0;
    outstanding = 0;
}

int lcd_session_idle(int ms) {
    double until = vp_process_seconds() + ms / 1000.0;
    if (!lcd_connected) return vp_wait_or_stop(VP_INVALID_SOCKET, ms) == VP_WAIT_STOP ? VP_WAIT_STOP : VP_WAIT_TIME;
    for (;;) {
        switch (next_line(until, true)) {
        case GOT_LINE: break;
        case GOT_STOP: return VP_WAIT_STOP;
        case GOT_TIME: return VP_WAIT_TIME;
        case GOT_LOST:
            // LCDd's screens of ours went with the connection; the rest of the time is waited.
            return vp_wait_or_stop(VP_INVALID_SOCKET, ms_until(until)) == VP_WAIT_STOP ? VP_WAIT_STOP : VP_WAIT_TIME;
        }
        if (reader.too_long) {
            passed_over("a line of more than 512 characters");
            continue;
        }
        LcdReply kind = lcd_reply_kind(reader.line);
        if (kind == LCD_BYE) {
            fail("LCDd is shutting down");
            return VP_WAIT_TIME;
        }
        if (kind == LCD_NOTICE)
            notice();
        else
            passed_over("an unasked line");
    }
}

int lcd_session_take_keys() {
    int n = key_presses;
    key_presses = 0;
    return n;
}
