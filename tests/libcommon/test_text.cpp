// test_text.cpp - the text and time helpers and their edge cases.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_text.h"
#include "scratch.h"
#include "vp.h"

namespace {
// A heap copy exactly as long as the text and its terminator, so that AddressSanitizer
// catches any read past the terminator.
std::vector<char> exact(const std::string& s) { return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1); }

void set_tz(const char* tz) {
#ifdef _WIN32
    _putenv_s("TZ", tz);
    _tzset();
#else
    setenv("TZ", tz, 1);
    tzset();
#endif
}

std::string b64(const std::string& in, int* len) {
    char out[512];
    base64_encode(reinterpret_cast<const unsigned char*>(in.data()), static_cast<unsigned>(in.size()), len, out);
    return out;
}

TEST(Text, Base64) {
    int len = -1;
    EXPECT_EQ(b64("abc", &len), "YWJj");
    EXPECT_EQ(len, 4);
    EXPECT_EQ(b64("abcd", &len), "YWJjZA==");
    EXPECT_EQ(len, 8);
    EXPECT_EQ(b64("", &len), "");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b64("fooba", &len), "Zm9vYmE=");
    EXPECT_EQ(b64("\xE9", &len), "6Q==");        // bytes taken as octets 0..255
    EXPECT_EQ(b64("\xFB\xFF", &len), "+/8=");    // the last two alphabet entries
    std::string long_out = b64(std::string(100, 'u'), &len);
    EXPECT_EQ(len, 136);
    EXPECT_EQ(long_out.size(), 136u);            // one line, no breaks
    EXPECT_EQ(long_out.find('\n'), std::string::npos);
}

TEST(Text, RemoveUtf8) {
    struct {
        std::string in, out;
    } cases[] = {
        {"Caf\xC3\xA9", "Caf "},
        {"\xE2\x82\xAC" "5", " 5"},
        {"a\xF0\x9F\x98\x80z", "a z"},
        {"\xF8\x88\x80\x80\x80!\xFC\x84\x80\x80\x80\x80?", " ! ?"},
        {"stray\x80\xBF", "stray\x80\xBF"},       // continuation bytes alone stay
        {"ab\xF0\x9F", "ab "},                     // cut short by the end: no read past it
        {"plain", "plain"},
        // A lead byte without its continuation bytes becomes a blank and keeps what follows:
        // a Latin-1 letter before a quote, or a stray byte before a message's brace.
        {"{\"T\":\"Caf\xE9\",\"N\":1}", "{\"T\":\"Caf \",\"N\":1}"},
        {"\xC3{\"Type\":\"x\"}", " {\"Type\":\"x\"}"},
        {"\xF0\x9F{", " {"},
        {"\xE2\x82\xAC\xAC", " \xAC"},  // a continuation byte past the sequence stays
    };
    for (const auto& c : cases) {
        std::vector<char> buf = exact(c.in);
        remove_utf8(buf.data());
        EXPECT_STREQ(buf.data(), c.out.c_str());
    }
    char tail[] = "\xE2\x82\xAC" "ab";  // the bytes behind the new terminator are left alone
    remove_utf8(tail);
    EXPECT_EQ(std::string(tail, 6), std::string(" ab\0b", 6));
}

// The filter one byte at a time: what the block-wise filter must match on every text.
std::string remove_utf8_bytewise(const std::string& in) {
    std::string out;
    for (size_t r = 0; r < in.size();) {
        unsigned char b = static_cast<unsigned char>(in[r]);
        if (b < 0xC0) {
            out += in[r++];
            continue;
        }
        out += ' ';
        size_t n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : b < 0xFC ? 5 : 6;
        for (r++, n--; n > 0 && r < in.size() && (static_cast<unsigned char>(in[r]) & 0xC0) == 0x80; n--) r++;
    }
    return out;
}

// Texts long enough for the eight-byte groups, with lead and stray continuation bytes at
// every offset within a group and sequences cut short at the end.
TEST(Text, RemoveUtf8MatchesBytewiseFilter) {
    const char bytes[] = {'a', 'b', '{', '"', '\x80', '\xBF', '\xC3', '\xE2', '\xF0', '\xF8', '\xFC'};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; round++) {
        std::string in(random() % 70, 'x');
        // Mostly plain text, so that long plain runs lie between the multi-byte characters.
        for (char& c : in)
            if (random() % 4 == 0) c = bytes[random() % sizeof bytes];
        std::vector<char> buf = exact(in);
        remove_utf8(buf.data());
        ASSERT_EQ(std::string(buf.data()), remove_utf8_bytewise(in)) << "round " << round;
    }
}

TEST(Text, StrfindSkipsEscapesAndStaysInside) {
    auto find = [](const std::string& s, char c, int start) { return strfind(exact(s).data(), c, start); };
    EXPECT_EQ(find("a\\{b{", '{', 0), 5);
    EXPECT_EQ(find("{x", '{', 0), 1);
    EXPECT_EQ(find("{x{", '{', 1), 3);
    EXPECT_EQ(find("abc", 'z', 0), 0);
    EXPECT_EQ(find("abc\\", 'z', 0), 0);      // ends with a backslash
    EXPECT_EQ(find("ab\\c", 'c', 0), 0);      // escape one before the end ends the search
    EXPECT_EQ(find("\\x\\y", '\\', 0), 3);    // a backslash reached as candidate is no escape
    EXPECT_EQ(find("\\\\x", '\\', 0), 0);
    EXPECT_EQ(find("ab", 'b', 2), 0);
    EXPECT_EQ(find("ab", 'b', 50), 0);        // start past the end: nothing read there
    EXPECT_EQ(find("ab", 'b', -3), 0);
}

TEST(Text, Strfindstr) {
    std::string head(40, '-');
    EXPECT_EQ(strfindstr((head + "Content-Length: 12\r\n").c_str(), "Content-Length:", 15), 40);
    EXPECT_EQ(strfindstr((head + "Content-Type: x").c_str(), "Content-Length:", 15), -1);
    EXPECT_EQ(strfindstr(exact("xxContent-Len").data(), "Content-Length:", 15), -1);
    EXPECT_EQ(strfindstr("abc", "bc", 5), 1);    // a short pattern must end with the text
    EXPECT_EQ(strfindstr("abcd", "bc", 5), -1);
    EXPECT_EQ(strfindstr("abcd", "bcX", 2), 1);
    EXPECT_EQ(strfindstr("", "a", 1), -1);
}

TEST(Text, LineAndFieldCopies) {
    char dest[32];
    memset(dest, '#', sizeof dest);
    strcpytonl(dest, "no line feed");
    EXPECT_STREQ(dest, "no line feed");
    char same[] = "first\nsecond";
    strcpytonl(same, same);
    EXPECT_STREQ(same, "first");

    memset(dest, '#', sizeof dest);
    EXPECT_EQ(substrcpy(dest, "key=value", '='), 3);
    EXPECT_STREQ(dest, "key");
    EXPECT_EQ(substrcpy(dest, "whole", ';'), 5);
    EXPECT_STREQ(dest, "whole");

    const std::string text = "\r\n\r\nabc\ndef";
    EXPECT_EQ(MP_extract_line(text.c_str(), 0, dest), 3);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(MP_extract_line(text.c_str(), 7, dest), 3);  // last line without a line end
    EXPECT_STREQ(dest, "def");
    EXPECT_EQ(MP_extract_line("\r\n\n", 0, dest), 0);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(MP_extract_line(exact("ab").data(), 9, dest), 0);
    EXPECT_STREQ(dest, "");
}

TEST(Text, NumberWords) {
    struct {
        int n;
        const char* word;
    } cases[] = {{0, "None"},          {7, "Seven"},         {19, "Nineteen"},     {20, "Twenty"},
                 {21, "TwentyOne"},    {73, "SeventyThree"}, {78, "SeventyEight"}, {90, "Ninety"},
                 {99, "NinetyNine"},   {100, "FarTooBig"},   {INT_MAX, "FarTooBig"},
                 {-1, "Negative"},     {INT_MIN, "Negative"}};
    for (const auto& c : cases) EXPECT_STREQ(MP_nr_to_string(c.n), c.word) << c.n;
}

TEST(Time, SecondCountsAndBars) {
    char out[64];
    MP_one_time_fmt(out, "%d:%02d:%02d", 3725);
    EXPECT_STREQ(out, "1:02:05");
    MP_one_time_fmt(out, "%d:%02d:%02d", 93600);
    EXPECT_STREQ(out, "26:00:00");
    EXPECT_EQ(two_time_fmt(out, "%d:%02d:%02d/%d:%02d:%02d", 3725, 59), 15);
    EXPECT_STREQ(out, "1:02:05/0:00:59");

    struct {
        int value, maximum;
        const char* bar;
    } cases[] = {{5, 10, "########________"}, {30, 10, "################"},
                 {5, 0, "________________"},  {-5, 10, "________________"},
                 {1, 16, "#_______________"}, {INT_MAX, 1, "################"}};
    for (const auto& c : cases) {
        memset(out, '@', sizeof out);
        Tbars(out, c.value, c.maximum, '#');
        EXPECT_STREQ(out, c.bar) << c.value << "/" << c.maximum;
        EXPECT_EQ(out[17], '@');
    }

    MP_Global_BarChar = '=';
    EXPECT_EQ(bar_or_time_fmt(out, "%d:%02d:%02d/%d:%02d:%02d", 8, 16), 16);
    EXPECT_STREQ(out, "========________");
    MP_Global_BarChar = 0;
    bar_or_time_fmt(out, "%d:%02d:%02d/%d:%02d:%02d", 8, 16);
    EXPECT_STREQ(out, "0:00:08/0:00:16");
}

TEST(Time, DateTexts) {
    ScratchDir dir;  // refused inputs are reported in the log
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "text.log");
    set_tz("UTC0");
    char out[64];
    struct {
        long long t;
        const char* text;
    } cases[] = {{-1, "Tue Jan 19 03:14:07 2038"},
                 {0, "Thu Jan  1 00:00:00 1970"},
                 {1449961234, "Sat Dec 12 23:00:34 2015"},
                 {400000000000LL, "Tue Jan 19 03:14:07 2038"}};  // no four-digit year
    for (const auto& c : cases) {
        time_fmt(out, c.t);
        EXPECT_STREQ(out, c.text) << c.t;
    }
    set_tz("CET-1");
    time_fmt(out, 0);
    EXPECT_STREQ(out, "Thu Jan  1 01:00:00 1970");

    EXPECT_TRUE(std::regex_match(now_fmt(), std::regex("\\d\\d:\\d\\d \\d\\d/\\d\\d/\\d\\d")));
    snprintf(MP_Global_DateFormat, sizeof MP_Global_DateFormat, "%s", "%Y!");
    EXPECT_TRUE(std::regex_match(now_fmt(), std::regex("2\\d{3}!")));
    snprintf(MP_Global_DateFormat, sizeof MP_Global_DateFormat, "%s", "%e %");
    EXPECT_STREQ(now_fmt(), "");
    std::string log = read_file(VP_PLUGINS "text.log");
    EXPECT_NE(log.find("**Error**time_fmt: Time value 400000000000 has no date text"), std::string::npos);
    EXPECT_NE(log.find("**Error**now_fmt: Date format \"%e %\" is not supported"), std::string::npos);
    MP_log_reset();
}

TEST(Text, HelpersLeaveTheTraceBalanced) {
    char out[64];
    int len;
    int depth = MP_trace_depth();
    base64_encode(reinterpret_cast<const unsigned char*>("ab"), 2, &len, out);
    remove_utf8(out);
    strfind("a\\b", 'b', 0);
    strfindstr("abc", "c", 1);
    MP_extract_line("x\n", 0, out);
    time_fmt(out, 0);
    Tbars(out, 1, 2, '#');
    MP_nr_to_string(42);
    EXPECT_EQ(MP_trace_depth(), depth);
}

TEST(Text, OnlyFourDecimalPartsOfAtMost255AreADottedAddress) {
    for (const char* yes : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "192.168.1.20"})
        EXPECT_TRUE(MP_is_dotted_address(yes)) << yes;
    for (const char* no : {"", "htpc.lan", "localhost", "256.1.1.1", "1.2.3", "1.2.3.4.5", "1..3.4",
                           ".1.2.3", "1.2.3.", "1.2.3.4 ", "-1.2.3.4", "1234.1.1.1", "1.2.3.4a", "0x7f.0.0.1"})
        EXPECT_FALSE(MP_is_dotted_address(no)) << '"' << no << '"';
}

}  // namespace
