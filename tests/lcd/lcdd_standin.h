// lcdd_standin.h - test support: LCDd played by a thread on a loopback port, well-behaved or not:
// it answers each line (at once or late), sends lines of its own now and then, or floods.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "vp.h"

inline const std::string kStandInHello = "connect LCDproc 0.5.9 protocol 0.3 lcd wid 16 hgt 2 cellwid 5 cellhgt 8\n";

// What the stand-in does besides answering.
struct StandInHabits {
    // Each command's answer goes this long after the one before it (or after the command, whichever
    // is later); those to hello and the client's name go at once.
    int answer_delay_ms = 0;
    // A line of its own, sent every so often from the connection's start (0: none).
    std::string stray;
    int stray_every_ms = 0;
    // Lines of its own sent as fast as the client takes them, once hello and the client's name
    // are answered.
    std::string flood;
    // Answers are sent one byte a send (every split of a line a client may see).
    bool byte_by_byte = true;
};

// It answers each line it receives with what the reply function gives ("<close>" closes the
// connection, "" answers nothing), takes one connection after another, and keeps every line,
// the size of every read, and the moments connections were accepted (vp_process_seconds).
class StandIn {
public:
    using Reply = std::function<std::string(const std::string& line)>;
    explicit StandIn(Reply reply, StandInHabits habits = {}) : reply_(std::move(reply)), habits_(std::move(habits)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~StandIn() {
        stop_ = true;
        thread_.join();
        listener_.close();
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    int port() const { return listener_.port(); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t largest_read() {
        std::lock_guard<std::mutex> lock(mutex_);
        return largest_;
    }
    std::vector<double> accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }
    bool saw(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    unsigned long long flooded() const { return flooded_; }

private:
    void serve() {
        while (!stop_) {
            if (vp_wait_readable(listener_.socket(), 20) != 1) continue;
            vp_socket s = vp_accept(listener_.socket());
            if (s == VP_INVALID_SOCKET) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                accepted_.push_back(vp_process_seconds());
            }
            converse(s);
            vp_close_socket(s);
        }
    }

    // Sends all of text; false when the client is gone or the stand-in is to end.
    bool send_text(vp_socket s, const std::string& text, bool byte_by_byte) {
        size_t at = 0;
        while (at < text.size() && !stop_) {
            int n = vp_send(s, text.data() + at, byte_by_byte ? 1 : static_cast<int>(text.size() - at));
            if (n < 0 && vp_net_error() == VP_WSAETIMEDOUT) continue;
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return at == text.size();
    }

    void converse(vp_socket s) {
        // A client that stops reading cannot hold the stand-in past its end.
        vp_set_send_timeout(s, 50);
        std::string pending;
        std::vector<std::string> due;  // answers not yet sent, oldest first
        double start = vp_process_seconds();
        double next_answer = start;
        double next_stray = start + habits_.stray_every_ms / 1000.0;
        int answers_sent = 0;
        std::string flood_chunk;
        while (flood_chunk.size() < 16384 && !habits_.flood.empty()) flood_chunk += habits_.flood;
        char buf[8192];
        while (!stop_) {
            double now = vp_process_seconds();
            if (!due.empty() && now >= next_answer) {
                std::string answer = due.front();
                due.erase(due.begin());
                if (answer == "<close>") return;
                if (!send_text(s, answer, habits_.byte_by_byte)) return;
                answers_sent++;
                next_answer = answers_sent >= 2 ? now + habits_.answer_delay_ms / 1000.0 : now;
                continue;
            }
            if (habits_.stray_every_ms > 0 && now >= next_stray) {
                if (!send_text(s, habits_.stray, false)) return;
                next_stray = now + habits_.stray_every_ms / 1000.0;
            }
            const bool flooding = answers_sent >= 2 && !flood_chunk.empty();
            if (flooding) {
                int n = vp_send(s, flood_chunk.data(), static_cast<int>(flood_chunk.size()));
                if (n > 0) flooded_ += static_cast<unsigned>(n);
            }
            int wait = flooding ? 0 : 5;
            if (vp_wait_readable(s, wait) != 1) continue;
            int n = vp_recv(s, buf, sizeof buf);
            if (n <= 0) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                largest_ = std::max(largest_, static_cast<size_t>(n));
            }
            pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(line);
                }
                std::string answer = reply_(line);
                if (answer.empty()) continue;
                double delay = answers_sent >= 2 ? habits_.answer_delay_ms / 1000.0 : 0;
                if (due.empty() && next_answer < vp_process_seconds() + delay) next_answer = vp_process_seconds() + delay;
                due.push_back(answer);
            }
        }
    }

    LoopbackListener listener_;
    Reply reply_;
    StandInHabits habits_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> flooded_{0};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<double> accepted_;
    size_t largest_ = 0;
};

// The usual LCDd: news of screens shown and left between the answers.
inline std::string usual_lcdd(const std::string& line) {
    if (line == "hello") return kStandInHello;
    return "listen vistrel_rec1\nsuccess\nignore vistrel_rec1\n";
}
