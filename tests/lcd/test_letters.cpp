// test_letters.cpp - a block's texts in each encoding turned into the ISO-8859-1 that LCDd takes.
#include <gtest/gtest.h>

#include <string>

#include "lcd.h"

namespace {

std::string latin1(vr_encoding enc, const std::string& in, size_t size = 300) {
    std::string out(size, '\x7f');
    size_t n = lcd_latin1(enc, in.data(), in.size(), out.data(), size);
    EXPECT_EQ('\0', out[n]) << "no terminator after the text";
    EXPECT_LT(n, size);
    return out.substr(0, n);
}

struct Case {
    vr_encoding enc;
    const char* in;
    const char* out;
    const char* what;
};

// Each row: a block's bytes in its encoding and what the display gets, as a person reads it.
const Case kCases[] = {
    // Raw: JSON escapes as they arrived, multi-byte characters as the bridges leave them.
    {VR_TEXT_RAW, "Das Boot", "Das Boot", "plain text"},
    {VR_TEXT_RAW, "Evil \\\"quote\\\"", "Evil \"quote\"", "escaped quotes"},
    {VR_TEXT_RAW, "D:\\\\TV\\\\News.ts", "D:\\TV\\News.ts", "escaped backslashes"},
    {VR_TEXT_RAW, "AC\\/DC", "AC/DC", "escaped slash"},
    {VR_TEXT_RAW, "line\\r\\nend\\ttab\\b\\f", "line  end tab  ", "escaped controls as blanks"},
    {VR_TEXT_RAW, "Caf\\u00e9 \\u00C9t\\u00e9", "Caf\xe9 \xc9t\xe9", "\\u to its Latin-1 letter"},
    {VR_TEXT_RAW, "\\u20ac 5 \\u2026 \\u4e2d", "EUR 5 ... ?", "\\u beyond Latin-1: plain forms, else ?"},
    {VR_TEXT_RAW, "\\ud83d\\ude00!", "?!", "a surrogate pair is one letter"},
    {VR_TEXT_RAW, "\\ud83dx", "?x", "a lone surrogate"},
    {VR_TEXT_RAW, "\\ud800\\udc00|\\udbff\\udfff|", "?|?|", "the first and the last pair, one letter each"},
    {VR_TEXT_RAW, "\\ud800\\udbff|\\udbff\\ue000", "??|??", "a high half before no low one"},
    {VR_TEXT_RAW, "\\u0007\\u009b\\u0000x", "   x", "\\u of control characters"},
    {VR_TEXT_RAW, "cut \\u00", "cut ?00", "a \\u cut short at the field's end"},
    {VR_TEXT_RAW, "\\q \\", "\\q \\", "a backslash that escapes nothing"},
    {VR_TEXT_RAW, "Caf  Society", "Caf  Society", "the bridges' blank for a multi-byte letter"},
    {VR_TEXT_RAW, "Das Erste \xc3\xa9\xe2\x82\xac", "Das Erste \xe9" "EUR", "UTF-8 kept in channel names"},
    {VR_TEXT_RAW, "a\nb\x1b[2Jc\x7f" "d\x9b", "a b [2Jc d?", "raw control bytes"},
    // Windows-1252: escapes undone by the bridge, one byte a letter.
    {VR_TEXT_WINDOWS_1252, "Caf\xe9 \xe0 5\x80", "Caf\xe9 \xe0 5EUR", "Latin-1 letters and the euro"},
    {VR_TEXT_WINDOWS_1252, "\x93Hi\x94 \x85 \x96 \x8a\x9a\x8c\x9c\x9f", "\"Hi\" ... - SsOEoeY",
     "0x80-0x9F in their plain form"},
    {VR_TEXT_WINDOWS_1252, "\x81\x8d\x8f\x90\x9d", "?????", "the five unused codes"},
    {VR_TEXT_WINDOWS_1252, "a\tb\x1b" "c\x7f\xa0\xff", "a b c \xa0\xff", "controls, NBSP and y with dots"},
    // ASCII: plain letters only.
    {VR_TEXT_ASCII, "Cafe \"x\" \\", "Cafe \"x\" \\", "ASCII as it is"},
    {VR_TEXT_ASCII, "a\rb\xe9\x80", "a b??", "controls and stray high bytes"},
    // UTF-8: decoded.
    {VR_TEXT_UTF8, "Caf\xc3\xa9 \xc3\x9f\xc3\xbf", "Caf\xe9 \xdf\xff", "two-byte letters of Latin-1"},
    {VR_TEXT_UTF8, "\xe2\x82\xac\xf0\x9f\x98\x80\xe2\x80\xa6", "EUR?...", "letters beyond Latin-1: plain forms, else ?"},
    {VR_TEXT_UTF8, "\xc2\x9b[31m\xc2\x85x", " [31m x", "C1 controls in UTF-8 as blanks"},
    // Letters with combining marks, equivalents and compatibility forms, as the bridges read them.
    {VR_TEXT_UTF8, "Cafe\xcc\x81 Zu\xcc\x88rich", "Caf\xe9 Z\xfcrich", "decomposed letters"},
    {VR_TEXT_RAW, "Cafe\\u0301 Zu\\u0308rich", "Caf\xe9 Z\xfcrich", "decomposed letters in escapes"},
    {VR_TEXT_UTF8, "S\xcc\x8c e\xcc\x81\xcc\x82 \xcc\x81x", "S \xe9 x", "marks that make no Latin-1 letter are left out"},
    {VR_TEXT_RAW, "\\u212b \\u212a \\u037e \\u0387", "\xc5 K ; \xb7", "canonical equivalents"},
    {VR_TEXT_UTF8, "\xef\xbc\xa1\xef\xbd\x9a\xef\xbc\x91 x\xe2\x81\xb4 \xe2\x85\x93\xe2\x85\x92", "Az1 x4 1/31/10",
     "fullwidth forms, superscripts, fractions"},
    {VR_TEXT_RAW, "\\u2469 \\u24b6 \\ud835\\udc00\\ud835\\udfd7", "10 A A9", "circled and mathematical forms"},
    {VR_TEXT_UTF8, "\xc0\xaf\xed\xa0\x80z", "???z", "over-long and surrogate forms"},
    {VR_TEXT_UTF8, "ab\xe2\x82", "ab?", "a letter cut at the field's end"},
    {VR_TEXT_UTF8, "\xbf\xff" "x", "??x", "bytes that begin no letter"},
};

TEST(Letters, EachEncodingReadsAsAPersonReadsIt) {
    for (const Case& c : kCases) EXPECT_EQ(c.out, latin1(c.enc, c.in)) << c.what;
}

TEST(Letters, NeverWritesAControlByte) {
    std::string every;
    for (int b = 1; b < 256; b++) every += static_cast<char>(b);
    for (vr_encoding enc : {VR_TEXT_RAW, VR_TEXT_WINDOWS_1252, VR_TEXT_ASCII, VR_TEXT_UTF8}) {
        for (unsigned char c : latin1(enc, every, 1024))
            EXPECT_FALSE(c < 0x20 || (c >= 0x7f && c <= 0x9f)) << "encoding " << enc << " byte " << int(c);
    }
}

TEST(Letters, StopsAtTheZeroAndCutsOnlyWholeReplacements) {
    EXPECT_EQ("abc", latin1(VR_TEXT_ASCII, std::string("abc\0def", 7)));
    // Room for "ab" and the terminator: the euro's three letters do not fit and are left out whole.
    EXPECT_EQ("ab", latin1(VR_TEXT_WINDOWS_1252, "ab\x80", 5));
    EXPECT_EQ("abEUR", latin1(VR_TEXT_WINDOWS_1252, "ab\x80", 6));
    // The letters of an equivalent go whole or not at all.
    EXPECT_EQ("ab", latin1(VR_TEXT_UTF8, "ab\xe2\x85\x92", 6));
    EXPECT_EQ("ab1/10", latin1(VR_TEXT_UTF8, "ab\xe2\x85\x92", 7));
    EXPECT_EQ("", latin1(VR_TEXT_UTF8, "x", 1));
    char none = 'x';
    EXPECT_EQ(0u, lcd_latin1(VR_TEXT_UTF8, "x", 1, &none, 0));
    EXPECT_EQ('x', none);
}

}  // namespace
