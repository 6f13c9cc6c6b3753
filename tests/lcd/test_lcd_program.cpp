// test_lcd_program.cpp - the real vistrel_lcd against stand-ins for LCDd that no display server
// would be: it ends within a second of SIGTERM in every state, its screens taken off when the
// server still listens, and it tries again after each pause, no sooner. POSIX.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lcd_child.h"
#include "isolate.h"
#include "lcdd_standin.h"
#include "loopback.h"
#include "own_block.h"
#include "scratch.h"
#include "vp.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LcdProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
        unsetenv("VISTREL_TEST_LIMITS");
    }
    void TearDown() override {
        if (HasFailure()) printf("vistrel_lcd's output and log:\n%s", out().c_str());
        lcd_.stop(SIGKILL);
        unsetenv("VISTREL_TEST_LIMITS");
    }
    bool start_lcd(int port, const std::string& settings = "") {
        write_file(VP_PLUGINS "MP.cfg", "Debug=1\n" + settings);
        return lcd_.start({VISTREL_VISTREL_LCD, "--port", std::to_string(port)}, "lcd.out");
    }
    // What it wrote on its console and into its log.
    std::string out() const { return read_file("lcd.out") + read_file(VP_PLUGINS "vistrel_lcd.log"); }

    Child lcd_;
    ScratchDir dir_;
};

std::string answer_opening_only(const std::string& line) {
    if (line == "hello") return kStandInHello;
    if (line.rfind("client_set", 0) == 0) return "success\n";
    return "";
}

// SIGTERM in each state that a server can hold the program in: with the product's own 5 s
// limits in force, it ends well before any of them would, with exit code 0.
TEST_F(LcdProgram, SigtermEndsItWithinASecondInEveryState) {
    StandInHabits strays;
    strays.stray = "noise from the server\n";
    strays.stray_every_ms = 100;
    StandInHabits notices;
    notices.stray = "listen vistrel_idle\n";
    notices.stray_every_ms = 100;
    StandInHabits slow;  // each command answered 4.8 s after the one before
    slow.answer_delay_ms = 4800;
    StandInHabits flood;
    flood.flood = "listen vistrel_idle\n";
    struct Case {
        const char* what;
        bool server;  // else nothing listens: the program waits between attempts
        StandIn::Reply reply;
        StandInHabits habits;
        const char* reached;  // the line the stand-in receives once the state is reached
        bool screens_off;     // the server still listens and is to hear the screens go
    } cases[] = {
        {"between two attempts", false, nullptr, {}, nullptr, false},
        {"hello unanswered among notices", true, [](const std::string&) { return std::string(); }, notices, "hello",
         false},
        {"commands unanswered among stray lines", true, answer_opening_only, strays, "screen_add", true},
        {"commands answered after 4.8 s each", true, usual_lcdd, slow, "screen_add", true},
        {"a flood of notices", true, usual_lcdd, flood, "screen_add", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<StandIn> lcdd;
        int port = closed_loopback_port();
        if (c.server) {
            lcdd = std::make_unique<StandIn>(c.reply, c.habits);
            port = lcdd->port();
        }
        ASSERT_TRUE(start_lcd(port));
        if (c.server)
            ASSERT_TRUE(wait_until([&] { return lcdd->saw(c.reached); }, 10000));
        else
            ASSERT_TRUE(wait_until([&] { return has(out(), "trying again every 5 s"); }, 10000));
        double sent = vp_process_seconds();
        lcd_.signal(SIGTERM);
        ASSERT_TRUE(wait_until([&] { return lcd_.ended(); }, 5000)) << "still running 5 s after SIGTERM";
        double took = vp_process_seconds() - sent;
        printf("%s: ended %.3f s after SIGTERM\n", c.what, took);
        EXPECT_LT(took, 2.0) << "the aim is within 1 s";
        EXPECT_TRUE(WIFEXITED(lcd_.status()) && WEXITSTATUS(lcd_.status()) == 0) << lcd_.status();
        EXPECT_TRUE(has(out(), "vistrel_lcd ends"));
        if (c.screens_off) {
            EXPECT_TRUE(wait_until([&] { return lcdd->saw("screen_del vistrel_idle"); }, 2000));
        }
    }
}

// A server that closes every connection at hello: the attempts come one pause apart (the pause
// shortened to 2 s here), each counted where the server accepts it.
TEST_F(LcdProgram, AttemptsComeOnePauseApart) {
    StandIn lcdd([](const std::string&) { return std::string("<close>"); });
    setenv("VISTREL_TEST_LIMITS", "lcd_retry=2000", 1);
    ASSERT_TRUE(start_lcd(lcdd.port()));
    ASSERT_TRUE(wait_until([&] { return lcdd.accepted().size() >= 4; }, 15000)) << lcdd.accepted().size();
    std::vector<double> at = lcdd.accepted();
    for (size_t i = 1; i < at.size(); i++) {
        double pause = at[i] - at[i - 1];
        EXPECT_GE(pause, 1.9) << "attempt " << i;
        // Attempts are made at the program's seconds: the pause, rounded up to the next one.
        EXPECT_LE(pause, 3.5) << "attempt " << i;
    }
    EXPECT_TRUE(has(out(), "trying again every 2 s")) << out();
    EXPECT_TRUE(has(out(), "Test limits in force")) << out();
}

// LCD_BacklightOffSeconds=: the idle screen turns the backlight off after so many seconds with
// nothing going on; without the setting it never does.
TEST_F(LcdProgram, BacklightOffAfterTheIdleSecondsOnlyWhenSet) {
    for (int seconds : {1, 0}) {
        SCOPED_TRACE(seconds);
        StandIn lcdd(usual_lcdd);
        ASSERT_TRUE(start_lcd(lcdd.port(), seconds ? "LCD_BacklightOffSeconds=1\n" : ""));
        if (seconds) {
            EXPECT_TRUE(wait_until([&] { return lcdd.saw("screen_set vistrel_idle -backlight off"); }, 10000))
                << ::testing::PrintToString(lcdd.lines());
        } else {
            // Three times the second that the setting would have taken: no backlight command.
            ASSERT_TRUE(wait_until([&] { return lcdd.saw("screen_add vistrel_idle"); }, 10000));
            EXPECT_FALSE(wait_until([&] { return lcdd.saw("screen_set vistrel_idle -backlight"); }, 3000));
        }
        lcd_.stop(SIGTERM);
    }
}

// The display's key (Down) steps through the recordings in progress: reserved with the
// connection, each press brings the next one to the front.
TEST_F(LcdProgram, TheDisplaysKeyStepsThroughTheRecordings) {
    OwnBlock mpx;
    ASSERT_TRUE(mpx.open(run_block_name("Vistrel_MPExtended")));
    mpx.set("IsRecording", "true");
    mpx.set("IRecordings", "2");
    for (const char* k : {"1", "2"}) {
        mpx.set(std::string("Recording") + k + ".IsRecording", "true");
        mpx.set(std::string("Recording") + k + ".Title", std::string("Title ") + k);
    }
    StandInHabits keys;
    keys.stray = "key Down\nkey Up\n";
    keys.stray_every_ms = 1500;
    StandIn lcdd(usual_lcdd, keys);
    ASSERT_TRUE(start_lcd(lcdd.port()));
    EXPECT_TRUE(wait_until([&] { return lcdd.saw("client_add_key -shared Down"); }, 10000));
    EXPECT_TRUE(wait_until([&] {
        return lcdd.saw("screen_set vistrel_rec1 -priority alert") && lcdd.saw("screen_set vistrel_rec2 -priority alert");
    }, 15000)) << ::testing::PrintToString(lcdd.lines());
    // Each goes back to the others' rotation after its seconds.
    EXPECT_TRUE(wait_until([&] { return lcdd.saw("screen_set vistrel_rec1 -priority foreground"); }, 15000));
    lcd_.stop(SIGTERM);
    vp_shm_unlink(run_block_name("Vistrel_MPExtended").c_str());
}

}  // namespace
