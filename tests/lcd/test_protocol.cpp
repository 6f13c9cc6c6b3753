// test_protocol.cpp - LCDd's line protocol: quoted arguments, the answer to hello, its lines however they arrive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lcd.h"

namespace {

std::string quote(const std::string& text, size_t size = 600) {
    std::string out(size, '\x7f');
    size_t n = lcd_quote(text.data(), text.size(), out.data(), size);
    EXPECT_EQ('\0', out[n]);
    return out.substr(0, n);
}

TEST(Quote, TextBecomesOneArgumentThatNothingInItCanEnd) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"Das Boot", "\"Das Boot\""},
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\nb \\", "\"a\\\\nb \\\\\""},
        {"{Recording1.Title} {x y}", "\"{Recording1.Title} {x y}\""},
        {"end\r\nscreen_del vistrel_rec1", "\"end  screen_del vistrel_rec1\""},
        {"tab\there\x1b[2J\x7f", "\"tab here [2J \""},
        {"\x9b" "31m\x85\xa0\xe9\xff", "\" 31m \xa0\xe9\xff\""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.out, quote(c.in)) << c.in;
}

TEST(Quote, WhatDoesNotFitIsNotSentAtAll) {
    EXPECT_EQ("\"ab\"", quote("ab", 5));
    EXPECT_EQ("", quote("ab", 4));
    EXPECT_EQ("", quote("a\"", 5));  // the escape makes it five characters
    char none = 'x';
    EXPECT_EQ(0u, lcd_quote("a", 1, &none, 0));
    EXPECT_EQ('x', none);
}

TEST(Connect, DisplaySizeFromTheAnswerToHello) {
    struct Case {
        const char* line;
        int width, rows, cellwid, cellhgt, real_width, real_rows;
    } cases[] = {
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt 4 cellwid 5 cellhgt 8", 20, 4, 5, 8, 20, 4},
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 16 hgt 2 cellwid 5 cellhgt 8", 16, 2, 5, 8, 16, 2},
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 40 hgt 2 cellwid 6 cellhgt 8", 40, 2, 6, 8, 40, 2},
        {"connect LCDproc 0.5.5 protocol 0.3 lcd hgt 1 wid 8", 8, 1, 5, 8, 8, 1},
        // A graphic display with text on it: the first 80 columns and 8 rows are used.
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 128 hgt 16 cellwid 1 cellhgt 1", 80, 8, 1, 1, 128, 16},
        // An odd cell size falls back to 5 by 8; it only scales the bars.
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt 4 cellwid 0 cellhgt 999", 20, 4, 5, 8, 20, 4},
    };
    for (const Case& c : cases) {
        LcdDisplay d;
        char why[100] = "x";
        ASSERT_EQ(0, lcd_parse_connect(c.line, &d, why, sizeof why)) << c.line << ": " << why;
        EXPECT_EQ(c.width, d.width) << c.line;
        EXPECT_EQ(c.rows, d.rows) << c.line;
        EXPECT_EQ(c.cellwid, d.cellwid) << c.line;
        EXPECT_EQ(c.cellhgt, d.cellhgt) << c.line;
        EXPECT_EQ(c.real_width, d.real_width) << c.line;
        EXPECT_EQ(c.real_rows, d.real_rows) << c.line;
    }
}

TEST(Connect, AnswersWithoutAUsableSizeAreRefused) {
    const char* lines[] = {
        "huh? Invalid command",
        "HTTP/1.1 400 Bad Request",
        "connect LCDproc 0.5.9 protocol 0.3 lcd",
        "connect LCDproc 0.5.9 protocol 0.3 lcd wid 0 hgt 4",
        "connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt -4",
        "connect LCDproc 0.5.9 protocol 0.3 lcd wid 2x0 hgt 4",
        "connect LCDproc 0.5.9 protocol 0.3 lcd wid 99999999999 hgt 4",
        "connect LCDproc 0.5.9 protocol 0.3 lcd xwid 20 hgt 4",
    };
    for (const char* line : lines) {
        LcdDisplay d;
        d.width = 7;
        char why[100] = "";
        EXPECT_EQ(-1, lcd_parse_connect(line, &d, why, sizeof why)) << line;
        EXPECT_NE('\0', why[0]) << line;
        EXPECT_EQ(7, d.width) << "a refused answer leaves the display as it was";
    }
}

TEST(Replies, EachLineOfLcddByItsKind) {
    struct Case {
        const char* line;
        LcdReply kind;
    } cases[] = {
        {"success", LCD_SUCCESS},
        {"huh? Unknown screen id", LCD_HUH},
        {"listen vistrel_rec1", LCD_NOTICE},
        {"ignore vistrel_idle", LCD_NOTICE},
        {"key Enter", LCD_NOTICE},
        {"menuevent select x", LCD_NOTICE},
        {"connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt 4", LCD_CONNECT},
        {"bye", LCD_BYE},
        {"successful", LCD_UNKNOWN},
        {"listen", LCD_UNKNOWN},
        {"", LCD_UNKNOWN},
    };
    for (const Case& c : cases) EXPECT_EQ(c.kind, lcd_reply_kind(c.line)) << c.line;
}

// The lines that a reader makes of bytes handed to it in the given pieces.
std::vector<std::string> lines_of(const std::string& bytes, const std::vector<size_t>& cuts, bool* any_too_long) {
    LcdLineReader reader;
    std::vector<std::string> lines;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (size_t end : ends) {
        while (from < end) {
            bool complete;
            from += reader.take(bytes.data() + from, end - from, &complete);
            if (complete) {
                lines.push_back(reader.line);
                *any_too_long = *any_too_long || reader.too_long;
            }
        }
    }
    return lines;
}

TEST(LineReader, SameBytesGiveTheSameLinesHoweverTheyAreSplit) {
    const std::string bytes = "success\r\nlisten vistrel_rec1\nhuh? Unknown widget\n\nsuccess\npart";
    const std::vector<std::string> expected = {"success", "listen vistrel_rec1", "huh? Unknown widget", "", "success"};
    bool too_long = false;
    EXPECT_EQ(expected, lines_of(bytes, {}, &too_long));
    for (size_t a = 0; a <= bytes.size(); a++)
        for (size_t b = a; b <= bytes.size(); b += 7) EXPECT_EQ(expected, lines_of(bytes, {a, b}, &too_long)) << a << " " << b;
    EXPECT_FALSE(too_long);
}

TEST(LineReader, LineLongerThanItsRoomIsMarkedAndTheNextIsWhole) {
    std::string longer(LcdLineReader::kMax + 100, 'x');
    bool too_long = false;
    std::vector<std::string> lines = lines_of(longer + "\nsuccess\n", {300}, &too_long);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(LcdLineReader::kMax, 'x'), lines[0]);
    EXPECT_TRUE(too_long);
    EXPECT_EQ("success", lines[1]);
}

}  // namespace
