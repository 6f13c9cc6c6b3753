// test_session.cpp - the session with LCDd against a stand-in on loopback: hello, answers among
// unasked lines and split reads, chunks of commands, refusals, a server that closes or is not there.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lcd.h"
#include "loopback.h"
#include "scratch.h"

namespace {

const std::string kHello = "connect LCDproc 0.5.9 protocol 0.3 lcd wid 16 hgt 2 cellwid 5 cellhgt 8\n";

// LCDd played by a thread: it answers each line it receives with what the reply function gives,
// one byte a send, and keeps every line and the size of every read.
class StandIn {
public:
    using Reply = std::function<std::string(const std::string& line)>;
    explicit StandIn(Reply reply) : reply_(std::move(reply)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~StandIn() {
        listener_.close();
        stop_ = true;
        thread_.join();
    }
    int port() const { return listener_.port(); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t largest_read() {
        std::lock_guard<std::mutex> lock(mutex_);
        return largest_;
    }

private:
    void serve() {
        if (vp_wait_readable(listener_.socket(), 10000) != 1) return;
        vp_socket s = vp_accept(listener_.socket());
        if (s == VP_INVALID_SOCKET) return;
        std::string pending;
        char buf[8192];
        while (!stop_) {
            if (vp_wait_readable(s, 50) != 1) continue;
            int n = vp_recv(s, buf, sizeof buf);
            if (n <= 0) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                largest_ = std::max(largest_, static_cast<size_t>(n));
            }
            pending.append(buf, static_cast<size_t>(n));
            bool closed = false;
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lines_.push_back(line);
                }
                std::string answer = reply_(line);
                if (answer == "<close>") {
                    closed = true;
                    break;
                }
                for (char c : answer) vp_send(s, &c, 1);
            }
            if (closed) break;
        }
        vp_close_socket(s);
    }

    LoopbackListener listener_;
    Reply reply_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    size_t largest_ = 0;
};

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
        lcd_settings = LcdSettings{};
    }
    void TearDown() override { lcd_session_close(); }
    void point_at(const StandIn& lcdd) { lcd_settings.port = lcdd.port(); }
    static LcdCommands& batch(int count, size_t text = 100) {
        static LcdCommands cmds;
        cmds.clear();
        for (int i = 0; i < count; i++) {
            std::string c = "widget_set vistrel_rec1 t1 1 1 \"" + std::string(text, 'a' + i % 26) + "\"";
            cmds.add(c.c_str(), c.size());
        }
        return cmds;
    }
    ScratchDir dir_;
};

// The usual LCDd: news of screens shown and left between the answers.
std::string usual(const std::string& line) {
    if (line == "hello") return kHello;
    return "listen vistrel_rec1\nsuccess\nignore vistrel_rec1\n";
}

TEST_F(Session, AnswersAreCountedAmongUnaskedLinesHoweverTheyArrive) {
    StandIn lcdd(usual);
    point_at(lcdd);
    ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
    EXPECT_TRUE(lcd_connected);
    EXPECT_EQ(16, lcd_display.width);
    EXPECT_EQ(2, lcd_display.rows);
    ASSERT_EQ(0, lcd_session_send(batch(60))) << lcd_session_reason();
    std::vector<std::string> lines = lcdd.lines();
    ASSERT_EQ(62u, lines.size());
    EXPECT_EQ("hello", lines[0]);
    EXPECT_EQ("client_set -name Vistrel", lines[1]);
    EXPECT_EQ("widget_set vistrel_rec1 t1 1 1 \"" + std::string(100, 'h') + "\"", lines[9]);
    // Each chunk waits for the answers of the one before: no read ever holds more than one.
    EXPECT_LE(lcdd.largest_read(), 1200u);
    // The unasked lines that come after the last answer are taken while idle.
    EXPECT_EQ(VP_WAIT_TIME, lcd_session_idle(100));
    EXPECT_TRUE(lcd_connected);
}

TEST_F(Session, RefusedCommandGivesTheConnectionUpAndSaysWhich) {
    StandIn lcdd([](const std::string& line) -> std::string {
        if (line == "hello") return kHello;
        if (line.find("t1 1 1 \"ddd") != std::string::npos) return "huh? Unknown widget id\n";
        return "success\n";
    });
    point_at(lcdd);
    ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
    EXPECT_EQ(-1, lcd_session_send(batch(10, 3)));
    EXPECT_FALSE(lcd_connected);
    EXPECT_STREQ("LCDd refused a command: huh? Unknown widget id (to widget_set vistrel_rec1 t1 1 1 \"ddd\")",
                 lcd_session_reason());
}

TEST_F(Session, ConnectionsThatCannotBeUsedAreGivenUpWithTheirReason) {
    struct Case {
        const char* what;
        StandIn::Reply reply;
        const char* reason;
    } cases[] = {
        {"no size", [](const std::string&) -> std::string { return "connect LCDproc 0.5.9 protocol 0.3 lcd\n"; },
         "The answer to hello cannot be used (the answer to hello names no display size): connect LCDproc"},
        {"another server", [](const std::string&) -> std::string { return "HTTP/1.1 400 Bad Request\r\n"; },
         "The answer to hello cannot be used (no LCDd there): HTTP/1.1 400 Bad Request"},
        {"closes at hello", [](const std::string&) -> std::string { return "<close>"; }, "LCDd closed the connection"},
        {"refuses the name",
         [](const std::string& line) -> std::string { return line == "hello" ? kHello : "huh? Not allowed\n"; },
         "LCDd refused the client's name: huh? Not allowed"},
        {"shuts down",
         [](const std::string& line) -> std::string { return line == "hello" ? kHello : "bye\n"; },
         "LCDd is shutting down"},
    };
    for (const Case& c : cases) {
        StandIn lcdd(c.reply);
        point_at(lcdd);
        EXPECT_EQ(-1, lcd_session_open()) << c.what;
        EXPECT_FALSE(lcd_connected) << c.what;
        EXPECT_EQ(0, std::string(lcd_session_reason()).find(c.reason)) << c.what << ": " << lcd_session_reason();
    }
}

TEST_F(Session, ServerThatIsNotThereOrGoesAway) {
    lcd_settings.port = closed_loopback_port();
    EXPECT_EQ(-1, lcd_session_open());
    EXPECT_STREQ("Error at connect(): 10061", lcd_session_reason());

    StandIn lcdd([](const std::string& line) -> std::string {
        if (line == "hello") return kHello;
        if (line.rfind("screen_add", 0) == 0) return "<close>";
        return "success\n";
    });
    point_at(lcdd);
    ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
    LcdCommands& cmds = batch(0);
    cmds.add("screen_add vistrel_idle", 23);
    EXPECT_EQ(-1, lcd_session_send(cmds));
    EXPECT_STREQ("LCDd closed the connection", lcd_session_reason());
    EXPECT_FALSE(lcd_connected);
}

TEST_F(Session, HostNameIsLookedUpAndAnUnknownOneSaysSo) {
    StandIn lcdd(usual);
    point_at(lcdd);
    snprintf(lcd_settings.host, sizeof lcd_settings.host, "localhost");
    EXPECT_EQ(0, lcd_session_open()) << lcd_session_reason();
    lcd_session_close();
    snprintf(lcd_settings.host, sizeof lcd_settings.host, "no-such-host.invalid");
    EXPECT_EQ(-1, lcd_session_open());
    EXPECT_EQ(0, std::string(lcd_session_reason()).find("the host name no-such-host.invalid cannot be resolved"))
        << lcd_session_reason();
}

}  // namespace
