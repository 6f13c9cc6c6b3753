// wifisim_session.cpp - one connection of the simulator: welcome, replies, timers, misbehaviour.
#include <cstdio>
#include <cstring>

#include "sim_chaos.h"
#include "wifisim.h"

namespace {

// Messages of one answer, each ending in CR LF, sent together or one by one.
char outbox[65536];
int outbox_len = 0;
int outbox_count = 0;
char message[16384];
char incoming[65536 + 1];
int incoming_len = 0;

vp_socket peer = VP_INVALID_SOCKET;
bool first_connection = false;
int sent_messages = 0;
bool closing = false;

bool send_all(const char* data, int len) {
    int done = 0;
    while (done < len) {
        int n = vp_send(peer, data + done, len - done);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Set when chaos draws a refusal: nobody listens for this long after the connection ends.
long refuse_ms = 0;
// An oversized message: larger than the bridge's receive buffer.
char oversized[200100];

// Puts the fault that chaos draws on one piece. Returns true when the piece was dealt with
// (sent in its own way, or dropped with the connection), false when it still goes out.
bool chaos_piece(const char* data, int len) {
    ChaosFault f = chaos_draw();
    if (f == ChaosFault::Whole) return false;
    sim_journal("CHAOS", chaos_name(f));
    switch (f) {
    case ChaosFault::Refuse:
        refuse_ms = chaos_between(1000, 8000);
        closing = true;
        return true;
    case ChaosFault::Cut:
        send_all(data, static_cast<int>(chaos_between(0, len - 1)));
        closing = true;
        return true;
    case ChaosFault::Split: {
        int at = static_cast<int>(chaos_between(1, len - 1));
        send_all(data, at);
        vp_sleep_ms(static_cast<unsigned>(chaos_between(10, 2000)));
        send_all(data + at, len - at);
        return true;
    }
    case ChaosFault::Lie:
        // A message that ends before its text does: its line end comes in the middle.
        send_all(data, static_cast<int>(chaos_between(1, len > 3 ? len - 3 : 1)));
        send_all("\r\n", 2);
        return true;
    case ChaosFault::Delay: vp_sleep_ms(static_cast<unsigned>(chaos_between(100, 6000))); return false;
    case ChaosFault::Garbage: {
        char junk[512];
        int n = static_cast<int>(chaos_between(1, sizeof junk));
        chaos_bytes(junk, n);
        send_all(junk, n);
        return false;
    }
    case ChaosFault::Oversize: {
        int n = static_cast<int>(chaos_between(66000, 200000));
        int head = snprintf(oversized, sizeof oversized, "{\"Type\":\"status\",\"Filler\":\"");
        memset(oversized + head, 'x', static_cast<size_t>(n));
        memcpy(oversized + head + n, "\"}\r\n", 4);
        send_all(oversized, head + n + 4);
        return false;
    }
    default: return false;
    }
}

// Sends one piece as the options want it: led by CR LF, split in two halves with a pause.
void send_piece(const char* data, int len) {
    if (closing || chaos_piece(data, len)) return;
    char lead[2] = {'\r', '\n'};
    if (sim.lead_crlf) send_all(lead, 2);
    if (sim.split_ms >= 0 && len > 1) {
        int half = len / 2;
        send_all(data, half);
        sim_journal("SPLIT", "pause");
        vp_sleep_ms(static_cast<unsigned>(sim.split_ms));
        send_all(data + half, len - half);
    } else {
        send_all(data, len);
    }
}

void queue(const char* text) {
    int len = static_cast<int>(strlen(text));
    if (outbox_len + len + 2 > static_cast<int>(sizeof outbox)) return;
    memcpy(outbox + outbox_len, text, static_cast<size_t>(len));
    memcpy(outbox + outbox_len + len, "\r\n", 2);
    outbox_len += len + 2;
    outbox_count++;
    sim_journal("SEND", text);
}

// Sends what was queued: in one piece when glued, else message by message.
void flush(bool glued = sim.glue) {
    if (glued) {
        send_piece(outbox, outbox_len);
    } else {
        for (int p = 0; p < outbox_len;) {
            const char* end = strstr(outbox + p, "\r\n");
            int len = static_cast<int>(end - (outbox + p)) + 2;
            send_piece(outbox + p, len);
            p += len;
        }
    }
    sent_messages += outbox_count;
    outbox_len = 0;
    outbox_count = 0;
    if (first_connection && sim.close_after > 0 && sent_messages >= sim.close_after) closing = true;
}

// Queues every line of a file as a message.
void queue_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return;
    while (fgets(message, sizeof message, f)) {
        message[strcspn(message, "\r\n")] = '\0';
        if (message[0]) queue(message);
    }
    fclose(f);
}

void answer_authentication(bool ok) {
    sim_journal("AUTH", ok ? "ok" : "failed");
    queue(ok ? "{\"Type\":\"authenticationresponse\",\"Success\":true,\"ErrorMessage\":null}"
             : "{\"Type\":\"authenticationresponse\",\"Success\":false,\"ErrorMessage\":\"Login failed\"}");
    sim_status(message, sizeof message);
    queue(message);
    if (sim.extra_file) queue_file(sim.extra_file);
    // Before a message of an exact size, everything else has gone in one piece, so that the
    // bridge has read it all when that message comes.
    flush(sim.glue || sim.exact_bytes > 0);
}

long long auth_due = -1;
bool auth_ok = false;
// The message of an exact size, sent once per connection; no unasked message follows it
// before quiet_until, so that nothing but the message itself can make the bridge act on it.
char exact_message[65536];
bool exact_sent = false;
long long quiet_until = -1;
constexpr long long kQuietMs = 30000;
// With --quiet: until then the plug-in answers nothing either.
long long silent_until = -1;
// Set once the first connection's properties reply has gone, with --stop-reading.
bool stop_now = false;

// The first connection, read no more: authenticationresponse messages, each of which makes the
// bridge send its properties requests again, until the bridge cannot send any more and so stops
// reading too. Every send gives up after a moment, so that the simulator never waits for good;
// a cut piece is finished before the next begins, and the bridge's close shows as a send that
// fails. The receive buffer is left to the system: one made small here stalls the loopback
// connection in the other direction once it overflows.
constexpr int kFloodSendLimitMs = 200;
constexpr int kFloodMessages = 1000;

void flood_unread(vp_socket s) {
    sim_journal("STOP", "reading");
    if (vp_set_send_timeout(s, kFloodSendLimitMs) != 0) sim_journal("STOP", "cannot bound the sends");
    static char chunk[kFloodMessages * 80];
    const char line[] = "{\"Type\":\"authenticationresponse\",\"Success\":true,\"ErrorMessage\":null}\r\n";
    int len = 0;
    for (int i = 0; i < kFloodMessages; i++, len += static_cast<int>(sizeof line - 1))
        memcpy(chunk + len, line, sizeof line - 1);
    int at = 0;
    long long pieces = 0;
    bool held = false;
    char text[96];
    for (;;) {
        int n = vp_send(s, chunk + at, len - at);
        if (n > 0) {
            at += n;
            if (at == len) at = 0, pieces++;
            continue;
        }
        int code = vp_net_error();
        if (code == VP_WSAETIMEDOUT || code == VP_WSAEWOULDBLOCK) {
            if (!held) {
                snprintf(text, sizeof text, "after %lld messages", pieces * kFloodMessages);
                sim_journal("HELD", text);
            }
            held = true;
            continue;
        }
        snprintf(text, sizeof text, "peer after %lld messages (error %d)", pieces * kFloodMessages, code);
        sim_journal("CLOSE", text);
        return;
    }
}

// Answers one message of the bridge by its type; while the plug-in is quiet, nothing.
void handle(const char* line) {
    sim_journal("RECV", line);
    if (silent_until >= 0 && sim_ms() < silent_until) return;
    char type[64];
    sim_type_of(line, type, sizeof type);
    if (strcmp(type, "identify") == 0) {
        auth_ok = sim_identify_ok(line);
        if (sim.auth_delay_ms > 0) {
            auth_due = sim_ms() + sim.auth_delay_ms;
        } else {
            answer_authentication(auth_ok);
        }
    } else if (strcmp(type, "properties") == 0) {
        if (sim.exact_bytes > 0 && !exact_sent) {
            exact_sent = true;
            if (!sim_properties_reply_of(line, sim.exact_bytes, exact_message, sizeof exact_message))
                sim_journal("EXACT", "the reply is longer than asked; sent as it is");
            queue(exact_message);
            quiet_until = sim_ms() + kQuietMs;
        } else {
            sim_properties_reply(line, message, sizeof message);
            queue(message);
        }
        if (sim.stop_reading && first_connection) stop_now = true;
        if (sim.quiet_ms > 0 && first_connection) {
            quiet_until = silent_until = sim_ms() + sim.quiet_ms;
            sim_journal("QUIET", "from now");
        }
    } else if (strcmp(type, "requeststatus") == 0) {
        sim_status(message, sizeof message);
        queue(message);
    } else if (strcmp(type, "requestnowplaying") == 0) {
        sim_nowplaying(message, sizeof message);
        queue(message);
    }
}

// Handles every complete line received so far and keeps an incomplete rest.
void take_lines() {
    int start = 0;
    for (int i = 0; i < incoming_len; i++) {
        if (incoming[i] != '\r' && incoming[i] != '\n') continue;
        incoming[i] = '\0';
        if (i > start) handle(incoming + start);
        start = i + 1;
    }
    memmove(incoming, incoming + start, static_cast<size_t>(incoming_len - start));
    incoming_len -= start;
    if (outbox_count > 0) flush();
}

}  // namespace

long sim_take_refusal() {
    long ms = refuse_ms;
    refuse_ms = 0;
    return ms;
}

void sim_session(vp_socket s, int number) {
    peer = s;
    first_connection = number == 1;
    sent_messages = 0;
    closing = false;
    incoming_len = 0;
    auth_due = -1;
    exact_sent = false;
    quiet_until = -1;
    silent_until = -1;
    stop_now = false;
    char text[32];
    snprintf(text, sizeof text, "%d", number);
    sim_journal("ACCEPT", text);

    if (sim.welcome_file) {
        FILE* f = fopen(sim.welcome_file, "rb");
        message[0] = '\0';
        if (f) {
            if (!fgets(message, sizeof message, f)) message[0] = '\0';
            fclose(f);
        }
        message[strcspn(message, "\r\n")] = '\0';
    } else {
        sim_welcome(message, sizeof message);
    }
    queue(message);
    if (sim.garbage) {
        queue("this is no message at all");
        queue("{\"AuthMethod\":1,\"Type\":\"welcome\",\"Note\":\"Type comes second\"}");
    }
    flush();

    long long chatter_due = sim.chatter_ms > 0 ? sim_ms() + sim.chatter_ms : -1;
    const char* reason = "server";
    while (!closing) {
        long long now = sim_ms();
        long long wait = 1000;
        if (auth_due >= 0 && auth_due - now < wait) wait = auth_due - now;
        if (chatter_due >= 0 && chatter_due - now < wait) wait = chatter_due - now;
        int r = vp_wait_readable(s, wait < 0 ? 0 : static_cast<int>(wait));
        if (r < 0) {
            reason = "error";
            break;
        }
        if (r == 1) {
            int room = static_cast<int>(sizeof incoming) - 1 - incoming_len;
            if (room <= 0) incoming_len = 0, room = static_cast<int>(sizeof incoming) - 1;
            int n = vp_recv(s, incoming + incoming_len, room);
            if (n <= 0) {
                reason = "peer";
                break;
            }
            sim_raw(incoming + incoming_len, n);
            incoming_len += n;
            take_lines();
            if (stop_now) {
                flood_unread(s);
                vp_close_socket(s);
                return;
            }
        }
        now = sim_ms();
        if (auth_due >= 0 && now >= auth_due) {
            auth_due = -1;
            answer_authentication(auth_ok);
        }
        if (chatter_due >= 0 && quiet_until >= 0 && now < quiet_until) chatter_due = quiet_until;
        if (chatter_due >= 0 && now >= chatter_due) {
            chatter_due = now + sim.chatter_ms;
            sim_status(message, sizeof message);
            queue(message);
            flush();
        }
    }
    sim_journal("CLOSE", reason);
    vp_close_socket(s);
}
