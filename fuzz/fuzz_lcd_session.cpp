// fuzz_lcd_session.cpp - libFuzzer target: the display client's session with a random server.
//
// A thread plays the server on a loopback port. The input is its script: pieces parted by the
// byte 0xFF, the first sent as soon as the client connects, each later one once the client has
// sent one more line; after the last piece the server closes the connection. Its first byte
// chooses whether pieces go whole or one byte a send. The client opens the session, sends one
// update of a few commands, takes unasked lines for a moment and takes its screens off, all with
// a 40 ms answer limit. Each run checks that every call ends near its deadline, that the session
// is closed when a call says it failed, that a display size is within its bounds, and that no
// reason a server's bytes brought holds a control byte.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_checks.h"
#include "lcd.h"
#include "mp_limits.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<std::string> script;
bool bytewise = false;
unsigned generation = 0;  // one for each input
vp_socket listener = VP_INVALID_SOCKET;
int port = 0;

bool send_piece(vp_socket s, const std::string& piece) {
    size_t at = 0;
    while (at < piece.size()) {
        int n = vp_send(s, piece.data() + at, bytewise ? 1 : static_cast<int>(piece.size() - at));
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// One connection: the pieces in turn, one more for each line the client sends.
void converse(vp_socket s, const std::vector<std::string>& pieces) {
    vp_set_send_timeout(s, 200);
    size_t next = 0;
    char buf[4096];
    if (next < pieces.size() && !send_piece(s, pieces[next++])) return;
    while (next < pieces.size()) {
        if (vp_wait_readable(s, 500) != 1) return;
        int n = vp_recv(s, buf, sizeof buf);
        if (n <= 0) return;
        for (int i = 0; i < n && next < pieces.size(); i++)
            if (buf[i] == '\n' && !send_piece(s, pieces[next++])) return;
    }
}

void serve() {
    unsigned served = 0;
    for (;;) {
        std::vector<std::string> pieces;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return generation != served; });
            served = generation;
            pieces = script;
        }
        // Every connection of this input gets the same script, until the next input.
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (generation != served) break;
            }
            if (vp_wait_readable(listener, 20) != 1) continue;
            vp_socket s = vp_accept(listener);
            if (s == VP_INVALID_SOCKET) continue;
            converse(s, pieces);
            vp_close_socket(s);
        }
    }
}

void start_once() {
    static bool started = false;
    if (started) return;
    started = true;
    vp_net_start();
    listener = vp_listen_loopback(0, &port);
    fuzz_check(listener != VP_INVALID_SOCKET, "no loopback listener");
    std::thread(serve).detach();
    MP_Global_Debug = 0;
    MP_Global_Limits.lcd_answer_ms = 40;
    lcd_settings.port = port;
}

void check_reason() {
    for (const char* r = lcd_session_reason(); *r; r++) {
        unsigned char c = static_cast<unsigned char>(*r);
        fuzz_check(c >= 0x20 && c != 0x7F, "a control byte in the session's reason");
    }
}

// A call that waits for the server ends near its deadline whatever the server sends.
void check_time(double start, double limit_s, const char* what) {
    fuzz_check(vp_process_seconds() - start < limit_s + 2.0, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    start_once();
    if (size == 0) return 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytewise = (data[0] & 1) != 0;
        script.assign(1, std::string());
        for (size_t i = 1; i < size; i++) {
            if (data[i] == 0xFF)
                script.emplace_back();
            else
                script.back() += static_cast<char>(data[i]);
        }
        generation++;
    }
    changed.notify_all();

    double start = vp_process_seconds();
    int rc = lcd_session_open();
    check_time(start, 0.1, "the opening outlasted its deadlines");
    check_reason();
    fuzz_check(rc == 0 ? lcd_connected : !lcd_connected, "open's result and the session disagree");
    if (rc == 0) {
        fuzz_check(lcd_display.width >= 1 && lcd_display.width <= LCD_MAX_WIDTH, "display width out of range");
        fuzz_check(lcd_display.rows >= 1 && lcd_display.rows <= LCD_MAX_ROWS, "display rows out of range");
        static LcdCommands cmds;
        cmds.clear();
        static const char* const kCommands[] = {"screen_add vistrel_idle", "screen_set vistrel_idle -priority info",
                                                "widget_add vistrel_idle t1 string",
                                                "widget_set vistrel_idle t1 1 1 \"12:00\""};
        for (const char* c : kCommands) cmds.add(c, strlen(c));
        start = vp_process_seconds();
        int sent = lcd_session_send(cmds);
        check_time(start, 0.04, "an update outlasted its deadline");
        check_reason();
        fuzz_check(sent == LCD_SENT || sent == LCD_SEND_FAILED, "an update stopped without a stop request");
        fuzz_check(sent == LCD_SENT ? lcd_connected : !lcd_connected, "send's result and the session disagree");
        start = vp_process_seconds();
        lcd_session_idle(5);
        check_time(start, 0.005, "an idle wait outlasted its time");
        check_reason();
        cmds.clear();
        cmds.add("screen_del vistrel_idle", 23);
        start = vp_process_seconds();
        lcd_session_finish(cmds);
        check_time(start, 0.04, "the last commands outlasted their time");
        fuzz_check(!lcd_connected, "the session stands after its last commands");
    }
    lcd_session_close();
    return 0;
}
