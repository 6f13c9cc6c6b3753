// tvsim_server.cpp - the simulator's HTTP/1.1 server: Basic credentials, the two requests, misbehaviour.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_chaos.h"
#include "sim_files.h"
#include "tvsim.h"
#include "vp.h"

namespace {

constexpr char kRecordingsPath[] = "/MpExtended/TVAccessService/json/GetRecordings";
constexpr char kChannelPath[] = "/MpExtended/TVAccessService/json/GetChannelBasicById?channelId=";
// A request head longer than this is no request of the bridge's; the connection is closed.
constexpr size_t kHeadLimit = 65536;

const ServerOptions* options = nullptr;
int recordings_requests = 0;
// Set when chaos draws a refusal: the listener is closed for this long after the connection.
long refuse_ms = 0;

// The event log and the request file, opened at their first line.
struct Journal {
    FILE* stream = nullptr;
    bool tried = false;
};
Journal events_file;
Journal requests_file;

void append_file(Journal& j, const std::string& path, const std::string& text) {
    if (path.empty()) return;
    if (!j.tried) {
        j.tried = true;
        j.stream = sim_open_file("vistrel_tvsim", path.c_str(), false, true);
    }
    if (!j.stream) return;
    fwrite(text.data(), 1, text.size(), j.stream);
    fflush(j.stream);
}

// One line of the event log, with the milliseconds since the simulator started, so that a
// test can measure the pauses between the bridge's connections.
void event(const std::string& text) {
    long long ms = static_cast<long long>(vp_process_seconds() * 1000.0);
    std::string line = std::to_string(ms) + " " + text + "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
    append_file(events_file, options->log_file, line);
}

bool expired() {
    return options->lifetime_s > 0 && vp_process_seconds() > options->lifetime_s;
}

bool send_all(vp_socket s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int n = vp_send(s, data.data() + sent, static_cast<int>(data.size() - sent));
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes standard base64 with "=" padding; false for anything else.
bool base64_decode(const std::string& in, std::string& out) {
    if (in.size() % 4 != 0) return false;
    out.clear();
    for (size_t i = 0; i < in.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int j = 0; j < 4; j++) {
            char c = in[i + static_cast<size_t>(j)];
            if (c == '=' && i + 4 == in.size() && j >= 2) {
                v[j] = 0;
                pad++;
            } else if (pad || (v[j] = base64_value(c)) < 0) {
                return false;
            }
        }
        unsigned bits = (unsigned)v[0] << 18 | (unsigned)v[1] << 12 | (unsigned)v[2] << 6 | (unsigned)v[3];
        out += static_cast<char>(bits >> 16);
        if (pad < 2) out += static_cast<char>(bits >> 8 & 0xFF);
        if (pad < 1) out += static_cast<char>(bits & 0xFF);
    }
    return true;
}

bool authorized(const Scenario& sc, const std::string& head) {
    const std::string key = "\r\nAuthorization: Basic ";
    size_t at = head.find(key);
    if (at == std::string::npos) return false;
    size_t start = at + key.size();
    size_t end = head.find("\r\n", start);
    std::string decoded;
    return base64_decode(head.substr(start, end - start), decoded) &&
           decoded == sc.user + ":" + sc.password;
}

std::string headers(const std::string& status, const std::string& length_line) {
    return "HTTP/1.1 " + status +
           "\r\nCache-Control: no-cache\r\nContent-Type: application/json; charset=utf-8\r\n"
           "Server: vistrel_tvsim\r\n" + length_line + "\r\n";
}

std::string length_line(size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; }

// The cuts of a body into pieces of about equal size; with mid_character each cut moves on to
// the next byte that continues a multi-byte character, where there is one before the next cut.
std::vector<size_t> cuts(const std::string& body, int pieces, bool mid_character) {
    std::vector<size_t> at;
    for (int i = 1; i < pieces; i++) {
        size_t cut = body.size() * static_cast<size_t>(i) / static_cast<size_t>(pieces);
        size_t next = body.size() * static_cast<size_t>(i + 1) / static_cast<size_t>(pieces);
        if (mid_character)
            for (size_t c = cut; c < next; c++)
                if ((static_cast<unsigned char>(body[c]) & 0xC0) == 0x80) {
                    cut = c;
                    break;
                }
        if (cut > 0 && (at.empty() || cut > at.back())) at.push_back(cut);
    }
    return at;
}

enum class After { Go, Close, Stall, StopReading };

// Sends one answer with the fault that chaos draws for it; whole when chaos is off.
After send_answer(vp_socket s, const std::string& status, std::string body) {
    ChaosFault f = chaos_draw();
    if (f != ChaosFault::Whole) event(std::string("chaos ") + chaos_name(f));
    size_t true_length = body.size();
    if (f == ChaosFault::Oversize) {
        // Blanks after the value keep it valid; only the size is wrong for the bridge's buffer.
        true_length = static_cast<size_t>(chaos_between(66000, 200000));
        if (true_length > body.size()) body.append(true_length - body.size(), ' ');
    }
    std::string length = length_line(body.size());
    if (f == ChaosFault::Lie) {
        long claimed = chaos_between(0, static_cast<long>(body.size()) + 4096);
        if (claimed == static_cast<long>(body.size())) claimed++;
        length = "Content-Length: " + std::to_string(claimed) + "\r\n";
    }
    std::string whole = headers(status, length) + body;
    switch (f) {
    case ChaosFault::Refuse:
        refuse_ms = chaos_between(1000, 8000);
        return After::Close;
    case ChaosFault::Cut:
        send_all(s, whole.substr(0, static_cast<size_t>(chaos_between(0, static_cast<long>(whole.size()) - 1))));
        return After::Close;
    case ChaosFault::Split: {
        size_t at = static_cast<size_t>(chaos_between(1, static_cast<long>(whole.size()) - 1));
        if (!send_all(s, whole.substr(0, at))) return After::Close;
        vp_sleep_ms(static_cast<unsigned>(chaos_between(10, 2000)));
        return send_all(s, whole.substr(at)) ? After::Go : After::Close;
    }
    case ChaosFault::Delay: vp_sleep_ms(static_cast<unsigned>(chaos_between(100, 6000))); break;
    case ChaosFault::Garbage: {
        char junk[512];
        int n = static_cast<int>(chaos_between(1, sizeof junk));
        chaos_bytes(junk, n);
        if (!send_all(s, std::string(junk, static_cast<size_t>(n)))) return After::Close;
        break;
    }
    default: break;
    }
    return send_all(s, whole) ? After::Go : After::Close;
}

// The body that makes the whole answer, headers included, exactly total bytes long: the first
// recording's description grows. Empty when the list alone is already longer.
std::string body_of_total(const Scenario& sc, long long now, long total) {
    std::string body = recordings_body(sc, now, 0);
    // The header's length depends on the digits of the count; two rounds settle it.
    long length = total - static_cast<long>(headers("200 OK", length_line(body.size())).size());
    length = total - static_cast<long>(headers("200 OK", length_line(static_cast<size_t>(length < 0 ? 0 : length))).size());
    if (length < static_cast<long>(body.size())) return "";
    body = recordings_body(sc, now, length);
    if (static_cast<long>(headers("200 OK", length_line(body.size())).size() + body.size()) != total) return "";
    return body;
}

After answer_recordings(vp_socket s, const Scenario& sc) {
    int n = ++recordings_requests;
    SimMisbehaviour m = misbehaviour_for(sc, n);
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    long long t = static_cast<long long>(now);
    const std::string* given = list_for(sc, n);
    std::string body = m.action == SimAction::Body ? m.text
                       : given != nullptr           ? *given
                                                    : recordings_body(sc, t, m.action == SimAction::Pad ? m.size : 0);
    if (m.action == SimAction::Total) {
        std::string exact = body_of_total(sc, t, m.size);
        if (exact.empty()) {
            event("answer " + std::to_string(n) + ": the list is longer than " + std::to_string(m.size) +
                  " bytes; sent as it is");
            m.action = SimAction::Normal;
        } else {
            body.swap(exact);
        }
    }
    std::string head = headers("200 OK", length_line(body.size()));
    const char* names[] = {"normal", "split", "no-length", "length", "close-mid", "stall", "stall-mid", "pad",
                           "close", "body", "total", "stop-reading", "cut", "split-at", "continue"};
    event("answer " + std::to_string(n) + " " + names[static_cast<int>(m.action)] + " " +
          std::to_string(body.size()) + " bytes");
    switch (m.action) {
    case SimAction::Total:
        // In one send, so that it arrives at once.
        return send_all(s, head + body) ? After::Go : After::Close;
    case SimAction::StopReading:
        return send_all(s, head + body) ? After::StopReading : After::Close;
    case SimAction::Close: return After::Close;
    case SimAction::Stall: return After::Stall;
    case SimAction::NoLength: return send_all(s, headers("200 OK", "") + body) ? After::Go : After::Close;
    case SimAction::Length:
        return send_all(s, headers("200 OK", "Content-Length: " + m.text + "\r\n") + body) ? After::Go
                                                                                          : After::Close;
    case SimAction::CloseMid:
    case SimAction::StallMid:
        send_all(s, head + body.substr(0, body.size() / 2));
        return m.action == SimAction::CloseMid ? After::Close : After::Stall;
    case SimAction::Cut:
        send_all(s, head + body.substr(0, static_cast<size_t>(m.size) < body.size() ? static_cast<size_t>(m.size) : body.size()));
        event("cut " + std::to_string(m.size) + (m.stall ? " stall" : " close"));
        return m.stall ? After::Stall : After::Close;
    case SimAction::Continue:
        if (!send_all(s, "HTTP/1.1 100 Continue\r\n\r\n")) return After::Close;
        return send_all(s, head + body) ? After::Go : After::Close;
    case SimAction::SplitAt:
    case SimAction::Split: {
        std::vector<size_t> at = m.action == SimAction::Split ? cuts(body, m.pieces, m.mid_character) : m.at;
        while (!at.empty() && at.back() >= body.size()) at.pop_back();
        size_t from = 0;
        std::string piece = head;
        for (size_t i = 0; i <= at.size(); i++) {
            size_t to = i < at.size() ? at[i] : body.size();
            piece += body.substr(from, to - from);
            if (!send_all(s, piece)) return After::Close;
            event("piece " + std::to_string(i + 1) + " " + std::to_string(piece.size()) + " bytes");
            piece.clear();
            from = to;
            if (i < at.size()) vp_sleep_ms(static_cast<unsigned>(m.pause_ms));
        }
        return After::Go;
    }
    default: return send_answer(s, "200 OK", body);
    }
}

After answer(vp_socket s, const Scenario& sc, const std::string& head) {
    size_t line_end = head.find("\r\n");
    std::string line = head.substr(0, line_end);
    // Any local program may connect and send anything: its line reaches the terminal escaped.
    event("request " + sim_escaped(line));
    append_file(requests_file, options->requests_file, head);
    if (!authorized(sc, head)) {
        event("refused: wrong credentials");
        return send_all(s, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"TV\"\r\n"
                           "Content-Length: 0\r\n\r\n")
                   ? After::Go
                   : After::Close;
    }
    size_t sp1 = line.find(' ');
    size_t sp2 = line.rfind(' ');
    std::string path = sp1 != std::string::npos && sp2 > sp1 ? line.substr(sp1 + 1, sp2 - sp1 - 1) : "";
    if (line.compare(0, 4, "GET ") == 0 && path.compare(0, sizeof kRecordingsPath - 1, kRecordingsPath) == 0)
        return answer_recordings(s, sc);
    if (line.compare(0, 4, "GET ") == 0 && path.compare(0, sizeof kChannelPath - 1, kChannelPath) == 0) {
        int id = atoi(path.c_str() + sizeof kChannelPath - 1);
        std::string body = channel_body(sc, id);
        event("channel " + std::to_string(id) + " " + std::to_string(body.size()) + " bytes");
        for (int stalled : sc.stalled_channels) {
            if (stalled != id) continue;
            event("channel-stall " + std::to_string(id));
            send_all(s, headers("200 OK", length_line(body.size())) + body.substr(0, body.size() / 2));
            return After::Stall;
        }
        return send_answer(s, "200 OK", body);
    }
    return send_all(s, headers("404 Not Found", length_line(0))) ? After::Go : After::Close;
}

// A client that is never read from again. Unasked answers with an empty list keep it polling:
// it takes one and sends its next request, while its requests pile up unread here until it
// cannot send any more. They go a few at a time, so that it finds one or a few waiting at each
// poll rather than a flood. Each of these sends gives up after a moment, so that the simulator
// itself never waits for good; the connection is held, unread, until the client closes it (a
// send fails) or the lifetime ends. The receive buffer is left to the system: one made small
// here stalls the loopback connection in the other direction once it overflows, and the client
// then waits for an answer instead of sending.
constexpr int kFloodSendLimitMs = 200;
constexpr int kFloodBurst = 8;

void stop_reading(vp_socket s, int number) {
    event("stop-reading " + std::to_string(number));
    if (vp_set_send_timeout(s, kFloodSendLimitMs) != 0)
        event("cannot bound the sends: error " + std::to_string(vp_net_error()));
    const std::string answer = headers("200 OK", length_line(2)) + "[]";
    size_t at = 0;
    long answers = 0;
    bool held = false;
    while (!expired()) {
        int n = vp_send(s, answer.data() + at, static_cast<int>(answer.size() - at));
        if (n > 0) {
            // A cut answer is finished before the next begins, so that the stream stays whole.
            at += static_cast<size_t>(n);
            if (at < answer.size()) continue;
            at = 0;
            if (++answers % kFloodBurst == 0) vp_sleep_ms(1);
            continue;
        }
        int code = vp_net_error();
        if (code == VP_WSAETIMEDOUT || code == VP_WSAEWOULDBLOCK) {
            if (!held) event("held after " + std::to_string(answers) + " unasked answers");
            held = true;
            continue;
        }
        event("closed by client " + std::to_string(number) + " after " + std::to_string(answers) +
              " unasked answers (error " + std::to_string(code) + ")");
        return;
    }
}

// Serves one connection until the client closes it, the scenario closes it, or the lifetime
// ends. A stalled connection takes requests and answers none of them.
void serve(vp_socket s, const Scenario& sc, int number) {
    event("accept " + std::to_string(number));
    std::string pending;
    bool stalled = false;
    char chunk[4096];
    for (;;) {
        if (expired()) break;
        int ready = vp_wait_readable(s, 200);
        if (ready < 0) break;
        if (ready == 0) continue;
        int n = vp_recv(s, chunk, sizeof chunk);
        if (n <= 0) {
            event("closed by client " + std::to_string(number));
            vp_close_socket(s);
            return;
        }
        if (stalled) continue;
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while (!stalled && (end = pending.find("\r\n\r\n")) != std::string::npos) {
            std::string head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            After next = answer(s, sc, head);
            if (next == After::Close) {
                event("close " + std::to_string(number));
                vp_close_socket(s);
                return;
            }
            if (next == After::StopReading) {
                stop_reading(s, number);
                event("close " + std::to_string(number));
                vp_close_socket(s);
                return;
            }
            if (next == After::Stall) {
                event("stall " + std::to_string(number));
                stalled = true;
            }
        }
        if (pending.size() > kHeadLimit) break;
    }
    event("close " + std::to_string(number));
    vp_close_socket(s);
}

}  // namespace

int run_server(const Scenario& sc, const ServerOptions& o) {
    options = &o;
    if (vp_net_start() != 0) {
        fprintf(stderr, "vistrel_tvsim: the socket library cannot be started\n");
        return 1;
    }
    int port = 0;
    vp_socket listener = vp_listen_loopback(o.port, &port);
    if (listener == VP_INVALID_SOCKET) {
        fprintf(stderr, "vistrel_tvsim: cannot listen on 127.0.0.1:%d (error %d)\n", o.port, vp_net_error());
        return 1;
    }
    // Written whole, with its line end last, so that a reader that sees the line end has the
    // whole number.
    if (!o.port_file.empty())
        sim_write_whole("vistrel_tvsim", o.port_file.c_str(), std::to_string(port) + "\n");
    event("listening on 127.0.0.1:" + std::to_string(port) + " as " + sc.user);
    int connections = 0;
    while (!expired()) {
        if (vp_wait_readable(listener, 200) != 1) continue;
        vp_socket s = vp_accept(listener);
        if (s == VP_INVALID_SOCKET) continue;
        serve(s, sc, ++connections);
        if (refuse_ms > 0) {
            // Nobody listens for a while: the bridge's connects are refused until it is back.
            event("refusing " + std::to_string(refuse_ms) + " ms");
            vp_close_socket(listener);
            vp_sleep_ms(static_cast<unsigned>(refuse_ms));
            refuse_ms = 0;
            while ((listener = vp_listen_loopback(port, &port)) == VP_INVALID_SOCKET) vp_sleep_ms(200);
            event("listening again");
        }
    }
    chaos_write_counts();
    event("lifetime over");
    vp_close_socket(listener);
    return 0;
}
