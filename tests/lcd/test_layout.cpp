// test_layout.cpp - the layout: the built-in one, a layout file over it, its refused lines, the section per display height.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "lcd.h"
#include "other_user.h"
#include "scratch.h"

namespace {

// Every test in a scratch folder with a log of its own, so that refused lines can be read back.
class Layout : public ::testing::Test {
protected:
    void SetUp() override {
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "lcd_test.log");
        MP_Global_Debug = 1;
        MP_open_log();
        lcd_layout_load(&layout_, nullptr);
    }
    void TearDown() override { MP_log_reset(); }
    std::vector<std::string> errors() const {
        std::vector<std::string> found;
        for (const std::string& l : read_lines(VP_PLUGINS "lcd_test.log"))
            if (l.find("**Error**") != std::string::npos) found.push_back(l);
        return found;
    }
    int read(const std::string& text) { return lcd_layout_read(&layout_, text.data(), text.size(), "my.layout"); }
    const LcdRowTemplate& row(LcdScreenKind screen, int rows, int r) const {
        const LcdSection* s = lcd_layout_pick(layout_, screen, rows);
        EXPECT_NE(nullptr, s);
        return s->rows[r];
    }

    ScratchDir dir_;
    LcdLayout layout_;
};

TEST_F(Layout, BuiltInLayoutHasEveryScreenForSmallAndLargeDisplays) {
    EXPECT_TRUE(errors().empty());
    struct Case {
        LcdScreenKind screen;
        int rows;
        int picked;  // the rows of the section taken
        int shown;   // rows with a template
    } cases[] = {
        {LCD_RECORDING, 1, 1, 2}, {LCD_RECORDING, 2, 1, 2}, {LCD_RECORDING, 3, 1, 2}, {LCD_RECORDING, 4, 4, 4},
        {LCD_RECORDING, 8, 4, 4}, {LCD_PLAYING, 2, 1, 2},   {LCD_PLAYING, 4, 4, 4},   {LCD_IDLE, 2, 1, 2},
        {LCD_IDLE, 4, 4, 1},
    };
    for (const Case& c : cases) {
        const LcdSection* s = lcd_layout_pick(layout_, c.screen, c.rows);
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(c.picked, s->min_rows) << lcd_screen_names[c.screen] << " on " << c.rows;
        int shown = 0;
        for (const LcdRowTemplate& r : s->rows) shown += r.kind != LCD_ROW_NONE;
        EXPECT_EQ(c.shown, shown) << lcd_screen_names[c.screen] << " on " << c.rows;
    }
    EXPECT_STREQ("{Recording#.ChannelName}{|} REC", row(LCD_RECORDING, 4, 0).text);
    EXPECT_EQ(LCD_ROW_BAR, row(LCD_RECORDING, 4, 3).kind);
    EXPECT_EQ(LCD_ROW_BAR, row(LCD_PLAYING, 4, 2).kind);
    EXPECT_STREQ("{@Time:hhmm}", lcd_layout_pick(layout_, LCD_IDLE, 4)->digits);
    EXPECT_STREQ("", lcd_layout_pick(layout_, LCD_IDLE, 2)->digits);
}

TEST_F(Layout, FileReplacesOnlyTheScreensItNames) {
    EXPECT_EQ(0, read("// mine\r\n[idle]\r\nLine1=Hello {@Time}\r\n\r\n[idle:4]\nLine3=  indented\nBar4={a} {b}\n"));
    EXPECT_STREQ("Hello {@Time}", row(LCD_IDLE, 2, 0).text);
    EXPECT_EQ(LCD_ROW_NONE, row(LCD_IDLE, 2, 1).kind) << "the built-in idle rows are gone";
    EXPECT_STREQ("  indented", row(LCD_IDLE, 4, 2).text);
    EXPECT_EQ(LCD_ROW_BAR, row(LCD_IDLE, 4, 3).kind);
    // The other screens keep their built-in sections.
    EXPECT_STREQ("{Recording#.Title}", row(LCD_RECORDING, 2, 1).text);
    EXPECT_EQ(4, lcd_layout_pick(layout_, LCD_PLAYING, 4)->min_rows);
    EXPECT_TRUE(errors().empty());
}

TEST_F(Layout, OnlyTheSmallestSectionWhenNoneFits) {
    read("[playing:3]\nLine1=three\n[playing:6]\nLine1=six\n");
    EXPECT_STREQ("three", row(LCD_PLAYING, 2, 0).text);
    EXPECT_STREQ("three", row(LCD_PLAYING, 5, 0).text);
    EXPECT_STREQ("six", row(LCD_PLAYING, 8, 0).text);
}

TEST_F(Layout, TextIsUtf8AndControlsBecomeBlanks) {
    // A letter beyond Latin-1 in its plain form, as in the blocks' texts.
    read("[idle]\nLine1=Caf\xc3\xa9 \xe2\x82\xac\tx \xe4\xb8\xad\n");
    EXPECT_STREQ("Caf\xe9 EUR x ?", row(LCD_IDLE, 2, 0).text);
}

TEST_F(Layout, LinesThatCannotBeUsedAreNamedAndTheRestIsRead) {
    struct Case {
        const char* line;
        const char* reason;
    } cases[] = {
        {"[nosuch]", "no screen of that name"},
        {"[idle:9]", "rows of a section are 1 to 8"},
        {"[idle:0]", "rows of a section are 1 to 8"},
        {"[idle:x]", "rows of a section are 1 to 8"},
        {"[idle", "must end with ']'"},
        {"Line9=x", "Line1= to Line8="},
        {"Line=x", "Line1= to Line8="},
        {"Line1x", "Line1= to Line8="},
        {"Colour=red", "neither a section header nor"},
        {"Bar2={Position}", "a bar needs two tags"},
        {"TimeBar2={Position}", "a bar needs two tags"},
        {"TimeBar9={Position} {Duration}", "TimeBar1= to TimeBar8="},
        {"Mark1=REC", "a mark is a column"},
        {"Mark1=0 REC", "a mark is a column"},
        {"Mark1=81 REC", "a mark is a column"},
        {"Mark1=20", "a mark is a column"},
        {"Mark1=20 SMILE", "no icon of LCDd's of that name"},
        {"Digits={@Time:hm}", "an unknown format"},
    };
    for (const Case& c : cases) {
        MP_log_reset();
        remove(VP_PLUGINS "lcd_test.log");
        MP_open_log();
        lcd_layout_load(&layout_, nullptr);
        EXPECT_EQ(1, read(std::string("[playing]\nLine1=before\n") + c.line + "\nLine2=after\n")) << c.line;
        std::vector<std::string> e = errors();
        ASSERT_EQ(1u, e.size()) << c.line;
        EXPECT_NE(std::string::npos, e[0].find("my.layout:3: ")) << e[0];
        EXPECT_NE(std::string::npos, e[0].find(c.reason)) << e[0];
    }
}

// A mark goes beside what its row shows: the row keeps its kind and template.
TEST_F(Layout, MarksBesideTheRowsTheyStandOn) {
    EXPECT_EQ(0, read("[playing]\nLine1=title\nMark1=16 {IsPaused:yes=PAUSE}\nMark2=1 REC\n"));
    const LcdRowTemplate& first = row(LCD_PLAYING, 2, 0);
    EXPECT_EQ(LCD_ROW_TEXT, first.kind);
    EXPECT_STREQ("title", first.text);
    EXPECT_EQ(16, first.mark_column);
    EXPECT_STREQ("{IsPaused:yes=PAUSE}", first.mark);
    EXPECT_EQ(LCD_ROW_NONE, row(LCD_PLAYING, 2, 1).kind);
    EXPECT_EQ(1, row(LCD_PLAYING, 2, 1).mark_column);
    EXPECT_STREQ("REC", row(LCD_PLAYING, 2, 1).mark);
}

TEST_F(Layout, TimeBarRowsAndNumbersAsAMaximum) {
    EXPECT_EQ(0, read("[playing]\nTimeBar2={Position} {Duration}\n[volume]\nBar1={Volume} {100}\n"));
    EXPECT_EQ(LCD_ROW_TIMEBAR, row(LCD_PLAYING, 2, 1).kind);
    EXPECT_STREQ("{Position} {Duration}", row(LCD_PLAYING, 2, 1).text);
    EXPECT_EQ(LCD_ROW_BAR, row(LCD_VOLUME, 2, 0).kind);
}

TEST_F(Layout, RowsOfAnUnusableSectionGoNowhere) {
    EXPECT_EQ(1, read("[playing]\nLine1=mine\n[bogus]\nLine1=lost\nLine2=lost too\n"));
    EXPECT_STREQ("mine", row(LCD_PLAYING, 2, 0).text);
    EXPECT_EQ(LCD_ROW_NONE, row(LCD_PLAYING, 2, 1).kind);
    EXPECT_EQ(1, read("Line1=before any section\n"));
}

TEST_F(Layout, TemplatesThatWouldNotShowAsMeantAreNamedButKept) {
    EXPECT_EQ(2, read("[idle]\nLine1={Position:upper}\nLine2=" + std::string(LCD_TEMPLATE_MAX + 1, 'x') + "\n"));
    EXPECT_STREQ("{Position:upper}", row(LCD_IDLE, 2, 0).text);
    EXPECT_EQ(LCD_ROW_NONE, row(LCD_IDLE, 2, 1).kind) << "a template too long for its room is left out";
    std::vector<std::string> e = errors();
    ASSERT_EQ(2u, e.size());
    EXPECT_NE(std::string::npos, e[0].find("unknown format"));
    EXPECT_NE(std::string::npos, e[1].find("longer than 200"));
}

TEST_F(Layout, SectionOfTheSameScreenAndHeightGoesOnWhereItWas) {
    EXPECT_EQ(0, read("[idle]\nLine1=a\n[playing]\nLine1=p\n[idle:1]\nLine2=b\nLine1=c\n"));
    EXPECT_STREQ("c", row(LCD_IDLE, 2, 0).text) << "the later line of a row wins";
    EXPECT_STREQ("b", row(LCD_IDLE, 2, 1).text);
    // Every screen at every height fits the layout's room.
    std::string text;
    for (int s = 0; s < LCD_SCREEN_KINDS; s++)
        for (int r = 1; r <= LCD_MAX_ROWS; r++)
            text += "[" + std::string(lcd_screen_names[s]) + ":" + std::to_string(r) + "]\nLine" + std::to_string(r) +
                    "=" + std::to_string(r) + "\n";
    EXPECT_EQ(0, read(text));
    EXPECT_STREQ("5", row(LCD_PLAYING, 5, 4).text);
}

TEST_F(Layout, FileReadFromItsPathOrTheBuiltInOneAlone) {
    lcd_layout_load(&layout_, VP_PLUGINS "lcd.layout");
    EXPECT_STREQ("{Recording#.Title}", row(LCD_RECORDING, 2, 1).text) << "no file: built in";
    write_file(VP_PLUGINS "lcd.layout", "[recording]\nLine2=Now: {Recording#.Title}\n");
    lcd_layout_load(&layout_, VP_PLUGINS "lcd.layout");
    EXPECT_STREQ("Now: {Recording#.Title}", row(LCD_RECORDING, 2, 1).text);
    EXPECT_TRUE(errors().empty());
    // Past 64 KiB the rest is not read, and that is said.
    write_file(VP_PLUGINS "lcd.layout", "[idle]\nLine1=kept\n" + std::string(70000, '/') + "\nLine2=lost\n");
    lcd_layout_load(&layout_, VP_PLUGINS "lcd.layout");
    EXPECT_STREQ("kept", row(LCD_IDLE, 2, 0).text);
    EXPECT_EQ(LCD_ROW_NONE, row(LCD_IDLE, 2, 1).kind);
    ASSERT_EQ(1u, errors().size());
    EXPECT_NE(std::string::npos, errors()[0].find("longer than 65536 bytes"));
}

#ifndef _WIN32
// The layout decides what the display shows: a link (someone may have put it there) and a file
// of another user are not read, and the built-in layout stays.
TEST_F(Layout, ALinkOrAnotherUsersFileIsNotRead) {
    write_file("elsewhere.layout", "[recording]\nLine2=Elsewhere: {Recording#.Title}\n");
    const char* path = VP_PLUGINS "lcd.layout";
    ASSERT_EQ(0, symlink("../elsewhere.layout", path));
    lcd_layout_load(&layout_, path);
    EXPECT_STREQ("{Recording#.Title}", row(LCD_RECORDING, 2, 1).text);
    ASSERT_EQ(1u, errors().size());
    EXPECT_NE(std::string::npos, errors()[0].find(std::string(path) + " is not read: it is a symbolic link; the built-in layout is shown"))
        << errors()[0];
    if (!can_act_as_other_user()) {
        std::printf("skipped (needs root): a file of another user\n");
        return;
    }
    ASSERT_EQ(0, unlink(path));
    write_file(path, "[recording]\nLine2=Theirs: {Recording#.Title}\n");
    ASSERT_EQ(0, chown(path, kOtherUid, kOtherUid));
    lcd_layout_load(&layout_, path);
    EXPECT_STREQ("{Recording#.Title}", row(LCD_RECORDING, 2, 1).text);
    ASSERT_EQ(2u, errors().size());
    EXPECT_NE(std::string::npos, errors()[1].find("it belongs to another user")) << errors()[1];
}
#endif

}  // namespace
