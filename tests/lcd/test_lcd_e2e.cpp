// test_lcd_e2e.cpp - the real vistrel_lcd against a real LCDd (text driver, frames read from its
// output) and the real bridges against the simulators: screens, a hostile title, LCDd's restart,
// Ctrl-C. POSIX: LCDd exists only there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "lcd_child.h"
#include "own_block.h"
#include "loopback.h"
#include "mp_tags.h"
#include "mpx_harness.h"
#include "scratch.h"
#include "vp.h"

extern char** environ;

namespace {

std::string user_name() {
    passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "nobody";
}

// One frame of the text driver: its rows without the borders.
using Frame = std::vector<std::string>;

// LCDd with its text driver on a free loopback port, in the foreground, with a configuration
// file of its own (never /etc/LCDd.conf).
class Lcdd {
public:
    int port = 0;
    int rows = 0;
    std::string out;

    bool start(int width, int height, const std::string& output, int at_port = 0) {
        rows = height;
        out = output;
        port = at_port ? at_port : closed_loopback_port();
        write_file("LCDd.conf", "[server]\nDriverPath=" VISTREL_LCDPROC_DRIVERS "\nDriver=text\nBind=127.0.0.1\n"
                                "Port=" + std::to_string(port) + "\nReportToSyslog=no\nReportLevel=2\nUser=" +
                                    user_name() + "\nForeground=yes\nWaitTime=1\nServerScreen=no\n"
                                "[text]\nSize=" + std::to_string(width) + "x" + std::to_string(height) + "\n");
        // The text driver prints its frames through the C library, which holds a file's output
        // back in blocks of kilobytes: line by line, every frame is there as soon as it is drawn.
        if (!child_.start({"/usr/bin/stdbuf", "-oL", VISTREL_LCDD, "-f", "-c", "LCDd.conf"}, out)) return false;
        // Up once it takes connections.
        return wait_until([&] {
            vp_socket s = vp_tcp_socket();
            bool up = vp_connect(s, vp_inet_addr("127.0.0.1"), port) == 0;
            vp_close_socket(s);
            return up || child_.ended();
        }, 10000) && !child_.ended();
    }
    void stop() { child_.stop(); }

    std::vector<Frame> frames() const {
        std::vector<Frame> all;
        std::vector<std::string> lines = read_lines(out);
        for (size_t i = 0; i + rows + 1 < lines.size(); i++) {
            if (lines[i].empty() || lines[i][0] != '+') continue;
            Frame f;
            for (int r = 1; r <= rows; r++) {
                const std::string& l = lines[i + static_cast<size_t>(r)];
                if (l.size() < 2 || l.front() != '|' || l.back() != '|') break;
                f.push_back(l.substr(1, l.size() - 2));
            }
            if (static_cast<int>(f.size()) != rows || lines[i + static_cast<size_t>(rows) + 1][0] != '+') continue;
            all.push_back(f);
            i += static_cast<size_t>(rows);
        }
        return all;
    }
    // Waits until a frame after the first `after` frames satisfies the test; its index, or -1.
    template <class Test>
    int wait_frame(Test test, int ms, size_t after = 0) const {
        int found = -1;
        wait_until([&] {
            std::vector<Frame> all = frames();
            for (size_t i = after; i < all.size(); i++)
                if (test(all[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            return false;
        }, ms);
        return found;
    }
    std::string last_frames(size_t n) const {
        std::vector<Frame> all = frames();
        std::string text;
        for (size_t i = all.size() > n ? all.size() - n : 0; i < all.size(); i++) {
            for (const std::string& r : all[i]) text += "|" + r + "|\n";
            text += "\n";
        }
        return text;
    }

private:
    Child child_;
};

bool has(const std::string& row, const std::string& part) { return row.find(part) != std::string::npos; }

// The JSON date of the TV service for a moment relative to now.
std::string json_date(long long from_now) {
    return "\"\\/Date(" + std::to_string((static_cast<long long>(time(nullptr)) + from_now) * 1000) + "+0100)\\/\"";
}

std::string recording_json(const std::string& title_json, int channel, bool in_progress, long long start, long long end) {
    // The service's objects begin with their description, by which the bridge knows them.
    return "{\"Description\":\"Recorded\",\"IdChannel\":" + std::to_string(channel) + ",\"IsRecording\":" + (in_progress ? "true" : "false") +
           ",\"StartTime\":" + json_date(start) + ",\"EndTime\":" + json_date(end) + ",\"Title\":" + title_json + "}";
}

// Both simulators, both bridges, LCDd and vistrel_lcd in a scratch folder; everything ends, and
// the blocks go, however the test ends.
class LcdEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
        ASSERT_EQ(0, access(VISTREL_LCDD, X_OK)) << VISTREL_LCDD << " is missing: scripts/deps.sh installs lcdproc";
        vp_shm_unlink(run_block_name("Vistrel_MPExtended").c_str());
        vp_shm_unlink(run_block_name("Vistrel_WIFIRemote").c_str());
    }
    void TearDown() override {
        if (HasFailure()) {
            printf("Last frames:\n%s", lcdd_.last_frames(3).c_str());
            printf("vistrel_lcd's log:\n%s", read_file(VP_PLUGINS "vistrel_lcd.log").c_str());
            printf("TV simulator:\n%s", read_file("events.txt").c_str());
        }
        lcd_.stop(SIGKILL);
        lcdd_.stop();
        mpx_.stop();
        wfr_.stop();
        tvsim_.stop();
        wifisim_.stop();
        vp_shm_unlink(run_block_name("Vistrel_MPExtended").c_str());
        vp_shm_unlink(run_block_name("Vistrel_WIFIRemote").c_str());
    }

    bool start_tvsim(const std::string& scenario, int port = 0) {
        tvsim_.stop();
        remove("port.txt");
        return tvsim_.start(scenario, port ? "--port " + std::to_string(port) : "");
    }
    bool start_wifisim() {
        remove("wifi.port");
        wifisim_.pid = vp_spawn_detached(VISTREL_VISTREL_WIFISIM, "vistrel_wifisim --port 0 --port-file wifi.port");
        return wifisim_.pid > 0 && wait_until([] { return atoi(read_file("wifi.port").c_str()) > 0; }, 20000);
    }
    // The settings of all three programs, with the ports of what runs.
    void write_settings() {
        std::string cfg = "Debug=1\nLCD_Port=" + std::to_string(lcdd_.port) + "\n";
        if (tvsim_.port) cfg += "MPExtended_Port=" + std::to_string(tvsim_.port) + "\nMPExtended_Wait=1\n";
        int wifi = atoi(read_file("wifi.port").c_str());
        if (wifi > 0) cfg += "WifiRemote_Port=" + std::to_string(wifi) + "\n";
        write_file(VP_PLUGINS "MP.cfg", cfg);
    }
    bool start_bridges(bool wifiremote = true) {
        mpx_.pid = vp_spawn_detached(VISTREL_VISTREL_MPEXTENDED, "Vistrel_MPExtended");
        if (wifiremote) wfr_.pid = vp_spawn_detached(VISTREL_VISTREL_WIFIREMOTE, "Vistrel_WIFIRemote");
        return mpx_.pid > 0 && (!wifiremote || wfr_.pid > 0);
    }
    bool start_lcd() { return lcd_.start({VISTREL_VISTREL_LCD}, "lcd.out"); }
    std::vector<std::string> log_lines(const std::string& part) const {
        std::vector<std::string> found;
        for (const std::string& l : read_lines(VP_PLUGINS "vistrel_lcd.log"))
            if (has(l, part)) found.push_back(l);
        return found;
    }

    Lcdd lcdd_;
    Child lcd_;
    TvSim tvsim_;
    Program wifisim_, mpx_, wfr_;
    ScratchDir dir_;
};

TEST_F(LcdEndToEnd, RecordingShowsChannelTitleAndBarUntilItEnds) {
    // Fifteen minutes of thirty recorded: half of the bar.
    ASSERT_TRUE(start_tvsim("recording -900 900 yes 5 Das Boot\n"));
    const int tv_port = tvsim_.port;
    ASSERT_TRUE(start_wifisim());
    ASSERT_TRUE(lcdd_.start(20, 4, "lcdd.out"));
    write_settings();
    ASSERT_TRUE(start_bridges());
    ASSERT_TRUE(start_lcd());

    auto recording = [](const Frame& f) {
        return has(f[0], "Das Erste") && f[0].substr(17) == "REC" && f[1].rfind("Das Boot", 0) == 0 &&
               has(f[2], "0:15 / 0:30") && f[3].rfind("------", 0) == 0;
    };
    int at = lcdd_.wait_frame(recording, 30000);
    ASSERT_GE(at, 0) << "no recording screen";
    Frame f = lcdd_.frames()[static_cast<size_t>(at)];
    // 900 of 1800 seconds over 20 cells of 5 pixels: 50 pixels, half of the row, which the
    // text driver draws with a cell to spare.
    size_t cells = f[3].find_first_not_of('-');
    EXPECT_TRUE(cells == 10 || cells == 11) << f[3];
    EXPECT_EQ(std::string(20 - cells, ' '), f[3].substr(cells));
    // The recording's mark: LCDd's REC icon, which the text driver draws as "()", at column 19.
    EXPECT_EQ("()", f[2].substr(18)) << f[2];
    // The playing screen takes its turn beside it, with the PLAY icon (">") at column 19 of its
    // last row.
    EXPECT_GE(lcdd_.wait_frame([](const Frame& g) { return has(g[0], "Evening News") && g[3][18] == '>'; }, 20000), 0);

    // The service restarts with the recording finished: its screen goes, and with nothing
    // recording the playing screen stays alone.
    ASSERT_TRUE(start_tvsim("on * body [" + recording_json("\"Das Boot\"", 5, false, -1800, -60) + "]\n", tv_port));
    size_t seen = lcdd_.frames().size();
    int gone = lcdd_.wait_frame([](const Frame& g) { return has(g[0], "Evening News"); }, 30000, seen);
    ASSERT_GE(gone, 0);
    // From a moment after the change on, no frame shows the recording again.
    ASSERT_TRUE(wait_until([&] {
        std::vector<Frame> all = lcdd_.frames();
        size_t n = all.size();
        for (size_t i = static_cast<size_t>(gone); i < n; i++)
            if (has(all[i][0], "REC")) gone = static_cast<int>(i) + 1;
        return n > static_cast<size_t>(gone) + 24;  // three seconds of frames without it
    }, 30000));
    EXPECT_TRUE(log_lines("refused").empty());
}

TEST_F(LcdEndToEnd, HostileTitleShowsAsTextAndLeavesTheOtherScreens) {
    // Quotes, braces, a backslash and a line end followed by a protocol command, as the service
    // escapes them in its JSON.
    const std::string hostile = "\"Evil \\\"quote\\\" {Recording1.Title} \\\\ end\\r\\nscreen_del vistrel_rec1\"";
    const std::string shown = "Evil \"quote\" {Recording1.Title} \\ end  screen_del vistrel_rec1";
    ASSERT_TRUE(start_tvsim("on * body [" + recording_json("\"Das Boot\"", 5, true, -600, 1200) + "," +
                            recording_json(hostile, 3, true, -300, 1500) + "]\n"));
    ASSERT_TRUE(start_wifisim());
    ASSERT_TRUE(lcdd_.start(80, 4, "lcdd.out"));
    write_settings();
    ASSERT_TRUE(start_bridges());
    ASSERT_TRUE(start_lcd());

    int hostile_at = lcdd_.wait_frame([&](const Frame& f) { return f[1].rfind(shown, 0) == 0; }, 30000);
    ASSERT_GE(hostile_at, 0) << "the hostile title never showed as text";
    Frame f = lcdd_.frames()[static_cast<size_t>(hostile_at)];
    EXPECT_EQ(shown + std::string(80 - shown.size(), ' '), f[1]);
    EXPECT_TRUE(has(f[0], "ZDF")) << f[0];
    // The other screens go on showing after it, in their turns.
    size_t seen = static_cast<size_t>(hostile_at);
    EXPECT_GE(lcdd_.wait_frame([](const Frame& g) { return g[1].rfind("Das Boot ", 0) == 0 && has(g[0], "Das Erste"); },
                               20000, seen), 0);
    EXPECT_GE(lcdd_.wait_frame([](const Frame& g) { return has(g[0], "Evening News"); }, 20000, seen), 0);
    EXPECT_GE(lcdd_.wait_frame([&](const Frame& g) { return g[1].rfind(shown, 0) == 0; }, 20000, seen + 1), 0);
    // LCDd took every command.
    EXPECT_TRUE(log_lines("refused").empty());
    EXPECT_TRUE(log_lines("**Error**").empty());
}

TEST_F(LcdEndToEnd, ScreensComeBackAfterLcddRestartsAndCtrlCTakesThemOff) {
    ASSERT_TRUE(start_tvsim("recording -600 1200 yes 1 Das Boot\n"));
    ASSERT_TRUE(lcdd_.start(20, 2, "lcdd.out"));
    write_settings();
    ASSERT_TRUE(start_bridges(false));
    ASSERT_TRUE(start_lcd());
    // Two rows: the channel with the mark, and the title.
    auto recording = [](const Frame& f) { return f[0] == "BBC One          REC" && f[1] == "Das Boot            "; };
    ASSERT_GE(lcdd_.wait_frame(recording, 30000), 0);

    // LCDd goes away and comes back on the same port.
    int port = lcdd_.port;
    lcdd_.stop();
    ASSERT_TRUE(wait_until([&] { return !log_lines("connection lost").empty(); }, 10000));
    ASSERT_TRUE(lcdd_.start(20, 2, "lcdd2.out", port));
    double back = vp_process_seconds();
    ASSERT_GE(lcdd_.wait_frame(recording, 12000), 0);
    EXPECT_LE(vp_process_seconds() - back, 10.0);
    // The refused connects meanwhile are told once, not every five seconds.
    EXPECT_LE(log_lines("10061").size(), 1u);

    // Ctrl-C: the screens go from the display and the program ends on its own.
    lcd_.signal(SIGINT);
    ASSERT_TRUE(wait_until([&] { return lcd_.ended(); }, 10000));
    EXPECT_TRUE(WIFEXITED(lcd_.status()) && WEXITSTATUS(lcd_.status()) == 0) << lcd_.status();
    EXPECT_EQ(1u, log_lines("Screens taken off the display").size());
    size_t seen = lcdd_.frames().size();
    EXPECT_GE(lcdd_.wait_frame([](const Frame& f) { return has(f[0], "LCDproc Server"); }, 10000, seen), 0);
}

TEST_F(LcdEndToEnd, ClockWithoutBridgesThenThePlayingScreenOfABridgeThatStarts) {
    ASSERT_TRUE(lcdd_.start(16, 2, "lcdd.out"));
    write_settings();
    ASSERT_TRUE(start_lcd());
    // No block: the date and the clock, and which bridges have no data.
    auto clock = [](const Frame& f) {
        return f[0].size() == 16 && f[0][3] == ' ' && f[0][13] == ':' && f[1] == "No data: TV, pla";
    };
    EXPECT_GE(lcdd_.wait_frame(clock, 20000), 0);
    EXPECT_GE(lcdd_.wait_frame([](const Frame& f) { return f[1].rfind("No data: TV, player", 0) != 0 &&
                                                          has(f[1], "player"); }, 20000), 0)
        << "the line longer than the display does not scroll";

    // The WifiRemote bridge starts: what plays takes the display.
    ASSERT_TRUE(start_wifisim());
    write_settings();
    wfr_.pid = vp_spawn_detached(VISTREL_VISTREL_WIFIREMOTE, "Vistrel_WIFIRemote");
    ASSERT_GT(wfr_.pid, 0);
    auto playing = [](const Frame& f) {
        // The time beside the bar on the second row: "1:05 =----- 30:00".
        return f[0] == "Evening News    " && f[1].size() == 16 && f[1].substr(10) == " 30:00" &&
               f[1].find('-') != std::string::npos && f[1].find(' ') < 6;
    };
    EXPECT_GE(lcdd_.wait_frame(playing, 20000), 0);
}

// LCDd's text driver draws a big digit as three rows of three characters, and its ':' as one
// column of dots.
std::vector<std::string> big_digits_art(const std::string& text, const std::vector<int>& columns, int width) {
    static const char* const kArt[10][3] = {
        {" _ ", "| |", "|_|"}, {"   ", "  |", "  |"}, {" _ ", " _|", "|_ "}, {" _ ", " _|", " _|"},
        {"   ", "|_|", "  |"}, {" _ ", "|_ ", " _|"}, {" _ ", "|_ ", "|_|"}, {" _ ", "  |", "  |"},
        {" _ ", "|_|", "|_|"}, {" _ ", "|_|", " _|"}};
    std::vector<std::string> rows(3, std::string(static_cast<size_t>(width), ' '));
    for (size_t i = 0; i < text.size(); i++)
        for (size_t r = 0; r < 3; r++) {
            std::string part = text[i] == ':' ? std::string(r == 0 ? " " : ".") : kArt[text[i] - '0'][r];
            rows[r].replace(static_cast<size_t>(columns[i] - 1), part.size(), part);
        }
    return rows;
}

TEST_F(LcdEndToEnd, IdleClockInLcddsBigDigitsOnFourRows) {
    ASSERT_TRUE(lcdd_.start(20, 4, "lcdd.out"));
    write_settings();
    ASSERT_TRUE(start_lcd());
    // The time of a minute ago or now, as the frame may have been drawn at either.
    auto clock = [](const Frame& f) {
        for (int back : {0, 60}) {
            time_t t = time(nullptr) - back;
            char hhmm[8];
            strftime(hhmm, sizeof hhmm, "%H:%M", localtime(&t));
            std::vector<std::string> art = big_digits_art(hhmm, {2, 6, 10, 12, 16}, 20);
            if (f[0] == art[0] && f[1] == art[1] && f[2] == art[2]) return true;
        }
        return false;
    };
    int at = lcdd_.wait_frame(clock, 20000);
    ASSERT_GE(at, 0) << "no big clock";
    EXPECT_EQ("No data: TV, player ", lcdd_.frames()[static_cast<size_t>(at)][3]);
}

// The volume screen for a few seconds when the volume changes or is muted, the navigation screen
// while nothing plays when the selected item changes; after each, the screen shown before.
TEST_F(LcdEndToEnd, VolumeAndNavigationShowForTheirSecondsThenThePreviousScreen) {
    ASSERT_TRUE(lcdd_.start(16, 2, "lcdd.out"));
    write_settings();
    write_file(VP_PLUGINS "MP.cfg", read_file(VP_PLUGINS "MP.cfg") + "LCD_NavigationSeconds=2\n");
    OwnBlock block;
    ASSERT_TRUE(block.open(run_block_name("Vistrel_WIFIRemote")));
    block.set("IsPlaying", "false");
    block.set("CurrentModule", "TV");
    block.set("SelectedItem", "BBC One");
    block.set("Volume", "40");
    block.set("IsMuted", "false");
    ASSERT_TRUE(start_lcd());
    auto idle = [](const Frame& f) { return f[0][13] == ':' && f[1] == "No data: TV     "; };
    ASSERT_GE(lcdd_.wait_frame(idle, 20000), 0) << "no clock";

    struct Step {
        const char* what;
        const char* tag;
        const char* text;
        const char* row1;  // the screen's first row, and a test of its second
        bool (*row2)(const std::string&);
    } steps[] = {
        {"a new volume", "Volume", "55", "Volume 55       ",
         [](const std::string& r) { return r.find_first_not_of('-') >= 8 && r.find_first_not_of('-') <= 9; }},
        {"muted", "IsMuted", "true", "Volume 55  Muted",
         [](const std::string& r) { return r.rfind("--------", 0) == 0; }},
        {"another item", "SelectedItem", "ZDF", "TV              ",
         [](const std::string& r) { return r == "ZDF             "; }},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        size_t seen = lcdd_.frames().size();
        block.set(st.tag, st.text);
        int at = lcdd_.wait_frame([&](const Frame& f) { return f[0] == st.row1 && st.row2(f[1]); }, 10000, seen);
        ASSERT_GE(at, 0);
        // It goes after its seconds, and the clock is back.
        double shown = vp_process_seconds();
        ASSERT_GE(lcdd_.wait_frame(idle, 10000, static_cast<size_t>(at)), 0);
        EXPECT_GE(vp_process_seconds() - shown, 0.5) << "gone at once";
    }
    // While something plays a new item brings no navigation screen.
    block.set("IsPlaying", "true");
    block.set("Title", "Evening News");
    ASSERT_GE(lcdd_.wait_frame([](const Frame& f) { return f[0] == "Evening News    "; }, 10000), 0);
    size_t seen = lcdd_.frames().size();
    block.set("SelectedItem", "ARD");
    ASSERT_TRUE(wait_until([&] { return lcdd_.frames().size() > seen + 24; }, 10000));
    std::vector<Frame> all = lcdd_.frames();
    for (size_t i = seen; i < all.size(); i++) EXPECT_NE("ARD             ", all[i][1]) << i;
    EXPECT_TRUE(log_lines("refused").empty());
}

}  // namespace
