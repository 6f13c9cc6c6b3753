// test_session.cpp - the session with LCDd against a stand-in on loopback: hello, answers among
// unasked lines and split reads, chunks of commands, refusals, a server that closes or is not there,
// one deadline per exchange whatever the server sends, the read budget, and the last commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lcd.h"
#include "lcdd_standin.h"
#include "mp_limits.h"
#include "scratch.h"

namespace {

const std::string& kHello = kStandInHello;
const auto usual = usual_lcdd;

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
        lcd_settings = LcdSettings{};
        MP_Global_Limits = MP_Limits{};
    }
    void TearDown() override {
        lcd_session_close();
        MP_Global_Limits = MP_Limits{};
    }
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

// A server that never gives the awaited answer but sends other lines meanwhile, or answers too
// late, cannot stretch the exchange: hello, the client's name and an update each end at their
// one deadline, with the reason.
TEST_F(Session, EachExchangeEndsAtItsOneDeadlineWhateverArrivesMeanwhile) {
    MP_Global_Limits.lcd_answer_ms = 300;
    auto silent_after = [](int answered) {
        return [answered](const std::string& line) -> std::string {
            if (line == "hello") return answered >= 1 ? kHello : "";
            if (line.rfind("client_set", 0) == 0) return answered >= 2 ? "success\n" : "";
            return "";
        };
    };
    StandInHabits strays;
    strays.stray = "noise from the server\n";
    strays.stray_every_ms = 50;
    StandInHabits notices;
    notices.stray = "listen vistrel_idle\nignore vistrel_idle\nkey Enter\nmenuevent select x\n";
    notices.stray_every_ms = 50;
    StandInHabits late;  // each answer 120 ms after the one before
    late.answer_delay_ms = 120;
    struct Case {
        const char* what;
        StandIn::Reply reply;
        StandInHabits habits;
        bool update;  // the exchange is an update of 10 commands, else the opening
        const char* reason;
        double least;  // seconds it takes at least: the deadline, or none for a line that ends it
    } cases[] = {
        // Before hello is answered, any line but a notice shows that no LCDd is there.
        {"hello after a stray line", silent_after(0), strays, false,
         "The answer to hello cannot be used (no LCDd there): noise from the server", 0},
        {"hello among notices", silent_after(0), notices, false, "LCDd did not answer hello within 0.3 s", 0.29},
        {"client_set among stray lines", silent_after(1), strays, false,
         "LCDd did not answer client_set within 0.3 s", 0.29},
        {"update among stray lines", silent_after(2), strays, true,
         "LCDd did not answer an update of 10 commands within 0.3 s (0 answered)", 0.29},
        {"update among notices", silent_after(2), notices, true,
         "LCDd did not answer an update of 10 commands within 0.3 s (0 answered)", 0.29},
        {"update answered late", usual, late, true, "LCDd did not answer an update of 10 commands within 0.3 s", 0.29},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandIn lcdd(c.reply, c.habits);
        point_at(lcdd);
        double start = vp_process_seconds();
        if (c.update) {
            ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
            start = vp_process_seconds();
            EXPECT_EQ(LCD_SEND_FAILED, lcd_session_send(batch(10, 3)));
        } else {
            EXPECT_EQ(-1, lcd_session_open());
        }
        double took = vp_process_seconds() - start;
        EXPECT_FALSE(lcd_connected);
        EXPECT_EQ(0u, std::string(lcd_session_reason()).find(c.reason)) << lcd_session_reason();
        // Ended at the deadline, not at a later one that each arriving line would have set.
        EXPECT_GE(took, c.least);
        EXPECT_LT(took, 2.0);
    }
}

// A server that floods the connection with notices gets no more of the client's reading than
// the budget of 64 KiB a second; the waits still end on time and the session stands.
TEST_F(Session, FloodOfNoticesIsReadNoFasterThanTheBudget) {
    StandInHabits flood;
    flood.flood = "listen vistrel_idle\n";
    StandIn lcdd(usual, flood);
    point_at(lcdd);
    ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
    unsigned long long before = lcd_session_bytes_read();
    double start = vp_process_seconds();
    for (int i = 0; i < 3; i++) EXPECT_EQ(VP_WAIT_TIME, lcd_session_idle(500));
    double took = vp_process_seconds() - start;
    unsigned long long read = lcd_session_bytes_read() - before;
    EXPECT_LT(took, 2.5) << "the flood held a wait past its time";
    // A full budget at the start, what came back meanwhile, and one read beyond it.
    EXPECT_LE(read, static_cast<unsigned long long>(64 * 1024 * (1 + took) + 4096)) << took << " s";
    // The server had far more to give: the budget, not the server, set the pace.
    EXPECT_GT(lcdd.flooded(), read + 64 * 1024);
    EXPECT_TRUE(lcd_connected) << lcd_session_reason();
}

// The last commands of a run: sent, answered (a refusal counts), within 0.5 s even when the
// server answers nothing, and the session closed after them.
TEST_F(Session, LastCommandsAreSentAndTheSessionClosedWithinItsTime) {
    struct Case {
        const char* what;
        StandIn::Reply reply;
        int rc;
    } cases[] = {
        {"answered", usual, 0},
        {"refused", [](const std::string& l) -> std::string { return l == "hello" ? kHello
                                                              : l.rfind("client", 0) == 0 ? "success\n"
                                                                                           : "huh? Invalid screen id\n"; },
         0},
        {"unanswered", [](const std::string& l) -> std::string { return l == "hello" ? kHello
                                                                 : l.rfind("client", 0) == 0 ? "success\n" : ""; },
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandIn lcdd(c.reply);
        point_at(lcdd);
        ASSERT_EQ(0, lcd_session_open()) << lcd_session_reason();
        static LcdCommands cmds;
        cmds.clear();
        cmds.add("screen_del vistrel_idle", 23);
        cmds.add("screen_del vistrel_play", 23);
        double start = vp_process_seconds();
        EXPECT_EQ(c.rc, lcd_session_finish(cmds));
        EXPECT_LT(vp_process_seconds() - start, 0.9);
        EXPECT_FALSE(lcd_connected);
        EXPECT_TRUE(wait_until([&] { return lcdd.saw("screen_del vistrel_play"); }, 5000));
    }
}

}  // namespace
