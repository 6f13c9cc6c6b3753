// test_template.cpp - templates expanded with tag values: formats, missing tags, the right-hand part, cuts.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "lcd.h"

namespace {

struct Tag {
    int type;
    int ival;
    std::string text;
    vr_encoding enc = VR_TEXT_RAW;
};

// A table of tags by name, looked up as a block's are.
const std::map<std::string, Tag> kTags = {
    {"Recording1.ChannelName", {VR_TYPE_INT, 0, "Das Erste"}},
    {"Recording1.Title", {VR_TYPE_TEXT, 0, "Tatort: \\\"Sch sse\\\" im Morgengrauen"}},
    {"Recording2.Title", {VR_TYPE_TEXT, 0, "La Ni a"}},
    {"Recording1.SoFar", {VR_TYPE_TIME, 0, "0:10:46"}},
    {"Recording1.Duration", {VR_TYPE_TIME, 0, "2:05:00"}},
    {"Recording1.StartTime", {VR_TYPE_TIME, 0, "Mon Dec  7 23:41:51 2026"}},
    {"Position", {VR_TYPE_INT, 110, "110"}},
    {"Duration", {VR_TYPE_INT, 7500, "7500"}},
    {"IsPaused", {VR_TYPE_TEXT, 0, "false"}},
    {"IsPlaying", {VR_TYPE_TEXT, 1, "true"}},
    {"Channel5.Id", {VR_TYPE_INT, 5, "5"}},
    {"Braces", {VR_TYPE_TEXT, 0, "{Position} {|} x"}},
    {"Cafe", {VR_TYPE_TEXT, 0, "Caf\xc3\xa9", VR_TEXT_UTF8}},
};

bool look_up(const char* name, LcdValue* v, void*) {
    auto it = kTags.find(name);
    if (it == kTags.end()) return false;
    v->type = it->second.type;
    v->ival = it->second.ival;
    v->text = it->second.text.c_str();
    v->len = it->second.text.size();
    v->encoding = it->second.enc;
    return true;
}

LcdLine expand(const std::string& tmpl, int width, int number = 0) {
    LcdSource source{look_up, nullptr, number};
    LcdLine line;
    lcd_expand(tmpl.c_str(), source, width, &line);
    EXPECT_EQ(static_cast<size_t>(line.len), std::string(line.text).size()) << tmpl;
    return line;
}

TEST(Template, FieldsAndFormats) {
    struct Case {
        const char* tmpl;
        int number;
        const char* out;
    } cases[] = {
        {"{Recording1.ChannelName} REC", 0, "Das Erste REC"},
        {"{Recording#.ChannelName}", 1, "Das Erste"},
        {"{Recording#.Title}", 2, "La Ni a"},
        {"{Position:mmss}/{Duration:mmss}", 0, "01:50/125:00"},
        {"{Position:hmmss} {Duration:hmm}", 0, "0:01:50 2:05"},
        {"{Recording1.SoFar:hmm}/{Recording1.Duration:hmmss}", 0, "0:10/2:05:00"},
        {"{Recording1.SoFar:mmss}", 0, "10:46"},
        {"{Recording1.StartTime:hhmm} {Recording1.StartTime:hhmmss}", 0, "23:41 23:41:51"},
        {"{IsPaused:yes=PAUSED}|{IsPaused:no=playing}|{IsPlaying:yes=>}", 0, "|playing|>"},
        {"{Channel5.Id:yes=on}", 0, "on"},
        {"{Cafe}", 0, "Caf\xe9"},
        // A tag's text is shown, never read as a template: braces in it stay text.
        {"[{Braces}]", 0, "[{Position} {|} x]"},
        // Formats that do not fit the value show nothing.
        {"<{Recording1.Title:mmss}{Position:hhmm}>", 0, "<>"},
        // A format that is not known shows the value as it is.
        {"{Position:upper}", 0, "110"},
    };
    for (const Case& c : cases) {
        LcdLine line = expand(c.tmpl, 40, c.number);
        EXPECT_EQ(c.out, std::string(line.text)) << c.tmpl;
        EXPECT_FALSE(line.scroll) << c.tmpl;
    }
}

TEST(Template, MissingTagsShowAsNothing) {
    struct Case {
        std::string tmpl;
        int number;
        const char* out;
    } cases[] = {
        {"[{NoSuchTag}]", 0, "[]"},
        {"{Recording#.Title}", 3, ""},
        {"{Recording#.Title}", 0, ""},  // '#' stays and names no tag
        {"{NoSuchTag:mmss}{NoSuchTag:yes=x}{NoSuchTag:no=y}", 0, ""},
        {"{}{:mmss}", 0, ""},
        {"{" + std::string(70, 'A') + "}", 0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.out, std::string(expand(c.tmpl, 40, c.number).text)) << c.tmpl;
}

TEST(Template, LiteralBracesWithoutTheirPartnerStay) {
    EXPECT_EQ("a { b", std::string(expand("a { b", 40).text));
    EXPECT_EQ("x} {110", std::string(expand("x} {{Position}", 40).text));
    EXPECT_EQ("{Position", std::string(expand("{Position", 40).text));
}

TEST(Template, CutsToTheLineWidth) {
    struct Case {
        const char* tmpl;
        int width;
        const char* out;
        bool scroll;
    } cases[] = {
        // Fits: as long as it is.
        {"{Recording1.ChannelName}", 16, "Das Erste", false},
        {"{Recording1.ChannelName}", 9, "Das Erste", false},
        // Longer: the whole text, scrolling.
        {"{Recording1.Title}", 16, "Tatort: \"Sch sse\" im Morgengrauen", true},
        // "{|}": exactly the width, the right-hand part in sight, the left cut for it.
        {"{Recording1.ChannelName}{|} REC", 16, "Das Erste    REC", false},
        {"{Recording1.ChannelName}{|} REC", 12, "Das Erst REC", false},
        {"{Recording1.ChannelName}{|} REC", 11, "Das Ers REC", false},
        // A right-hand part wider than the line keeps its beginning.
        {"{Recording1.ChannelName}{|} REC", 3, " RE", false},
        {"{Recording1.ChannelName}{|} REC", 2, " R", false},
        {"{Position:mmss}/{Duration:mmss}{|}{IsPaused:yes= ||}", 16, "01:50/125:00    ", false},
        {"{|}{Position}", 5, "  110", false},
    };
    for (const Case& c : cases) {
        LcdLine line = expand(c.tmpl, c.width);
        EXPECT_EQ(c.out, std::string(line.text)) << c.tmpl << " in " << c.width;
        EXPECT_EQ(c.scroll, line.scroll) << c.tmpl << " in " << c.width;
        if (!line.scroll) {
            EXPECT_LE(line.len, c.width) << c.tmpl;
        }
    }
}

TEST(Template, NoLineIsLongerThanItsBound) {
    std::string many;
    for (int i = 0; i < 20; i++) many += "{Recording1.Title}";
    LcdLine line = expand(many, 20);
    EXPECT_TRUE(line.scroll);
    EXPECT_EQ(LCD_TEXT_MAX, line.len);
    LcdLine right = expand(many + "{|}" + many, 80);
    EXPECT_EQ(80, right.len);
    EXPECT_EQ("Tatort", std::string(right.text).substr(0, 6));
    // Widths outside 1 to 80 are taken as the nearest.
    EXPECT_EQ(LCD_MAX_WIDTH, expand("{|}x", 500).len);
    EXPECT_EQ(1, expand("{|}x", 0).len);
}

TEST(Template, CheckNamesWhatWouldNotShowAsMeant) {
    struct Case {
        const char* tmpl;
        bool ok;
    } cases[] = {
        {"{Recording#.Title}{|}{IsPaused:yes=||} {Position:mmss}", true},
        {"plain text", true},
        {"{Position:hhmm}{Position:no=x}{@Time:hhmmss}", true},
        {"{Position:upper}", false},
        {"{Position", false},
        {"{}", false},
        {"{:mmss}", false},
        {"{a{b}", false},
        {"{Recording####.ChannelName.And.A.Very.Long.Tail.Of.Names.Beyond.Sixty}", false},
    };
    for (const Case& c : cases) {
        char why[120] = "";
        EXPECT_EQ(c.ok ? 0 : -1, lcd_template_check(c.tmpl, why, sizeof why)) << c.tmpl;
        EXPECT_EQ(c.ok, why[0] == '\0') << c.tmpl << ": " << why;
    }
}

TEST(Template, SecondsFromNumbersAndDurations) {
    struct Case {
        int type, ival;
        const char* text;
        bool ok;
        long long seconds;
    } cases[] = {
        {VR_TYPE_INT, 110, "110", true, 110},
        {VR_TYPE_TIME, 0, "0:45:00", true, 2700},
        {VR_TYPE_TIME, 0, "125:00:01", true, 450001},
        {VR_TYPE_TEXT, 0, "1:50", true, 110},
        {VR_TYPE_TEXT, 0, " 42 ", true, 42},
        {VR_TYPE_INT, 7, "seven", true, 7},  // an integer tag's number when its text is none
        {VR_TYPE_INT, -5, "x", false, 0},
        {VR_TYPE_TIME, 0, "Mon Dec  7 23:41:51 2026", false, 0},
        {VR_TYPE_TEXT, 0, "1:2:3:4", false, 0},
        {VR_TYPE_TEXT, 0, "1:", false, 0},
        {VR_TYPE_TEXT, 0, "", false, 0},
        {VR_TYPE_TEXT, 0, "1e3", false, 0},
    };
    for (const Case& c : cases) {
        LcdValue v;
        v.type = c.type;
        v.ival = c.ival;
        v.text = c.text;
        v.len = strlen(c.text);
        long long s = -1;
        EXPECT_EQ(c.ok, lcd_seconds_of(v, &s)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.seconds, s) << c.text;
        }
    }
}

TEST(Template, BarsOfTwoTags) {
    char value[VR_NAME_SIZE], maximum[VR_NAME_SIZE];
    ASSERT_TRUE(lcd_bar_names("{Recording#.SoFar} {Recording#.Duration}", 12, value, maximum));
    EXPECT_STREQ("Recording12.SoFar", value);
    EXPECT_STREQ("Recording12.Duration", maximum);
    ASSERT_TRUE(lcd_bar_names("{|}{Position:mmss} of {Duration}", 0, value, maximum));
    EXPECT_STREQ("Position", value);
    EXPECT_STREQ("Duration", maximum);
    EXPECT_FALSE(lcd_bar_names("{Position}", 0, value, maximum));
    EXPECT_FALSE(lcd_bar_names("{Position} {Dura", 0, value, maximum));

    struct Case {
        long long value, maximum;
        int width, cellwid, pixels;
    } cases[] = {
        {900, 1800, 20, 5, 50}, {600, 1800, 20, 5, 33}, {0, 1800, 16, 5, 0},    {1800, 1800, 16, 5, 80},
        {5000, 1800, 16, 6, 96}, {-3, 1800, 20, 5, 0},  {10, 0, 20, 5, 0},      {10, -1, 20, 5, 0},
        {1LL << 40, 1LL << 41, 80, 64, 2560},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.pixels, lcd_bar_pixels(c.value, c.maximum, c.width, c.cellwid)) << c.value << "/" << c.maximum;
}

}  // namespace
