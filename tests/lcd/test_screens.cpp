// test_screens.cpp - the screens that the blocks call for, and the LCDd commands that take the display from one set to the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "lcd.h"

namespace {

const int64_t kNow = 1796722548;  // in December 2026

// A block's table as a test sets it up.
class FakeBlock {
public:
    FakeBlock(const char* name, int stale_after) {
        snprintf(block.name, sizeof block.name, "%s", name);
        block.stale_after = stale_after;
        block.table = table_.data();
        block.state = LCD_BLOCK_LIVE;
        block.encoding = VR_TEXT_RAW;
        memcpy(table_[0].name, "Numtags", 8);
        table_[0].time = static_cast<int32_t>(kNow);
    }
    void add(const char* name, int type, int ival, const std::string& text) {
        vr_record& r = table_[static_cast<size_t>(++block.count)];
        snprintf(r.name, sizeof r.name, "%s", name);
        r.type = type;
        r.ival = ival;
        snprintf(r.string, sizeof r.string, "%s", text.c_str());
    }
    // The MPExtended tags of k recordings in progress, of which the ended ones read false.
    void recordings(int k, std::vector<bool> ended = {}) {
        add("IsRecording", VR_TYPE_TEXT, 1, k > 0 ? "true" : "false");
        add("IRecordings", VR_TYPE_INT, k, std::to_string(k));
        for (int i = 1; i <= k; i++) {
            std::string p = "Recording" + std::to_string(i) + ".";
            bool over = static_cast<size_t>(i) <= ended.size() && ended[static_cast<size_t>(i) - 1];
            add((p + "IsRecording").c_str(), VR_TYPE_TEXT, 0, over ? "false" : "true");
            add((p + "Title").c_str(), VR_TYPE_TEXT, 0, "Title " + std::to_string(i));
            add((p + "ChannelName").c_str(), VR_TYPE_INT, 0, "Channel " + std::to_string(i));
            add((p + "SoFar").c_str(), VR_TYPE_TIME, 0, "0:15:00");
            add((p + "Duration").c_str(), VR_TYPE_TIME, 0, "0:30:00");
        }
    }
    LcdBlock block;

private:
    std::vector<vr_record> table_ = std::vector<vr_record>(VR_TABLE_RECORDS);
};

class Screens : public ::testing::Test {
protected:
    Screens() { lcd_layout_load(&layout_, nullptr); }
    LcdDisplay display(int width, int rows) {
        LcdDisplay d;
        d.width = d.real_width = width;
        d.rows = d.real_rows = rows;
        return d;
    }
    const LcdScreens& compose(int width, int rows) {
        lcd_compose(layout_, display(width, rows), mpx.block, wfr.block, kNow, &out_);
        return out_;
    }
    std::vector<std::string> ids(const LcdScreens& s) {
        std::vector<std::string> v;
        for (int i = 0; i < s.count; i++) v.push_back(s.screens[i].id);
        return v;
    }
    void playing(const std::string& title, int position, int duration, bool paused) {
        wfr.add("Position", VR_TYPE_INT, position, std::to_string(position));
        wfr.add("Duration", VR_TYPE_INT, duration, std::to_string(duration));
        wfr.add("IsPlaying", VR_TYPE_TEXT, 1, "true");
        wfr.add("IsPaused", VR_TYPE_TEXT, paused, paused ? "true" : "false");
        wfr.add("Title", VR_TYPE_TEXT, 0, title);
    }

    FakeBlock mpx{"Vistrel_MPExtended", 60};
    FakeBlock wfr{"Vistrel_WIFIRemote", 30};
    LcdLayout layout_;
    LcdScreens out_;
};

using Ids = std::vector<std::string>;

TEST_F(Screens, OnePerRecordingInProgressThenThePlayingScreen) {
    mpx.recordings(3, {false, true, false});
    playing("Evening News", 110, 1800, false);
    const LcdScreens& s = compose(20, 4);
    EXPECT_EQ((Ids{"vistrel_rec1", "vistrel_rec3", "vistrel_play"}), ids(s));
    for (int i = 0; i < s.count; i++) EXPECT_TRUE(s.screens[i].foreground) << s.screens[i].id;
    const LcdScreen& rec3 = s.screens[1];
    EXPECT_STREQ("Recording 3", rec3.title);
    EXPECT_STREQ("Channel 3        REC", rec3.rows[0].text);
    EXPECT_STREQ("Title 3", rec3.rows[1].text);
    EXPECT_STREQ("0:15 / 0:30", rec3.rows[2].text);
    EXPECT_EQ(LCD_WIDGET_BAR, rec3.rows[3].kind);
    EXPECT_EQ(50, rec3.rows[3].pixels);
    const LcdScreen& play = s.screens[2];
    EXPECT_STREQ("Evening News", play.rows[0].text);
    EXPECT_STREQ("01:50/30:00         ", play.rows[1].text);
    EXPECT_EQ(110 * 100 / 1800, play.rows[2].pixels);
    EXPECT_EQ(LCD_WIDGET_STRING, play.rows[3].kind) << "a missing tag makes an empty row";
    EXPECT_EQ(0, play.rows[3].len);
}

// Sets a tag's text (and number), adding the tag when the block has none of that name.
void set_tag(FakeBlock& b, const char* name, const std::string& text) {
    for (int i = 1; i <= b.block.count; i++) {
        vr_record& r = b.block.table[i];
        if (strcmp(r.name, name) != 0) continue;
        snprintf(r.string, VR_TEXT_SIZE, "%s", text.c_str());
        r.ival = atoi(text.c_str());
        return;
    }
    b.add(name, VR_TYPE_TEXT, atoi(text.c_str()), text);
}

// The volume and navigation screens follow the WifiRemote block second by second: a change
// brings its screen over the others for its seconds; the first look at a block, its return after
// it was stale, and a change of navigation while something plays bring none.
TEST_F(Screens, VolumeAndNavigationScreensFollowTheirChanges) {
    struct Step {
        int at;  // seconds after kNow
        const char* volume;
        const char* muted;
        const char* item;
        bool plays;
        LcdBlockState state;
        Ids expected;
        const char* first_row;  // of the screen over the others, "" when none is
    } steps[] = {
        {0, "40", "false", "BBC One", false, LCD_BLOCK_LIVE, {"vistrel_idle"}, ""},
        {1, "50", "false", "BBC One", false, LCD_BLOCK_LIVE, {"vistrel_idle", "vistrel_volume"}, "Volume 50       "},
        {3, "50", "false", "BBC One", false, LCD_BLOCK_LIVE, {"vistrel_idle", "vistrel_volume"}, "Volume 50       "},
        {4, "50", "false", "BBC One", false, LCD_BLOCK_LIVE, {"vistrel_idle"}, ""},
        {5, "50", "true", "BBC One", false, LCD_BLOCK_LIVE, {"vistrel_idle", "vistrel_volume"}, "Volume 50  Muted"},
        {10, "50", "true", "ZDF", false, LCD_BLOCK_LIVE, {"vistrel_idle", "vistrel_nav"}, "TV"},
        {14, "50", "true", "ZDF", false, LCD_BLOCK_LIVE, {"vistrel_idle", "vistrel_nav"}, "TV"},
        {15, "50", "true", "ZDF", false, LCD_BLOCK_LIVE, {"vistrel_idle"}, ""},
        {16, "50", "true", "ARD", true, LCD_BLOCK_LIVE, {"vistrel_play"}, ""},
        {17, "60", "true", "ARD", true, LCD_BLOCK_STALE, {"vistrel_idle"}, ""},
        {18, "70", "false", "SAT.1", false, LCD_BLOCK_LIVE, {"vistrel_idle"}, ""},
    };
    LcdWatch watch;
    set_tag(wfr, "CurrentModule", "TV");
    for (const Step& st : steps) {
        SCOPED_TRACE(st.at);
        set_tag(wfr, "Volume", st.volume);
        set_tag(wfr, "IsMuted", st.muted);
        set_tag(wfr, "SelectedItem", st.item);
        set_tag(wfr, "IsPlaying", st.plays ? "true" : "false");
        wfr.block.state = st.state;
        lcd_watch(&watch, wfr.block, kNow + st.at, 5);
        LcdScreens s;
        lcd_compose(layout_, display(16, 2), mpx.block, wfr.block, kNow + st.at, &s, &watch);
        EXPECT_EQ(st.expected, ids(s));
        const LcdScreen& top = s.screens[s.count - 1];
        EXPECT_EQ(*st.first_row != '\0', top.alert);
        if (!top.alert) continue;
        EXPECT_STREQ(st.first_row, top.rows[0].text);
        if (strcmp(top.id, "vistrel_volume") == 0) {
            EXPECT_EQ(LCD_WIDGET_BAR, top.rows[1].kind);
            EXPECT_EQ(40, top.rows[1].pixels) << "50 of 100 over 16 cells of 5 pixels";
        } else {
            EXPECT_STREQ(st.item, top.rows[1].text);
        }
    }
}

// The time beside the bar on one row, exactly as wide as the display.
TEST(TimeBar, TimesAtBothEndsAndTheBarBetween) {
    struct Case {
        long long value, maximum;
        int width;
        const char* text;
    } cases[] = {
        {12, 90, 19, "0:12 =-------- 1:30"},
        {45, 90, 19, "0:45 ====----- 1:30"},
        {90, 90, 19, "1:30 ========= 1:30"},
        {200, 90, 19, "3:20 ========= 1:30"},      // past the end: a full bar
        {-5, 90, 19, "0:00 --------- 1:30"},       // before the start
        {30, 0, 16, "0:30 ------ 0:00"},           // no maximum: no bar
        {3725, 7200, 20, "1:02:05 ==-- 2:00:00"},  // an hour and more
        {12, 90, 10, "0:12/1:30"},                 // no room for a bar of 3
        {3725, 7200, 8, "1:02:05/"},               // nor for both times
    };
    for (const Case& c : cases) {
        char out[LCD_TEXT_MAX + 1];
        int n = lcd_time_bar(c.value, c.maximum, c.width, out);
        EXPECT_EQ(c.text, std::string(out, static_cast<size_t>(n))) << c.value << "/" << c.maximum;
        EXPECT_EQ(strlen(out), static_cast<size_t>(n));
        EXPECT_LE(n, c.width);
    }
}

// A mark shows the icon that its template names, at its column; a name that is no icon of
// LCDd's, or a column beyond the display, shows none.
TEST_F(Screens, MarksShowTheIconsTheirTemplatesName) {
    const char kLayout[] = "[playing]\nLine1={Title}\nMark1=16 {IsPaused:yes=PAUSE}{IsPaused:no=PLAY}\n"
                           "Mark2=17 PLAY\n[idle]\nLine1=x\nMark1=3 {Title}\n";
    ASSERT_EQ(0, lcd_layout_read(&layout_, kLayout, sizeof kLayout - 1, "test"));
    struct Case {
        bool paused;
        const char* icon;
    } cases[] = {{false, "PLAY"}, {true, "PAUSE"}};
    for (const Case& c : cases) {
        FakeBlock w{"Vistrel_WIFIRemote", 30};
        w.add("IsPlaying", VR_TYPE_TEXT, 1, "true");
        w.add("IsPaused", VR_TYPE_TEXT, c.paused, c.paused ? "true" : "false");
        w.add("Title", VR_TYPE_TEXT, 0, "REC");
        LcdScreens s;
        lcd_compose(layout_, display(16, 2), mpx.block, w.block, kNow, &s);
        ASSERT_EQ(1, s.count);
        EXPECT_STREQ(c.icon, s.screens[0].rows[0].icon);
        EXPECT_EQ(16, s.screens[0].rows[0].icon_column);
        EXPECT_STREQ("", s.screens[0].rows[1].icon) << "column 17 of 16";
    }
    // On the idle screen the template reads no tag: no name, no icon.
    LcdScreens s;
    lcd_compose(layout_, display(16, 2), mpx.block, wfr.block, kNow, &s);
    EXPECT_STREQ("", s.screens[0].rows[0].icon);
}

// Long without a recording, something playing or a navigation, the idle screen turns the
// backlight off; anything going on lights it again, and the wait starts anew after it.
TEST_F(Screens, IdleScreenTurnsTheBacklightOffAfterItsSeconds) {
    struct Step {
        int at;
        bool plays;
        Ids expected;
        bool dark;
    } steps[] = {
        {0, false, {"vistrel_idle"}, false},  // the start counts as something going on
        {9, false, {"vistrel_idle"}, false},  {10, false, {"vistrel_idle"}, true},
        {11, true, {"vistrel_play"}, false},  {12, false, {"vistrel_idle"}, false},
        {20, false, {"vistrel_idle"}, false}, {21, false, {"vistrel_idle"}, true},
    };
    for (int dark_after : {10, 0}) {
        LcdWatch watch;
        watch.dark_after = dark_after;
        for (const Step& st : steps) {
            SCOPED_TRACE(std::to_string(dark_after) + " s, at " + std::to_string(st.at));
            set_tag(wfr, "IsPlaying", st.plays ? "true" : "false");
            lcd_watch(&watch, wfr.block, kNow + st.at, 5);
            LcdScreens s;
            lcd_compose(layout_, display(16, 2), mpx.block, wfr.block, kNow + st.at, &s, &watch);
            lcd_watch_activity(&watch, s, kNow + st.at);
            EXPECT_EQ(st.expected, ids(s));
            EXPECT_EQ(dark_after > 0 && st.dark, s.screens[0].dark);
        }
    }
}

// The display's key brings the recordings in progress to the front one after another, from the
// first again after the last, each for its seconds.
TEST_F(Screens, TheDisplaysKeyStepsThroughTheRecordings) {
    mpx.recordings(3, {false, true, false});
    playing("News", 10, 100, false);
    LcdWatch watch;
    struct Step {
        int at;
        bool press;
        const char* front;  // the recording screen in front, "" for none
    } steps[] = {
        {0, false, ""}, {1, true, "vistrel_rec1"}, {2, true, "vistrel_rec3"}, {3, true, "vistrel_rec1"},
        {4, false, "vistrel_rec1"}, {8, false, ""}, {9, true, "vistrel_rec1"},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.at);
        LcdScreens s;
        lcd_compose(layout_, display(16, 2), mpx.block, wfr.block, kNow + st.at, &s, &watch);
        if (st.press) {
            lcd_watch_key(&watch, s, kNow + st.at, 5);
            lcd_compose(layout_, display(16, 2), mpx.block, wfr.block, kNow + st.at, &s, &watch);
        }
        std::string front;
        for (int i = 0; i < s.count; i++)
            if (s.screens[i].alert) front += s.screens[i].id;
        EXPECT_EQ(st.front, front);
    }
}

TEST_F(Screens, WhichScreensTheBlocksCallFor) {
    struct Case {
        const char* what;
        int recordings;
        bool summary_true;
        LcdBlockState mpx_state, wfr_state;
        bool plays;
        Ids expected;
    } cases[] = {
        {"nothing at all", 0, false, LCD_BLOCK_LIVE, LCD_BLOCK_LIVE, false, {"vistrel_idle"}},
        {"two recordings", 2, true, LCD_BLOCK_LIVE, LCD_BLOCK_LIVE, false, {"vistrel_rec1", "vistrel_rec2"}},
        // An empty list sets only IsRecording to false; the slots keep reading true.
        {"an empty list after two", 2, false, LCD_BLOCK_LIVE, LCD_BLOCK_LIVE, false, {"vistrel_idle"}},
        {"stale MPExtended block", 2, true, LCD_BLOCK_STALE, LCD_BLOCK_LIVE, true, {"vistrel_play"}},
        {"missing MPExtended block", 2, true, LCD_BLOCK_MISSING, LCD_BLOCK_LIVE, false, {"vistrel_idle"}},
        {"stale WifiRemote block", 1, true, LCD_BLOCK_LIVE, LCD_BLOCK_STALE, true, {"vistrel_rec1"}},
        {"both stale", 1, true, LCD_BLOCK_STALE, LCD_BLOCK_STALE, true, {"vistrel_idle"}},
        {"more than the screens' room", 40, true, LCD_BLOCK_LIVE, LCD_BLOCK_LIVE, true, {}},
    };
    for (const Case& c : cases) {
        FakeBlock m{"Vistrel_MPExtended", 60}, w{"Vistrel_WIFIRemote", 30};
        m.recordings(c.recordings);
        if (!c.summary_true) snprintf(m.block.table[1].string, VR_TEXT_SIZE, "false");  // IsRecording
        if (c.plays) w.add("IsPlaying", VR_TYPE_TEXT, 1, "true");
        m.block.state = c.mpx_state;
        w.block.state = c.wfr_state;
        LcdScreens s;
        lcd_compose(layout_, display(16, 2), m.block, w.block, kNow, &s);
        Ids expected = c.expected;
        if (c.recordings == 40) {
            for (int k = 1; k <= LCD_MAX_RECORDINGS; k++) expected.push_back("vistrel_rec" + std::to_string(k));
            expected.push_back("vistrel_play");
        }
        EXPECT_EQ(expected, ids(s)) << c.what;
    }
}

TEST_F(Screens, ClockSaysWhichBridgesHaveNoData) {
    struct Case {
        LcdBlockState mpx_state, wfr_state;
        const char* line;
    } cases[] = {
        {LCD_BLOCK_LIVE, LCD_BLOCK_LIVE, ""},
        {LCD_BLOCK_MISSING, LCD_BLOCK_LIVE, "No data: TV"},
        {LCD_BLOCK_LIVE, LCD_BLOCK_STALE, "No data: player"},
        {LCD_BLOCK_STALE, LCD_BLOCK_MISSING, "No data: TV, player"},
    };
    for (const Case& c : cases) {
        mpx.block.state = c.mpx_state;
        wfr.block.state = c.wfr_state;
        const LcdScreens& s = compose(20, 2);
        ASSERT_EQ(1, s.count);
        const LcdScreen& idle = s.screens[0];
        EXPECT_FALSE(idle.foreground);
        EXPECT_STREQ(c.line, idle.rows[1].text);
        // The date and the clock of kNow in local time, the clock at the right.
        time_t t = static_cast<time_t>(kNow);
        char date[16], clock[8];
        strftime(date, sizeof date, "%a %d %b", localtime(&t));
        strftime(clock, sizeof clock, "%H:%M", localtime(&t));
        EXPECT_EQ(std::string(date) + "     " + clock, idle.rows[0].text);
    }
}

TEST(BigDigits, CentredWithBlanksBetweenWhereTheyFit) {
    struct Case {
        const char* text;
        int width;
        std::vector<int> columns;  // empty: they do not fit
    } cases[] = {
        {"21:47", 20, {2, 6, 10, 12, 16}},          // 17 columns with blanks
        {"21:47", 17, {1, 5, 9, 11, 15}},
        {"21:47", 16, {2, 5, 8, 9, 12}},            // 13 without
        {"21:47", 13, {1, 4, 7, 8, 11}},
        {"21:47", 12, {}},
        {"23:59:58", 20, {1, 4, 7, 8, 11, 14, 15, 18}},
        {"7", 1, {}},
        {"", 20, {}},
    };
    for (const Case& c : cases) {
        int columns[LCD_MAX_DIGITS] = {};
        int n = static_cast<int>(strlen(c.text));
        bool fits = lcd_digit_columns(c.text, n, c.width, columns);
        EXPECT_EQ(!c.columns.empty(), fits) << c.text << " on " << c.width;
        if (fits) {
            EXPECT_EQ(c.columns, std::vector<int>(columns, columns + n)) << c.text << " on " << c.width;
        }
    }
}

// Four rows: the time in big digits and the date below them, or which bridges have no data in
// the date's place; two rows keep the clock as text.
TEST_F(Screens, IdleClockInBigDigitsOnFourRows) {
    time_t t = static_cast<time_t>(kNow);
    char hhmm[8], date[16];
    strftime(hhmm, sizeof hhmm, "%H:%M", localtime(&t));
    strftime(date, sizeof date, "%a %d %b", localtime(&t));
    const LcdScreen& idle = compose(20, 4).screens[0];
    EXPECT_STREQ(hhmm, idle.digits);
    EXPECT_EQ(5, idle.digit_count);
    EXPECT_EQ(2, idle.digit_columns[0]);
    EXPECT_STREQ(date, idle.rows[3].text);
    for (int r = 0; r < 3; r++) EXPECT_EQ(LCD_WIDGET_NONE, idle.rows[r].kind) << "the digits' rows are theirs";
    mpx.block.state = LCD_BLOCK_STALE;
    EXPECT_STREQ("No data: TV", compose(20, 4).screens[0].rows[3].text);
    EXPECT_EQ(0, compose(20, 2).screens[0].digit_count);
    EXPECT_EQ(0, compose(12, 4).screens[0].digit_count) << "too narrow for the digits";
}

TEST_F(Screens, TextsOfTheBlockInItsEncodingReachTheScreenAsLatin1) {
    mpx.recordings(1);
    snprintf(mpx.block.table[4].string, VR_TEXT_SIZE, "Sch\\u00fcsse \\\"live\\\"");  // Recording1.Title
    EXPECT_STREQ("Sch\xfcsse \"live\"", compose(20, 2).screens[0].rows[1].text);
    mpx.block.encoding = VR_TEXT_UTF8;
    snprintf(mpx.block.table[4].string, VR_TEXT_SIZE, "Sch\xc3\xbcsse");
    EXPECT_STREQ("Sch\xfcsse", compose(20, 2).screens[0].rows[1].text);
}

TEST_F(Screens, LongTitleScrollsAndTheRestIsCutToTheWidth) {
    mpx.recordings(1);
    snprintf(mpx.block.table[4].string, VR_TEXT_SIZE, "A title far longer than sixteen");
    snprintf(mpx.block.table[5].string, VR_TEXT_SIZE, "A channel with a long name");
    const LcdScreen& s = compose(16, 2).screens[0];
    EXPECT_EQ(LCD_WIDGET_STRING, s.rows[0].kind);
    EXPECT_STREQ("A channel wi REC", s.rows[0].text);
    EXPECT_EQ(LCD_WIDGET_SCROLLER, s.rows[1].kind);
    EXPECT_STREQ("A title far longer than sixteen", s.rows[1].text);
    for (int r = 2; r < LCD_MAX_ROWS; r++) EXPECT_EQ(LCD_WIDGET_NONE, s.rows[r].kind) << "rows beyond the display";
}

// The commands of a diff, one a line.
std::vector<std::string> lines_of(const LcdCommands& c) {
    std::vector<std::string> v;
    for (int i = 0; i < c.count; i++) {
        size_t from = static_cast<size_t>(c.starts[i]);
        size_t to = i + 1 < c.count ? static_cast<size_t>(c.starts[i + 1]) : c.len;
        EXPECT_EQ('\n', c.bytes[to - 1]);
        v.emplace_back(c.bytes + from, to - from - 1);
    }
    return v;
}

class Diff : public Screens {
protected:
    std::vector<std::string> diff(const LcdScreens& have, const LcdScreens& want, int width = 16) {
        static LcdCommands cmds;
        cmds.clear();
        lcd_diff(have, want, display(width, 2), &cmds);
        EXPECT_FALSE(cmds.overflow);
        // No command holds a line end of its own: each is exactly one line.
        EXPECT_EQ(static_cast<long>(cmds.count), std::count(cmds.bytes, cmds.bytes + cmds.len, '\n'));
        return lines_of(cmds);
    }
    LcdScreens none_;
};

TEST_F(Diff, NewScreenIsAddedWithItsOptionsOneACommandAndItsWidgets) {
    mpx.recordings(1);
    LcdScreens want = compose(16, 2);
    EXPECT_EQ((std::vector<std::string>{
                  "screen_add vistrel_rec1",
                  "screen_set vistrel_rec1 -name \"Recording 1\"",
                  "screen_set vistrel_rec1 -priority foreground",
                  "screen_set vistrel_rec1 -heartbeat off",
                  "widget_add vistrel_rec1 t1 string",
                  "widget_set vistrel_rec1 t1 1 1 \"Channel 1    REC\"",
                  "widget_add vistrel_rec1 t2 string",
                  "widget_set vistrel_rec1 t2 1 2 \"Title 1\"",
              }),
              diff(none_, want));
    EXPECT_TRUE(diff(want, want).empty()) << "nothing is sent for what stays";
}

TEST_F(Diff, OnlyWhatChangedIsSent) {
    mpx.recordings(1);
    playing("News", 10, 100, false);
    LcdScreens before = compose(16, 2);
    // A second later the position moves; a long title begins to scroll; the recording ends.
    snprintf(wfr.block.table[1].string, VR_TEXT_SIZE, "11");
    wfr.block.table[1].ival = 11;
    snprintf(wfr.block.table[5].string, VR_TEXT_SIZE, "News \"at ten\" and the weather");
    snprintf(mpx.block.table[3].string, VR_TEXT_SIZE, "false");  // Recording1.IsRecording
    LcdScreens after = compose(16, 2);
    EXPECT_EQ((std::vector<std::string>{
                  "screen_del vistrel_rec1",
                  "widget_del vistrel_play t1",
                  "widget_add vistrel_play m1 scroller",
                  "widget_set vistrel_play m1 1 1 16 1 m 2 \"News \\\"at ten\\\" and the weather\"",
                  "widget_set vistrel_play t2 1 2 \"0:11 ------ 1:40\"",
              }),
              diff(before, after));
}

TEST_F(Diff, HostileTextStaysInsideItsArgument) {
    mpx.recordings(1);
    snprintf(mpx.block.table[4].string, VR_TEXT_SIZE, "x\\\"\\r\\nscreen_del a\nwidget_del b \"c\\\\");
    std::vector<std::string> lines = diff(none_, compose(80, 2), 80);
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ("widget_set vistrel_rec1 t2 1 2 \"x\\\"  screen_del a widget_del b \\\"c\\\\\"", lines[7]);
}

// A mark is added after its row's widget, set when it changes, taken off when it goes, and
// added again after a row widget that is added anew, so that LCDd draws it over the row.
TEST_F(Diff, MarksFollowTheirRows) {
    mpx.recordings(1);
    LcdScreens none = compose(16, 2);
    none.screens[0].rows[0].icon[0] = '\0';
    LcdScreens rec = none;
    snprintf(rec.screens[0].rows[0].icon, sizeof rec.screens[0].rows[0].icon, "REC");
    rec.screens[0].rows[0].icon_column = 14;
    std::vector<std::string> added = diff(none_, rec);
    auto at = std::find(added.begin(), added.end(), "widget_add vistrel_rec1 i1 icon");
    ASSERT_NE(added.end(), at);
    EXPECT_EQ("widget_set vistrel_rec1 i1 14 1 REC", *(at + 1));
    EXPECT_LT(std::find(added.begin(), added.end(), "widget_add vistrel_rec1 t1 string"), at);

    LcdScreens moved = rec;
    moved.screens[0].rows[0].icon_column = 15;
    EXPECT_EQ((std::vector<std::string>{"widget_set vistrel_rec1 i1 15 1 REC"}), diff(rec, moved));
    EXPECT_EQ((std::vector<std::string>{"widget_del vistrel_rec1 i1"}), diff(rec, none));
    LcdScreens scrolling = rec;
    scrolling.screens[0].rows[0].kind = LCD_WIDGET_SCROLLER;
    EXPECT_EQ((std::vector<std::string>{"widget_del vistrel_rec1 t1", "widget_add vistrel_rec1 m1 scroller",
                                        "widget_set vistrel_rec1 m1 1 1 16 1 m 2 \"Channel 1    REC\"",
                                        "widget_del vistrel_rec1 i1", "widget_add vistrel_rec1 i1 icon",
                                        "widget_set vistrel_rec1 i1 14 1 REC"}),
              diff(rec, scrolling));
}

// The big digits are LCDd's number widgets, ':' its number 10: all of them added with the
// screen, then only a digit that changed, and all anew when their places change.
TEST_F(Diff, BigDigitsAreNumberWidgetsSetOnlyWhenTheyChange) {
    LcdScreens idle = compose(20, 4);
    auto digits = [&](const char* text) {
        LcdScreens next = idle;
        LcdScreen& n = next.screens[0];
        snprintf(n.digits, sizeof n.digits, "%s", text);
        n.digit_count = static_cast<int>(strlen(text));
        EXPECT_TRUE(lcd_digit_columns(n.digits, n.digit_count, 20, n.digit_columns));
        return next;
    };
    LcdScreens at = digits("09:59"), later = digits("10:00"), seconds = digits("10:00:01");
    std::vector<std::string> added = diff(none_, at, 20);
    auto first = std::find(added.begin(), added.end(), "widget_add vistrel_idle d1 num");
    ASSERT_NE(added.end(), first);
    EXPECT_EQ((std::vector<std::string>{"widget_add vistrel_idle d1 num", "widget_set vistrel_idle d1 2 0",
                                        "widget_add vistrel_idle d2 num", "widget_set vistrel_idle d2 6 9",
                                        "widget_add vistrel_idle d3 num", "widget_set vistrel_idle d3 10 10",
                                        "widget_add vistrel_idle d4 num", "widget_set vistrel_idle d4 12 5",
                                        "widget_add vistrel_idle d5 num", "widget_set vistrel_idle d5 16 9"}),
              std::vector<std::string>(first, first + 10));
    EXPECT_EQ((std::vector<std::string>{"widget_set vistrel_idle d1 2 1", "widget_set vistrel_idle d2 6 0",
                                        "widget_set vistrel_idle d4 12 0", "widget_set vistrel_idle d5 16 0"}),
              diff(at, later, 20));
    std::vector<std::string> moved = diff(later, seconds, 20);
    ASSERT_EQ(5u + 16u, moved.size());
    EXPECT_EQ("widget_del vistrel_idle d5", moved[4]);
    EXPECT_EQ("widget_set vistrel_idle d8 18 1", moved.back());
}

TEST_F(Diff, BacklightOffAndBackAsTheScreenSays) {
    LcdScreens lit = compose(16, 2);
    LcdScreens dark = lit;
    dark.screens[0].dark = true;
    EXPECT_EQ((std::vector<std::string>{"screen_set vistrel_idle -backlight off"}), diff(lit, dark));
    EXPECT_EQ((std::vector<std::string>{"screen_set vistrel_idle -backlight open"}), diff(dark, lit));
    std::vector<std::string> added = diff(none_, dark);
    EXPECT_NE(added.end(), std::find(added.begin(), added.end(), "screen_set vistrel_idle -backlight off"));
    added = diff(none_, lit);
    for (const std::string& l : added) EXPECT_EQ(std::string::npos, l.find("-backlight")) << l;
}

TEST_F(Diff, BarsAndPriorityChanges) {
    mpx.recordings(1);
    LcdScreens before = compose(20, 4);
    LcdScreens after = before;
    after.screens[0].rows[3].pixels = 60;
    after.screens[0].foreground = false;
    EXPECT_EQ((std::vector<std::string>{
                  "screen_set vistrel_rec1 -name \"Recording 1\"",
                  "screen_set vistrel_rec1 -priority info",
                  "widget_set vistrel_rec1 b4 1 4 60",
              }),
              diff(before, after, 20));
    static LcdCommands cmds;
    cmds.clear();
    lcd_remove_all(after, &cmds);
    EXPECT_EQ((std::vector<std::string>{"screen_del vistrel_rec1"}), lines_of(cmds));
}

TEST_F(Diff, BatchThatCannotHoldMoreSaysSo) {
    static LcdCommands cmds;
    cmds.clear();
    std::string line(1000, 'x');
    for (int i = 0; i < 70; i++) cmds.add(line.c_str(), line.size());
    EXPECT_TRUE(cmds.overflow);
    EXPECT_EQ(65, cmds.count);
    EXPECT_LE(cmds.len, LcdCommands::kBytes);
}

// A set of screens whose commands are far more than one batch holds: every row a scrolling line
// of quotes, which the quoting doubles.
LcdScreens crowded(int count) {
    LcdScreens set;
    set.count = count;
    for (int i = 0; i < count; i++) {
        LcdScreen& s = set.screens[i];
        snprintf(s.id, sizeof s.id, "vistrel_rec%d", i + 1);
        snprintf(s.title, sizeof s.title, "Recording %d", i + 1);
        s.foreground = true;
        for (LcdRow& r : s.rows) {
            r.kind = LCD_WIDGET_SCROLLER;
            r.len = LCD_TEXT_MAX;
            memset(r.text, '"', LCD_TEXT_MAX);
            r.text[0] = static_cast<char>('A' + i);
        }
    }
    return set;
}

// The screens that a batch adds, and how many widgets it sets on each.
std::vector<std::pair<std::string, int>> added(const LcdCommands& cmds) {
    std::vector<std::pair<std::string, int>> screens;
    for (const std::string& l : lines_of(cmds)) {
        if (l.rfind("screen_add ", 0) == 0) screens.emplace_back(l.substr(11), 0);
        if (l.rfind("widget_set ", 0) == 0) {
            EXPECT_FALSE(screens.empty());
            if (screens.empty()) continue;
            EXPECT_EQ(0u, l.find("widget_set " + screens.back().first + " ")) << "a widget of another screen";
            screens.back().second++;
        }
    }
    return screens;
}

// An update larger than a batch sends whole screens only and records only those as sent: the
// next updates bring the others, and then nothing is left to send.
TEST_F(Diff, UpdateLargerThanABatchSendsWholeScreensAndRecordsOnlyThose) {
    LcdScreens want = crowded(LCD_MAX_SCREENS);
    LcdScreens have, sent;
    static LcdCommands cmds;
    std::vector<std::string> seen;
    int updates = 0;
    for (; updates < 5; updates++) {
        cmds.clear();
        lcd_diff(have, want, display(80, 8), &cmds, &sent);
        EXPECT_LE(cmds.len, LcdCommands::kBytes);
        std::vector<std::pair<std::string, int>> screens = added(cmds);
        for (const auto& [id, widgets] : screens) {
            EXPECT_EQ(LCD_MAX_ROWS, widgets) << id << " sent in part";
            seen.push_back(id);
        }
        // What is recorded as sent is what the batch holds, no more.
        std::vector<std::string> recorded;
        for (int i = 0; i < sent.count; i++) recorded.push_back(sent.screens[i].id);
        EXPECT_EQ(seen, recorded) << "update " << updates;
        EXPECT_EQ(static_cast<size_t>(sent.count) < static_cast<size_t>(want.count), cmds.overflow);
        have = sent;
        if (cmds.count == 0) break;
    }
    EXPECT_EQ(2, updates) << "two full batches, then nothing left";
    EXPECT_EQ(static_cast<size_t>(LCD_MAX_SCREENS), seen.size());
    EXPECT_EQ(want.count, have.count);
}

// What a stop cut short is taken off too: have's screens, and want's that have lacks, once each.
TEST_F(Diff, RemovalAfterAnUpdateCutShortTakesBothSets) {
    LcdScreens have = crowded(2), want = crowded(3);
    static LcdCommands cmds;
    cmds.clear();
    lcd_remove_all(have, &cmds, &want);
    EXPECT_EQ((std::vector<std::string>{"screen_del vistrel_rec1", "screen_del vistrel_rec2", "screen_del vistrel_rec3"}),
              lines_of(cmds));
}

}  // namespace
