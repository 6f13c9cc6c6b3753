// test_term_text.cpp - tag texts on a terminal in each text encoding, their columns, and the
// encoding that an option, a block's marker or the settings file names.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "mp_term_text.h"
#include "scratch.h"
#include "vp.h"

namespace {

std::string shown(const std::string& field, int encoding, size_t width = 256) {
    char out[MP_term_text_room(256)];
    return MP_term_text(out, sizeof out, field.c_str(), width, encoding);
}

// Every byte of Windows-1252 beyond ASCII: a letter as its UTF-8 form, the five empty places as
// '?'. The same bytes in ASCII are all '?'.
TEST(TermText, Windows1252BytesBecomeTheirLetters) {
    EXPECT_EQ("\xE2\x82\xAC", shown("\x80", MP_TEXT_WINDOWS_1252));
    EXPECT_EQ("\xE2\x80\x9E" "a\xE2\x80\x9C", shown("\x84" "a\x93", MP_TEXT_WINDOWS_1252));
    EXPECT_EQ("\xC5\x93\xC5\xB8", shown("\x9C\x9F", MP_TEXT_WINDOWS_1252));
    EXPECT_EQ("\xC3\xA9\xC3\xBF\xC2\xA0", shown("\xE9\xFF\xA0", MP_TEXT_WINDOWS_1252));
    EXPECT_EQ("?????", shown("\x81\x8D\x8F\x90\x9D", MP_TEXT_WINDOWS_1252));
    int letters = 0;
    for (int b = 0x80; b <= 0xFF; b++) {
        std::string one = shown(std::string(1, static_cast<char>(b)), MP_TEXT_WINDOWS_1252);
        if (one != "?") letters++;
        EXPECT_EQ("?", shown(std::string(1, static_cast<char>(b)), MP_TEXT_ASCII)) << b;
    }
    EXPECT_EQ(96 + 27, letters);
}

// Whatever the encoding, nothing reaches the terminal that acts on it.
TEST(TermText, ControlsShowAsQuestionMarksInEveryEncoding) {
    for (int e : {MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8}) {
        EXPECT_EQ("a?b?c?d", shown("a\x1b" "b\x7f" "c\n" "d", e)) << e;
    }
    // UTF-8: C1 controls, the marks that turn a line round, and every invalid sequence.
    EXPECT_EQ("?31m ?x ?", shown("\xC2\x9B" "31m \xC2\x85" "x \xC2\x80", MP_TEXT_UTF8));
    EXPECT_EQ("a?b?c", shown("a\xE2\x80\xAE" "b\xE2\x81\xA6" "c", MP_TEXT_UTF8));
    EXPECT_EQ("?a??|???|?", shown("\xC3" "a\xC0\xAF|\xED\xA0\x80|\x9B", MP_TEXT_UTF8));
    EXPECT_EQ("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", shown("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", MP_TEXT_UTF8));
    // A character that the field's width cuts is no character.
    EXPECT_EQ("ab??", shown("ab\xE2\x82\xAC", MP_TEXT_UTF8, 4));
}

// Well-formed UTF-8, what a terminal or a pipe reading UTF-8 takes whole.
bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t k = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (k == 0 || i + k > s.size()) return false;
        uint32_t cp = k == 1 ? b : b & (0x7Fu >> k);
        for (size_t j = 1; j < k; j++) {
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + j]) & 0x3Fu);
        }
        static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[k] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += k;
    }
    return true;
}

// Raw blocks show as valid UTF-8: their characters as they are (a channel's UTF-8 name), one '?'
// for each control and each byte that begins no character, never longer than the field.
TEST(TermText, RawTextsShowAsValidUtf8) {
    EXPECT_EQ("?2J \xC2\xA9 \xE2\x82\xAC ?", shown("\x9B" "2J \xC2\xA9 \xE2\x82\xAC \xE9", MP_TEXT_RAW));
    EXPECT_EQ("?31m ?x", shown("\xC2\x9B" "31m \xC2\x85" "x", MP_TEXT_RAW));
    EXPECT_EQ("a?b?c??d???", shown("a\xE2\x80\xAE" "b\x1b" "c\xC0\xAF" "d\xF0\x9F\x98", MP_TEXT_RAW));
    // Never longer than the field, so that its old buffers hold it; a character whole or not at all.
    char out[4];
    EXPECT_STREQ("\xE2\x82\xAC", MP_term_text(out, sizeof out, "\xE2\x82\xAC\xE9", 4, MP_TEXT_RAW));
    EXPECT_STREQ("a", MP_term_text(out, sizeof out, "a\xE2\x82\xAC", 4, MP_TEXT_RAW));
    // Every pair of bytes between two letters, in every encoding: valid UTF-8 comes out.
    for (int e : {MP_TEXT_RAW, MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8}) {
        int bad = 0;
        for (int a = 1; a < 256; a++)
            for (int b = 1; b < 256; b++) {
                std::string field = "x";
                field += static_cast<char>(a);
                field += static_cast<char>(b);
                field += "\xBFy";
                std::string out_text = shown(field, e);
                bad += !valid_utf8(out_text) || (e == MP_TEXT_RAW && out_text.size() > field.size());
            }
        EXPECT_EQ(0, bad) << "encoding " << e;
    }
}

// A row's width in columns, and where it is cut: never inside a character.
TEST(TermText, ColumnsAndCuts) {
    const std::string text = "a\xC3\xA9" "b\xE4\xB8\xAD" "c\xCC\x81" "d";  // a é b 中 c + combining acute, d
    EXPECT_EQ(7u, MP_term_columns(text.data(), text.size()));
    const size_t expected[] = {0, 1, 3, 4, 4, 7, 10, 11};
    for (size_t cols = 0; cols <= 7; cols++) EXPECT_EQ(expected[cols], MP_term_fit(text.data(), text.size(), cols)) << cols;
    EXPECT_EQ(text.size(), MP_term_fit(text.data(), text.size(), 50));
}

// The settings file as the bridges read it: the last Text_Encoding= line wins, a line that
// begins with a blank or "/" is none, a value that names no encoding is Raw, as is no file.
TEST(TermText, TheSettingsFileNamesTheEncodingAsTheBridgesReadIt) {
    ScratchDir dir;
    struct Case {
        std::string file;
        int expected;
    };
    const Case cases[] = {
        {"Debug=1\r\nText_Encoding=Windows-1252\r\n", MP_TEXT_WINDOWS_1252},
        {"Text_Encoding=ascii\nText_Encoding= UTF-8 more\n", MP_TEXT_UTF8},
        {"Text_Encoding=UTF-8\n Text_Encoding=ASCII\n//Text_Encoding=ASCII\n", MP_TEXT_UTF8},
        {"Text_Encoding=UTF-8\nText_Encoding=Latin-1\n", MP_TEXT_RAW},
        {"Debug=1\n", MP_TEXT_RAW},
        // A line read in pieces of 127 characters: a key behind them begins a line of its own.
        {std::string(127, '/') + "Text_Encoding=ASCII\n", MP_TEXT_ASCII},
    };
    for (const Case& c : cases) {
        write_file(VP_PLUGINS "MP.cfg", c.file);
        EXPECT_EQ(c.expected, MP_term_encoding_of_file(VP_PLUGINS "MP.cfg")) << c.file;
    }
    EXPECT_EQ(MP_TEXT_RAW, MP_term_encoding_of_file(VP_PLUGINS "none.cfg"));
}

TEST(TermText, TheOptionThenTheMarkerThenTheSettingsFile) {
    char utf8[MP_TEXT_MARKER_SIZE] = "VistrelText=UTF-8";
    char raw[MP_TEXT_MARKER_SIZE] = "VistrelText=Raw";
    char none[MP_TEXT_MARKER_SIZE] = {};
    EXPECT_EQ(MP_TEXT_ASCII, MP_term_block_encoding(MP_TEXT_ASCII, utf8, MP_TEXT_WINDOWS_1252));
    EXPECT_EQ(MP_TEXT_UTF8, MP_term_block_encoding(-1, utf8, MP_TEXT_WINDOWS_1252));
    EXPECT_EQ(MP_TEXT_RAW, MP_term_block_encoding(-1, raw, MP_TEXT_WINDOWS_1252));
    EXPECT_EQ(MP_TEXT_WINDOWS_1252, MP_term_block_encoding(-1, none, MP_TEXT_WINDOWS_1252));
    EXPECT_EQ(MP_TEXT_RAW, MP_term_block_encoding(-1, nullptr, -1));
    EXPECT_EQ(MP_TEXT_WINDOWS_1252, MP_term_encoding_named("windows-1252"));
    EXPECT_EQ(-1, MP_term_encoding_named("cp1252"));
}

}  // namespace
