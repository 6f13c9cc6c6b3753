// lcd_session.cpp - the connection to LCDd: connect and hello, commands in chunks with their answers, unasked lines.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lcd.h"
#include "mp_tcp.h"

bool lcd_connected = false;
LcdDisplay lcd_display;

namespace {

vp_socket sock = VP_INVALID_SOCKET;
LcdLineReader reader;
char received[4096];
size_t received_len = 0, received_at = 0;

// LCDd answers every command at once; one that has not answered within this is given up.
constexpr int kAnswerLimitMs = 5000;
// LCDd takes what one read brings as whole lines: a command whose end comes in a later packet
// is parsed cut, and refused. So commands go in chunks of whole lines that fit one packet, and
// a chunk only once every command before it is answered, so that no other bytes travel with it.
constexpr size_t kChunk = 1200;

// The reason of the last failure, which later identical ones do not repeat on the console.
char reason[512];

// LCDd's text in a line of ours: cut, its control bytes escaped.
const char* shown(const char* text) {
    static char out[200];
    MP_escape_untrusted(out, sizeof out, text, strnlen(text, 120), nullptr);
    return out;
}

// Gives the connection up for the reason given.
MP_PRINTF(1, 2) void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (vsnprintf(reason, sizeof reason, format, args) < 0) reason[0] = '\0';
    va_end(args);
    lcd_session_close();
}

// The next line from LCDd within ms (a wait of 0 still takes what has arrived): 1 with
// reader.line, 0 when none came in time, -1 when the connection ended or failed (given up).
int next_line(int ms) {
    double until = vp_process_seconds() + ms / 1000.0;
    for (;;) {
        while (received_at < received_len) {
            bool complete;
            received_at += reader.take(received + received_at, received_len - received_at, &complete);
            if (complete) return 1;
        }
        int left = static_cast<int>((until - vp_process_seconds()) * 1000.0);
        if (left < 0) left = 0;
        // A stop request does not cut the wait short: the screens are still to be taken off.
        int rc = vp_stop_requested() ? vp_wait_readable(sock, left) : vp_wait_or_stop(sock, left);
        if (rc < 0 && vp_net_error() == VP_WSAEINTR) continue;
        if (rc < 0) {
            fail("Error at select(): %d", vp_net_error());
            return -1;
        }
        if (rc != VP_WAIT_READABLE) {
            if (left == 0) return 0;
            continue;
        }
        int n = vp_recv(sock, received, sizeof received);
        if (n == 0) {
            fail("LCDd closed the connection");
            return -1;
        }
        if (n < 0) {
            fail("Error at recv(): %d", vp_net_error());
            return -1;
        }
        received_len = static_cast<size_t>(n);
        received_at = 0;
    }
}

bool send_all(const char* data, size_t len) {
    while (len > 0) {
        int n = vp_send(sock, data, static_cast<int>(len));
        if (n <= 0) {
            fail("Error at send(): %d", vp_net_error());
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Waits for the answer of one command, passing over LCDd's unasked lines. 1 success, 0 refused
// (reason set, the line in reader), -1 lost.
int answer(const char* what) {
    for (;;) {
        int rc = next_line(kAnswerLimitMs);
        if (rc == 0) {
            fail("LCDd did not answer %s within %d s", what, kAnswerLimitMs / 1000);
            return -1;
        }
        if (rc < 0) return -1;
        if (reader.too_long) {
            lcd_report(1, "LCDd sent a line of more than %zu characters: %s", LcdLineReader::kMax, shown(reader.line));
            continue;
        }
        switch (lcd_reply_kind(reader.line)) {
        case LCD_SUCCESS: return 1;
        case LCD_HUH: return 0;
        case LCD_BYE:
            fail("LCDd is shutting down");
            return -1;
        case LCD_NOTICE: continue;
        default:
            lcd_report(1, "LCDd sent an unexpected line: %s", shown(reader.line));
            continue;
        }
    }
}

// The address of the host: a dotted address as it is, a name looked up.
bool address_of(const char* host, uint32_t* addr) {
    char dotted[64] = "";
    if (!Ttcp_is_dotted_address(host)) {
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

int lcd_session_open() {
    reason[0] = '\0';
    uint32_t addr;
    if (!address_of(lcd_settings.host, &addr)) return -1;
    sock = vp_tcp_socket();
    if (sock == VP_INVALID_SOCKET) {
        fail("Error at socket(): %d", vp_net_error());
        return -1;
    }
    // An LCDd that stops reading must not hold the program for good.
    vp_set_send_timeout(sock, kAnswerLimitMs);
    if (vp_connect(sock, addr, lcd_settings.port) != 0) {
        fail("Error at connect(): %d", vp_net_error());
        return -1;
    }
    received_len = received_at = 0;
    reader = LcdLineReader{};
    if (!send_all("hello\n", 6)) return -1;
    for (;;) {
        int rc = next_line(kAnswerLimitMs);
        if (rc == 0) fail("LCDd did not answer hello within %d s", kAnswerLimitMs / 1000);
        if (rc <= 0) return -1;
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
    int rc = answer("client_set");
    if (rc == 0) fail("LCDd refused the client's name: %s", shown(reader.line));
    return rc == 1 ? 0 : -1;
}

int lcd_session_send(const LcdCommands& cmds) {
    if (!lcd_connected) return -1;
    int i = 0;
    while (i < cmds.count) {
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
        if (!send_all(cmds.bytes + from, to - from)) return -1;
        for (int c = first; c < i; c++) {
            int rc = answer("a command");
            if (rc < 0) return -1;
            if (rc == 0) {
                // The command as sent, without its line end, to say which one LCDd refused.
                size_t start = static_cast<size_t>(cmds.starts[c]);
                size_t end = c + 1 < cmds.count ? static_cast<size_t>(cmds.starts[c + 1]) : cmds.len;
                char command[200];
                MP_escape_untrusted(command, sizeof command, cmds.bytes + start, end - start - 1, nullptr);
                fail("LCDd refused a command: %s (to %s)", shown(reader.line), command);
                return -1;
            }
        }
    }
    return 0;
}

void lcd_session_close() {
    if (sock != VP_INVALID_SOCKET) vp_close_socket(sock);
    sock = VP_INVALID_SOCKET;
    lcd_connected = false;
    received_len = received_at = 0;
}

int lcd_session_idle(int ms) {
    double until = vp_process_seconds() + ms / 1000.0;
    for (;;) {
        int left = static_cast<int>((until - vp_process_seconds()) * 1000.0);
        if (left <= 0) return VP_WAIT_TIME;
        if (!lcd_connected) return vp_wait_or_stop(VP_INVALID_SOCKET, left) == VP_WAIT_STOP ? VP_WAIT_STOP : VP_WAIT_TIME;
        if (received_at >= received_len) {
            int rc = vp_wait_or_stop(sock, left);
            if (rc == VP_WAIT_STOP) return VP_WAIT_STOP;
            if (rc == VP_WAIT_TIME) continue;
        }
        // Something came, or the connection failed: unasked lines are read and passed over.
        int rc = next_line(0);
        if (rc < 0) return VP_WAIT_TIME;
        if (rc == 0) continue;
        LcdReply kind = lcd_reply_kind(reader.line);
        if (kind == LCD_BYE) {
            fail("LCDd is shutting down");
            return VP_WAIT_TIME;
        }
        if (kind != LCD_NOTICE) lcd_report(1, "LCDd sent an unasked line: %s", shown(reader.line));
    }
}
