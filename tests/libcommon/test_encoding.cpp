// test_encoding.cpp - the text encodings: the setting, cleaning in pieces, moving cleaned text,
// the conversion of values and arrays, and the block marker.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_text.h"
#include "scratch.h"
#include "utf8.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace {

constexpr int kModes[] = {MP_TEXT_RAW, MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8};
constexpr int kReadable[] = {MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8};

// Sets the encoding for the life of a test and puts Raw back afterwards.
class Encoding : public ::testing::Test {
protected:
    void TearDown() override { MP_Global_TextEncoding = MP_TEXT_RAW; }
};

// A text cleaned whole in the encoding, with the code points of its tokens.
struct Cleaned {
    std::string text;
    std::vector<MP_TextPoint> points;
};
Cleaned clean_whole(const std::string& in) {
    Cleaned c{in, std::vector<MP_TextPoint>(in.size() + 1, 0)};
    int n = MP_text_clean(c.text.data(), c.points.data(), 0, static_cast<int>(in.size()), true, nullptr);
    c.text.resize(static_cast<size_t>(n));
    c.points.resize(static_cast<size_t>(n));
    return c;
}

// A value converted in the encoding: as raw UTF-8 (a text nobody named), or cleaned first and
// read through its tokens, as the flattener reads a received message.
std::string convert_raw(int mode, const std::string& value) {
    MP_Global_TextEncoding = mode;
    char out[MP_TEXT_CONVERTED_MAX + 1];
    int n = MP_text_convert(out, value.data(), static_cast<int>(value.size()));
    EXPECT_EQ(static_cast<size_t>(n), strlen(out));
    return std::string(out, static_cast<size_t>(n));
}
std::string convert_cleaned(int mode, const std::string& value, bool array = false) {
    MP_Global_TextEncoding = mode;
    Cleaned c = clean_whole(value);
    MP_TextNamed named(c.text.data(), c.points.data(), static_cast<int>(c.text.size()));
    char out[MP_TEXT_CONVERTED_MAX + 1];
    int n = array ? MP_text_convert_array(out, c.text.data(), static_cast<int>(c.text.size()))
                  : MP_text_convert(out, c.text.data(), static_cast<int>(c.text.size()));
    return std::string(out, static_cast<size_t>(n));
}

// Both ways must agree; the result is that of the cleaned text.
std::string convert(int mode, const std::string& value) {
    std::string cleaned = convert_cleaned(mode, value);
    EXPECT_EQ(convert_raw(mode, value), cleaned) << value;
    return cleaned;
}

// ---- The setting --------------------------------------------------------------------------

TEST_F(Encoding, SettingNamesEachEncodingInAnyCaseAndRefusesTheRest) {
    ScratchDir dir;
    MP_log_reset();
    MP_Global_Debug = 1;  // each error line once, without the lines held back before it
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "enc.log");
    MP_open_log();
    struct Case {
        const char* value;
        int expected;
        bool error;
    };
    const Case cases[] = {
        {"Raw", MP_TEXT_RAW, false},          {"windows-1252", MP_TEXT_WINDOWS_1252, false},
        {" WINDOWS-1252\r", MP_TEXT_WINDOWS_1252, false}, {"ascii", MP_TEXT_ASCII, false},
        {"Utf-8 trailing words", MP_TEXT_UTF8, false},   {"UTF8", MP_TEXT_RAW, true},
        {"Windows-1251", MP_TEXT_RAW, true},  {"", MP_TEXT_RAW, true},
        {"UTF-8x", MP_TEXT_RAW, true},        {"\x1b[2JLatin1", MP_TEXT_RAW, true},
    };
    for (const Case& c : cases) {
        MP_Global_TextEncoding = MP_TEXT_UTF8;
        EXPECT_EQ(c.expected, MP_text_encoding_setting("Cfg:", c.value, "Text_Encoding=")) << c.value;
        EXPECT_EQ(c.expected, MP_Global_TextEncoding) << c.value;
    }
    MP_close_log();
    MP_Global_Debug = 0;
    std::vector<std::string> errors;
    for (const std::string& line : read_lines(VP_PLUGINS "enc.log"))
        if (line.find("**Error**") != std::string::npos) errors.push_back(line.substr(line.find("**Error**") + 9));
    ASSERT_EQ(5u, errors.size());
    EXPECT_EQ("Cfg: Text_Encoding= value \"UTF8\" is no text encoding (Raw, Windows-1252, ASCII or UTF-8); using Raw",
              errors[0]);
    EXPECT_NE(std::string::npos, errors[2].find("value \"\" is no"));
    // A control sequence in the file reaches the log escaped.
    EXPECT_NE(std::string::npos, errors[4].find("value \"\\x1b[2JLatin1\""));
}

// ---- Cleaning -----------------------------------------------------------------------------

// What each kind of sequence stands for, and that it takes exactly one byte of the cleaned text.
TEST_F(Encoding, EachSequenceBecomesOneTokenWithItsCharacter) {
    struct Case {
        const char* bytes;
        MP_TextPoint cp;
    };
    const Case cases[] = {
        {"\xC3\xA9", 0xE9},            {"\xE2\x82\xAC", 0x20AC},       {"\xF0\x9F\x98\x80", 0x1F600},
        {"\xC2\x85", 0x85},            {"\xEF\xBF\xBD", 0xFFFD},       {"\xF4\x8F\xBF\xBF", 0x10FFFF},
        {"\xC0\xAF", MP_TEXT_INVALID},  // an over-long '/'
        {"\xE0\x80\xAF", MP_TEXT_INVALID}, {"\xF0\x80\x80\xAF", MP_TEXT_INVALID},
        {"\xED\xA0\x80", MP_TEXT_INVALID},  // a surrogate
        {"\xF4\x90\x80\x80", MP_TEXT_INVALID},  // beyond U+10FFFF
        {"\xF8\x88\x80\x80\x80", MP_TEXT_INVALID}, {"\xFC\x84\x80\x80\x80\x80", MP_TEXT_INVALID},
        {"\xE2\x82", MP_TEXT_INVALID},  // cut short by the quote behind it
        {"\xC3", MP_TEXT_INVALID},
    };
    for (int mode : kModes) {
        MP_Global_TextEncoding = mode;
        for (const Case& c : cases) {
            Cleaned out = clean_whole(std::string("{\"") + c.bytes + "\"}");
            ASSERT_EQ(5u, out.text.size()) << mode << " " << c.bytes;
            EXPECT_EQ(mode == MP_TEXT_RAW ? ' ' : MP_TEXT_TOKEN, out.text[2]);
            if (mode != MP_TEXT_RAW) {
                EXPECT_EQ(c.cp, out.points[2]) << c.bytes;
            }
        }
    }
}

// Random texts with lead and stray continuation bytes everywhere: Raw cleaning is the Raw
// filter, every readable encoding gives the same text with tokens where Raw has blanks, and
// any pieces give what the whole does (the text and every token's character).
TEST_F(Encoding, CleaningInPiecesIsCleaningWhole) {
    const char bytes[] = {'a', '{', '"', '\\', '\x80', '\xBF', '\xC3', '\xA9', '\xE2', '\x82', '\xF0', '\x9F', '\xF8', '\xFC'};
    std::mt19937 random(23);
    for (int round = 0; round < 3000; round++) {
        std::string in(random() % 60, 'x');
        for (char& c : in)
            if (random() % 3 == 0) c = bytes[random() % sizeof bytes];
        MP_Global_TextEncoding = MP_TEXT_RAW;
        std::string filtered = in;
        remove_utf8(filtered.data());
        filtered.resize(strlen(filtered.c_str()));
        Cleaned raw = clean_whole(in);
        ASSERT_EQ(filtered, raw.text) << "round " << round;
        for (int mode : kModes) {
            MP_Global_TextEncoding = mode;
            Cleaned whole = clean_whole(in);
            std::string blanked = whole.text;
            for (char& c : blanked)
                if (MP_text_is_token(c)) c = ' ';
            ASSERT_EQ(raw.text, blanked) << "round " << round << " mode " << mode;
            // The same bytes arriving in pieces: each piece appended behind what was held.
            std::vector<char> buf(in.size() + 8, '#');
            std::vector<MP_TextPoint> points(in.size() + 8, 0);
            int cleaned = 0, held = 0;
            size_t at = 0;
            while (at < in.size()) {
                size_t piece = 1 + random() % 7;
                if (piece > in.size() - at) piece = in.size() - at;
                memcpy(buf.data() + cleaned + held, in.data() + at, piece);
                at += piece;
                int len = cleaned + held + static_cast<int>(piece);
                cleaned = MP_text_clean(buf.data(), points.data(), cleaned, len, at == in.size(), &held);
                ASSERT_LE(held, 5);
            }
            ASSERT_EQ(0, held);
            ASSERT_EQ(whole.text, std::string(buf.data(), static_cast<size_t>(cleaned))) << "round " << round;
            for (int p = 0; p < cleaned; p++) {
                if (MP_text_is_token(buf[static_cast<size_t>(p)])) {
                    ASSERT_EQ(whole.points[static_cast<size_t>(p)], points[static_cast<size_t>(p)]) << "round " << round;
                }
            }
        }
    }
}

// A piece that ends inside a character holds exactly that character's bytes back; one that
// ends on a byte that is no continuation holds nothing.
TEST_F(Encoding, APieceHoldsBackOnlyACharacterItCuts) {
    struct Case {
        std::string piece;
        int cleaned, held;
    };
    const Case cases[] = {
        {"ab\xE2\x82", 2, 2}, {"ab\xE2", 2, 1}, {"ab\xF0\x9F\x98", 2, 3}, {"\xFC\x80\x80\x80\x80", 0, 5},
        {"ab\xC3\xA9", 3, 0}, {"ab\xE2\x82x", 4, 0}, {"ab\x82", 3, 0}, {"", 0, 0},
    };
    for (int mode : kModes) {
        MP_Global_TextEncoding = mode;
        for (const Case& c : cases) {
            std::string buf = c.piece + "####";
            std::vector<MP_TextPoint> points(buf.size());
            int held = -1;
            int n = MP_text_clean(buf.data(), points.data(), 0, static_cast<int>(c.piece.size()), false, &held);
            EXPECT_EQ(c.cleaned, n) << c.piece;
            EXPECT_EQ(c.held, held) << c.piece;
            // The held bytes stand right behind the cleaned text, unchanged.
            EXPECT_EQ(c.piece.substr(c.piece.size() - static_cast<size_t>(c.held)), buf.substr(static_cast<size_t>(n), static_cast<size_t>(c.held)));
        }
    }
}

// Cleaned text keeps its characters when a window slides on or a range is copied elsewhere.
TEST_F(Encoding, DroppedAndCopiedTextKeepsItsCharacters) {
    for (int mode : kReadable) {
        MP_Global_TextEncoding = mode;
        Cleaned c = clean_whole("xx\xC5\x82\xC3\xA9yy\xE2\x80\x9Ez\xC3\xBC");  // xxłéyy„zü
        std::string text = c.text;
        std::vector<MP_TextPoint> points = c.points;
        int len = static_cast<int>(text.size());
        MP_text_drop(text.data(), points.data(), len, 3);
        len -= 3;
        std::string dropped = text.substr(0, static_cast<size_t>(len));
        std::vector<char> copy(64, 0);
        std::vector<MP_TextPoint> copy_points(64, 0);
        MP_text_copy(copy.data() + 5, copy_points.data() + 5, dropped.data() + 1, points.data() + 1, len - 1);
        std::string expected = convert(mode, "\xC3\xA9yy\xE2\x80\x9Ez\xC3\xBC");
        {
            MP_TextNamed named(dropped.data(), points.data(), len);
            char out[MP_TEXT_CONVERTED_MAX + 1];
            MP_text_convert(out, dropped.data(), len);
            EXPECT_EQ(expected, out) << mode;
        }
        MP_TextNamed named(copy.data(), copy_points.data(), 64);
        char out[MP_TEXT_CONVERTED_MAX + 1];
        MP_text_convert(out, copy.data() + 5, len - 1);
        EXPECT_EQ(convert(mode, "yy\xE2\x80\x9Ez\xC3\xBC"), std::string(out)) << mode;
    }
}

// ---- Conversion ---------------------------------------------------------------------------

// Every letter of Windows-1252 comes back as its own byte, in UTF-8 as itself; the five empty
// places have no character, and the code points U+0080 to U+009F are controls, not the
// letters that Windows-1252 keeps at those bytes.
TEST_F(Encoding, EveryWindows1252LetterIsItsOwnByte) {
    int letters = 0, empty = 0;
    for (int b = 0x80; b <= 0xFF; b++) {
        uint32_t cp = MP_cp1252_char(static_cast<unsigned char>(b));
        if (cp == 0) {
            empty++;
            EXPECT_TRUE(b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) << b;
            continue;
        }
        letters++;
        EXPECT_EQ(std::string(1, static_cast<char>(b)), convert(MP_TEXT_WINDOWS_1252, utf8(cp))) << std::hex << cp;
        EXPECT_EQ(utf8(cp), convert(MP_TEXT_UTF8, utf8(cp))) << std::hex << cp;
        std::string ascii = convert(MP_TEXT_ASCII, utf8(cp));
        for (char c : ascii) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << std::hex << cp;
    }
    EXPECT_EQ(96 + 27, letters);
    EXPECT_EQ(5, empty);
    for (uint32_t cp = 0x80; cp < 0xA0; cp++)
        for (int mode : kReadable) EXPECT_EQ(" ", convert(mode, utf8(cp))) << std::hex << cp;
}

TEST_F(Encoding, LettersInEachEncoding) {
    struct Case {
        const char* in;
        const char* w1252;
        const char* ascii;
    };
    const Case cases[] = {
        {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "\xE4\xF6\xFC\xDF", "aouss"},             // äöüß
        {"\xC3\xA9\xC3\xA8\xC3\xB1\xC3\xA7\xC3\xA5", "\xE9\xE8\xF1\xE7\xE5", "eenca"},  // éèñçå
        {"\xC3\xB8\xC3\xA6\xC5\x93\xC3\x86\xC5\x92", "\xF8\xE6\x9C\xC6\x8C", "oaeoeAEOE"},  // øæœÆŒ
        {"\xE2\x82\xAC 5", "\x80 5", "EUR 5"},
        {"\xE2\x80\x9Eja\xE2\x80\x9C \xE2\x80\x9Dno\xE2\x80\x9D", "\x84ja\x93 \x94no\x94", "\"ja\" \"no\""},
        {"a\xE2\x80\x93" "b\xE2\x80\x94" "c\xE2\x80\xA6", "a\x96" "b\x97" "c\x85", "a-b-c..."},
        // Outside Windows-1252: plain letters there as in ASCII.
        {"\xC5\x82\xC5\x91\xC4\x8D\xC5\x9F", "locs", "locs"},  // łőčş
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "L\xF3" "dz", "Lodz"},   // Łódź
        {"\xE1\xBA\xBF", "e", "e"},                            // ế
        // No plain form: Cyrillic, CJK, an emoji.
        {"\xD0\x96\xE4\xB8\xAD\xF0\x9F\x98\x80", "???", "???"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.w1252, convert(MP_TEXT_WINDOWS_1252, c.in)) << c.in;
        EXPECT_EQ(c.ascii, convert(MP_TEXT_ASCII, c.in)) << c.in;
        EXPECT_EQ(c.in, convert(MP_TEXT_UTF8, c.in)) << c.in;
    }
}

// JSON escapes, surrogates, controls and invalid bytes: the same in every readable encoding
// where the result is ASCII.
TEST_F(Encoding, EscapesControlsAndInvalidBytes) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {R"(Nachrichten \"live\" aus dem Studio.\u000d\u000aUntertitel)", "Nachrichten \"live\" aus dem Studio.  Untertitel"},
        {R"(D:\\TV\\Evening News.ts)", "D:\\TV\\Evening News.ts"},
        {R"(a\/b\nc\rd\te\bf\fg)", "a/b c d e f g"},
        {R"(\u0000\u001f\u007f\u0085|)", "    |"},
        {"tab\there\x01\x7f", "tab here  "},
        {R"(\q\'\)", "\\q\\'\\"},            // no escapes of JSON: kept as they stand
        {R"(\u12G4\u)", "?G4?"},             // \u without its four hex digits
        {R"(\ud83dx\ude00\ud83d\ud83d)", "?x???"},  // lone halves of a pair
        {R"(\uD83D\uDE00)", "?"},            // a pair beyond Windows-1252 and ASCII
        {"\xC3" "a", "?a"},                  // a lone lead byte
        {"\xC0\xAF|\xE0\x80\xAF", "?|?"},     // over-long forms
        {"\x80\xBF", "??"},                  // continuation bytes without a lead
        {"\xED\xA0\x80", "?"},               // a surrogate in UTF-8
        {"ab\xE2\x82", "ab?"},               // a character cut by the end of the text
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, convert(MP_TEXT_WINDOWS_1252, c.in)) << c.in;
        EXPECT_EQ(c.out, convert(MP_TEXT_ASCII, c.in)) << c.in;
    }
    EXPECT_EQ("\xF0\x9F\x98\x80", convert(MP_TEXT_UTF8, R"(\uD83D\uDE00)"));
    EXPECT_EQ("\xC3\xA9\xE2\x82\xAC", convert(MP_TEXT_UTF8, R"(\u00e9\u20AC)"));
    EXPECT_EQ("\xE9\x80", convert(MP_TEXT_WINDOWS_1252, R"(\u00e9\u20AC)"));
    EXPECT_EQ("eEUR", convert(MP_TEXT_ASCII, R"(\u00e9\u20AC)"));
    EXPECT_EQ("?x???", convert(MP_TEXT_UTF8, R"(\ud83dx\ude00\ud83d\ud83d)"));
    EXPECT_EQ("?a?", convert(MP_TEXT_UTF8, "\xC3" "a\x80"));
}

// A letter followed by combining marks, and the characters that stand for others: in
// Windows-1252 the letter that they make where it has one, else the base letter; in ASCII the
// plain letters; in UTF-8 everything as it came.
TEST_F(Encoding, ComposedLettersEquivalentsAndCompatibilityForms) {
    struct Case {
        const char* in;
        const char* w1252;
        const char* ascii;
        const char* what;
    } cases[] = {
        {"Cafe\xCC\x81 Zu\xCC\x88rich", "Caf\xE9 Z\xFCrich", "Cafe Zurich", "decomposed letters in UTF-8"},
        {R"(Cafe\u0301 Zu\u0308rich)", "Caf\xE9 Z\xFCrich", "Cafe Zurich", "decomposed letters in escapes"},
        {"S\xCC\x8C z\xCC\x8C Y\xCC\x88", "\x8A \x9E \x9F", "S z Y", "letters of Windows-1252 beyond Latin-1"},
        {"e\xCC\x81\xCC\x82 a\xCC\xA8\xCC\x81", "\xE9 a", "e a", "a second mark that makes nothing is left out"},
        {"\xCC\x81x \xE2\x82\xAC\xCC\x81", "x \x80", "x EUR", "marks after no letter, after a sign"},
        {"\xE2\x84\xAB \xE2\x84\xAA \xCD\xBE \xCE\x87", "\xC5 K ; \xB7", "A K ; .", "canonical equivalents"},
        {"\xEF\xBC\xA1\xEF\xBD\x9A\xEF\xBC\x91\xEF\xBC\x81", "Az1!", "Az1!", "fullwidth forms"},
        {"x\xE2\x81\xB4 H\xE2\x82\x82O \xC2\xB2", "x4 H2O \xB2", "x4 H2O 2", "superscripts and subscripts"},
        {"\xE2\x85\x93 \xE2\x85\x92 \xC2\xBD", "1/3 1/10 \xBD", "1/3 1/10 1/2", "vulgar fractions"},
        {"\xE2\x91\xA9 \xE2\x92\xB6\xE2\x93\x90", "10 Aa", "10 Aa", "circled digits and letters"},
        {"\xF0\x9D\x90\x80\xF0\x9D\x94\xB7\xF0\x9D\x9F\x97", "Az9", "Az9", "mathematical letters and digits"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.w1252, convert(MP_TEXT_WINDOWS_1252, c.in));
        EXPECT_EQ(c.ascii, convert(MP_TEXT_ASCII, c.in));
        // UTF-8 has every character: the escapes undone, nothing else changed.
        std::string in = c.in;
        EXPECT_EQ(in[4] == '\\' ? "Cafe\xCC\x81 Zu\xCC\x88rich" : in, convert(MP_TEXT_UTF8, c.in));
    }
    // The letters of an equivalent go whole or not at all at the 256 bytes' end.
    const std::string a253(253, 'a'), a252(252, 'a');
    EXPECT_EQ(a253, convert(MP_TEXT_WINDOWS_1252, a253 + "\xE2\x85\x92"));
    EXPECT_EQ(a252 + "1/10", convert(MP_TEXT_WINDOWS_1252, a252 + "\xE2\x85\x92"));
    // A mark changes the letter in place: the byte at the end stays where it is.
    EXPECT_EQ(std::string(255, 'a') + "\xE9", convert(MP_TEXT_WINDOWS_1252, std::string(255, 'a') + "e\xCC\x81"));
}

// The table holds for each character a plain form or the letters it stands for, never both, so
// that the order of the look-ups cannot change a result; and every letter stood for is one of
// ISO-8859-1 that is no control.
TEST_F(Encoding, NoCharacterHasBothAPlainFormAndAnEquivalent) {
    int equivalents = 0;
    for (uint32_t cp = 0x80; cp <= 0x1FFFF; cp++) {
        uint32_t letters[4];
        int k = MP_text_equivalent(cp, letters);
        if (k == 0) continue;
        equivalents++;
        int len = 0;
        EXPECT_EQ(nullptr, MP_text_plain_form(cp, &len)) << std::hex << cp;
        for (int i = 0; i < k; i++) EXPECT_TRUE(letters[i] >= 0x20 && letters[i] <= 0xFF && (letters[i] < 0x7F || letters[i] >= 0xA0)) << std::hex << cp;
    }
    EXPECT_GT(equivalents, 1000);
}

// Every surrogate pair joins into its one character, the pairs at both ends of the range
// included, and the halves just outside either bound stay lone halves.
TEST_F(Encoding, SurrogatePairsAtTheBoundsOfTheRange) {
    struct Case {
        const char* in;
        const char* utf8;
    } cases[] = {
        {R"(\ud800\udc00)", "\xF0\x90\x80\x80"},  // U+10000, the first
        {R"(\ud800\udfff)", "\xF0\x90\x8F\xBF"},  // U+103FF
        {R"(\udbff\udc00)", "\xF4\x8F\xB0\x80"},  // U+10FC00
        {R"(\udbff\udfff)", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last
        {R"(\ud7ff\udc00)", "\xED\x9F\xBF?"},     // no high half, then a lone low one
        {R"(\ud800\udbff)", "??"},                // two high halves
        {R"(\udbff\ue000)", "?\xEE\x80\x80"},     // a high half before no low one
        {R"(\udc00\ud800)", "??"},                // the halves the wrong way round
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.utf8, convert(MP_TEXT_UTF8, c.in)) << c.in;
        // No such character in Windows-1252: one '?' for each character there is.
        std::string utf8 = c.utf8;
        size_t characters = 0;
        for (unsigned char b : utf8) characters += (b & 0xC0) != 0x80;
        EXPECT_EQ(std::string(characters, '?'), convert(MP_TEXT_WINDOWS_1252, c.in)) << c.in;
    }
}

// The 256 bytes that a tag keeps: never part of a character or of an escape's character.
TEST_F(Encoding, TextsAreCutAt256BytesBetweenCharacters) {
    const std::string a255(255, 'a'), a254(254, 'a'), a253(253, 'a');
    EXPECT_EQ(std::string(256, 'a'), convert(MP_TEXT_UTF8, std::string(300, 'a')));
    // A two-byte letter at the limit: in UTF-8 it does not fit, in Windows-1252 it does.
    EXPECT_EQ(a255, convert(MP_TEXT_UTF8, a255 + "\xC3\xA9"));
    EXPECT_EQ(a255 + "\xE9", convert(MP_TEXT_WINDOWS_1252, a255 + "\xC3\xA9"));
    EXPECT_EQ(a254 + "\xC3\xA9", convert(MP_TEXT_UTF8, a254 + "\xC3\xA9" "b"));
    // A plain form goes whole or not at all.
    EXPECT_EQ(a254, convert(MP_TEXT_ASCII, a254 + "\xE2\x82\xAC"));
    EXPECT_EQ(a253 + "EUR", convert(MP_TEXT_ASCII, a253 + "\xE2\x82\xAC"));
    // An escape that the 256 source bytes would cut: undone whole, from the whole value.
    EXPECT_EQ(a254 + "\xC3\xA9", convert(MP_TEXT_UTF8, a254 + R"(\u00e9tail)"));
    EXPECT_EQ(a255, convert(MP_TEXT_UTF8, a255 + R"(\u00e9)"));
    EXPECT_EQ(a255 + "\"", convert(MP_TEXT_ASCII, a255 + R"(\"tail)"));
    EXPECT_EQ(a255, convert(MP_TEXT_UTF8, a255 + R"(\uD83D\uDE00)"));
    std::string four = a253 + R"(\uD83D\uDE00)";
    EXPECT_EQ(a253, convert(MP_TEXT_UTF8, four));
    EXPECT_EQ(a253 + "?", convert(MP_TEXT_WINDOWS_1252, four));
}

// An array stays JSON: escapes as they came, characters in the encoding, cut between escapes.
TEST_F(Encoding, ArraysKeepTheirEscapes) {
    const std::string in = "[\"Caf\\u00e9\",\"Br\xC3\xBC" "cke\",\"a\\\"b\"]";
    EXPECT_EQ("[\"Caf\\u00e9\",\"Br\xFC" "cke\",\"a\\\"b\"]", convert_cleaned(MP_TEXT_WINDOWS_1252, in, true));
    EXPECT_EQ("[\"Caf\\u00e9\",\"Brucke\",\"a\\\"b\"]", convert_cleaned(MP_TEXT_ASCII, in, true));
    EXPECT_EQ(in, convert_cleaned(MP_TEXT_UTF8, in, true));
    EXPECT_EQ("[1, 2]", convert_cleaned(MP_TEXT_UTF8, "[1,\t2]", true));
    const std::string head = "[\"" + std::string(250, 'x');
    EXPECT_EQ(head, convert_cleaned(MP_TEXT_UTF8, head + "\\u00e9\"]", true));
    EXPECT_EQ(head + "\\\"", convert_cleaned(MP_TEXT_UTF8, head + "\\\"\\u00e9\"]", true));
}

TEST_F(Encoding, TheDateFormIsTold) {
    EXPECT_TRUE(MP_text_is_date("\\/Date(1)\\/", 11));
    EXPECT_FALSE(MP_text_is_date("\\/Date", 6));
    EXPECT_FALSE(MP_text_is_date("\\\\/Date(1)", 10));
}

// ---- The block marker ---------------------------------------------------------------------

TEST_F(Encoding, ThePublicationCarriesTheMarkerInTheBlocksLastBytes) {
    ScratchDir dir;
    std::string name = unique_block_name("VistrelMarker");
    vp_shm_unlink(name.c_str());
    MP_Numtags = 0;
    MP_Clear_tags();
    MP_Global_TextEncoding = MP_TEXT_WINDOWS_1252;
    CommsStart(1, 1, name.c_str(), MP_BLOCK_SIZE);
    const char* view = static_cast<const char*>(CommsView(1));
    ASSERT_NE(nullptr, view);
    const char* marker = view + MP_BLOCK_SIZE - MP_TEXT_MARKER_SIZE;
    EXPECT_EQ(std::string("VistrelText=Windows-1252\0", 25), std::string(marker, 25));
    EXPECT_EQ(MP_TEXT_WINDOWS_1252, vr_encoding_marked(marker));
    // Each publication writes it again, whatever was there.
    memset(const_cast<char*>(marker), 'x', MP_TEXT_MARKER_SIZE);
    MP_Global_TextEncoding = MP_TEXT_RAW;
    MP_put_tag("Title", MP_TYPE_TEXT, 0, "News");
    CommsPacket(1, "OK");
    EXPECT_EQ(std::string("VistrelText=Raw") + std::string(MP_TEXT_MARKER_SIZE - 15, '\0'),
              std::string(marker, MP_TEXT_MARKER_SIZE));
    EXPECT_EQ(MP_TEXT_RAW, vr_encoding_marked(marker));
    vp_shm_unlink(name.c_str());
}

TEST_F(Encoding, MarkersNameOnlyKnownEncodings) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {{"VistrelText=UTF-8", MP_TEXT_UTF8}, {"VistrelText=ASCII", MP_TEXT_ASCII},
                          {"VistrelText=utf-8", -1}, {"VistrelText=", -1}, {"", -1}, {"VistrelText=Raw ", -1}};
    for (const Case& c : cases) {
        char marker[MP_TEXT_MARKER_SIZE] = {};
        memcpy(marker, c.text, strlen(c.text));
        EXPECT_EQ(c.expected, vr_encoding_marked(marker)) << c.text;
    }
    char full[MP_TEXT_MARKER_SIZE];
    memset(full, 'A', sizeof full);
    memcpy(full, "VistrelText=ASCII", 17);
    EXPECT_EQ(-1, vr_encoding_marked(full));
}

}  // namespace
