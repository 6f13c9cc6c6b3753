// test_status_layout.cpp - the monitor's screens composed from copies that the test sets: the
// screen that fits a window of any size, paging, filters, ages and text made safe, on both
// platforms (the terminal itself is tried end to end in test_status_screen.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp_tags.h"
#include "mp_term_text.h"
#include "status.h"
#include "vp.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::string> lines_of(const char* text, size_t len) {
    std::vector<std::string> lines;
    std::string all(text, len);
    size_t at = 0;
    for (;;) {
        size_t nl = all.find('\n', at);
        lines.push_back(all.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) break;
        at = nl + 1;
    }
    return lines;
}

bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string row(int r, int type, int ival, int len, const std::string& name, const std::string& text) {
    char line[512];
    snprintf(line, sizeof line, "%4d  %2d %12d  %3d   %-40s %-s", r, type, ival, len, name.c_str(), text.c_str());
    return line;
}

std::string age(int64_t now, int32_t published, int stale_after) {
    char text[64];
    MP_status_age_text(text, sizeof text, now, published, stale_after);
    return text;
}

std::string safe(const std::string& field, size_t width) {
    char out[512];
    return MP_status_console_text(out, field.data(), width);
}

void set_tag(vr_record& t, const std::string& name, int ival, const std::string& text) {
    memset(&t, 0, sizeof t);
    snprintf(t.name, sizeof t.name, "%s", name.c_str());
    t.len = static_cast<int32_t>(name.size());
    t.type = MP_TYPE_TEXT;
    t.ival = ival;
    snprintf(t.string, sizeof t.string, "%s", text.c_str());
}

// The copies as the monitor keeps them after reading both blocks: WifiRemote tags W.<i>,
// MPExtended tags Rec<i>.Title, every text text_len characters long.
class Layout : public ::testing::Test {
protected:
    void SetUp() override {
        MP_status_set_filter(0, nullptr);
        MP_status_first = 0;
    }
    void TearDown() override { MP_status_set_filter(0, nullptr); }

    void tables(int count1, int count2, size_t text_len, int64_t published) {
        memset(&MP_status_header1, 0, sizeof MP_status_header1);
        memset(&MP_status_header2, 0, sizeof MP_status_header2);
        set_tag(MP_status_header1, "Numtags", 0, "OK");
        set_tag(MP_status_header2, "Numtags", 0, "OK");
        MP_status_header1.len = count1;
        MP_status_header2.len = count2;
        MP_status_header1.time = static_cast<int32_t>(published);
        MP_status_header2.time = static_cast<int32_t>(published);
        MP_status_merged[0] = MP_status_header1;
        std::string text(text_len, 'x');
        for (int i = 1; i <= count1; i++) set_tag(MP_status_merged[i], "W." + std::to_string(i), i, text);
        MP_status_mpx_table[0] = MP_status_header2;
        for (int i = 1; i <= count2; i++) {
            set_tag(MP_status_mpx_table[i], "Rec" + std::to_string(i) + ".Title", i, text);
            if (count1 + i <= VR_MAX_TAGS) MP_status_merged[count1 + i] = MP_status_mpx_table[i];
        }
        MP_status_count1 = count1;
        MP_status_count2 = count2;
        MP_status_row_total = count1 + count2 + 1;
    }

    std::vector<std::string> fitted(int rows, int cols, bool keys = true) {
        size_t len = 0;
        const char* text = MP_status_fitted_screen(now, rows, cols, keys, &len);
        return lines_of(text, len);
    }

    std::vector<std::string> full() {
        size_t len = 0;
        const char* text = MP_status_full_screen(now, &len);
        std::vector<std::string> lines = lines_of(text, len);
        if (!lines.empty() && lines.back().empty()) lines.pop_back();
        return lines;
    }

    // The row numbers of a fitted screen: the lines after the rule, before the last one.
    static std::vector<int> ids(const std::vector<std::string>& lines) {
        std::vector<int> out;
        size_t r = 0;
        while (r < lines.size() && lines[r].rfind(" id  type", 0) != 0) r++;
        for (r += 2; r + 1 < lines.size(); r++) out.push_back(atoi(lines[r].substr(0, 4).c_str()));
        return out;
    }

    const int64_t now = 1800000000;  // a time of this century, past nothing in particular
};

TEST(StatusAge, ShowsTheAgeAndMarksItStaleOnlyPastTheLimit) {
    const int64_t now = 1800000000;
    EXPECT_EQ("[never published]", age(now, 0, 60));
    EXPECT_EQ("[0 s ago]", age(now, static_cast<int32_t>(now), 60));
    EXPECT_EQ("[12 s ago]", age(now, static_cast<int32_t>(now - 12), 30));
    EXPECT_EQ("[30 s ago]", age(now, static_cast<int32_t>(now - 30), 30));
    EXPECT_EQ("[STALE, 31 s ago]", age(now, static_cast<int32_t>(now - 31), 30));
    EXPECT_EQ("[59 s ago]", age(now, static_cast<int32_t>(now - 59), 60));
    EXPECT_EQ("[STALE, 75 s ago]", age(now, static_cast<int32_t>(now - 75), 60));
    EXPECT_EQ("[STALE, 119 s ago]", age(now, static_cast<int32_t>(now - 119), 60));
    EXPECT_EQ("[STALE, 2 min ago]", age(now, static_cast<int32_t>(now - 150), 60));
    EXPECT_EQ("[STALE, 119 min ago]", age(now, static_cast<int32_t>(now - 7199), 60));
    EXPECT_EQ("[STALE, 2 h ago]", age(now, static_cast<int32_t>(now - 7200), 60));
    EXPECT_EQ("[STALE, 3 d ago]", age(now, static_cast<int32_t>(now - 3 * 86400 - 5), 60));
    EXPECT_EQ("[5 s ahead]", age(now, static_cast<int32_t>(now + 5), 60));
    // After January 2038 the 32-bit time reads negative as a signed number.
    const int64_t later = 0x80000000LL + 100;
    EXPECT_EQ("[7 s ago]", age(later, static_cast<int32_t>(static_cast<uint32_t>(later - 7)), 30));
}

TEST(StatusText, ShowsControlsOfBothRangesAsQuestionMarksAndKeepsOtherText) {
    EXPECT_EQ("a?b?c?", safe("a\x1b" "b\x7f" "c\n", 64));
    // Raw C1: CSI, OSC, the first and last of the range; and their UTF-8 forms, one '?' each.
    EXPECT_EQ("?2J ?0; ? ?", safe("\x9b" "2J \x9d" "0; \x80 \x9f", 64));
    EXPECT_EQ("?31m ?x ?", safe("\xc2\x9b" "31m \xc2\x85" "x \xc2\x80", 64));
    // Other characters outside ASCII stay whole, as valid UTF-8: C2 A9, a no-break space, the
    // euro sign (whose second byte lies in the C1 range, which a UTF-8 terminal reads as part of
    // the character).
    EXPECT_EQ("\xc2\xa9 \xc2\xa0 \xe2\x82\xac \xc3\xa9", safe("\xc2\xa9 \xc2\xa0 \xe2\x82\xac \xc3\xa9", 64));
    // The field ends at its width: a character that it cuts short is one '?'; nothing past it
    // is read.
    EXPECT_EQ("ab?", safe("ab\xc2\x9b", 3));
    EXPECT_EQ("abc", safe(std::string("abcdef"), 3));
}

TEST_F(Layout, TheFittedScreenFitsEveryWindowAndKeepsTheStateLinesOnTop) {
    tables(VR_MAX_TAGS, VR_MAX_TAGS, MP_TAG_TEXT_MAX, now - 5);
    const int sizes[][2] = {{24, 80}, {60, 200}, {25, 132}, {10, 40}, {5, 20}, {3, 10}, {1, 1}, {2, 200}, {600, 1200}};
    for (const auto& size : sizes) {
        const int rows = size[0], cols = size[1];
        std::vector<std::string> lines = fitted(rows, cols);
        const size_t width = static_cast<size_t>(cols > 1 ? (cols > 1000 ? 999 : cols - 1) : 1);
        const size_t most = static_cast<size_t>(rows > 500 ? 500 : rows);
        ASSERT_LE(lines.size(), most) << rows << "x" << cols;
        for (const std::string& l : lines) EXPECT_LE(l.size(), width) << rows << "x" << cols << ": " << l;
        // The last line is the total, however small the window, with the rows not shown.
        const std::string closing = "Total Numtags=4097  " + std::to_string(4097 - MP_status_page_rows) +
                                    " not shown: j/k PgUp/PgDn Home/End, q quits";
        EXPECT_EQ(closing.substr(0, width), lines.back()) << rows << "x" << cols;
        if (rows >= 10 && cols >= 80) {
            EXPECT_EQ(most, lines.size());
            EXPECT_NE(std::string::npos, lines[0].find(" WifiRemote State1=Numtags")) << lines[0];
            std::vector<int> shown = ids(lines);
            ASSERT_FALSE(shown.empty()) << rows << "x" << cols;
            EXPECT_EQ(0, shown[0]);
            EXPECT_EQ(static_cast<int>(shown.size()), MP_status_page_rows);
            EXPECT_EQ(static_cast<int>(shown.size()) - 1, shown.back());
        }
    }
}

TEST_F(Layout, StateLinesWrapAtBlanksSoThatTheAgeStaysInSight) {
    tables(3, 2, 10, now - 12);
    // A long status line takes several rows; the rows for tags shrink by as many.
    std::string status(200, 'e');
    for (size_t k = 9; k < status.size(); k += 10) status[k] = ' ';
    snprintf(MP_status_header2.string, sizeof MP_status_header2.string, "%s", status.c_str());
    std::vector<std::string> lines = fitted(24, 80);
    size_t header = 0;
    while (header < lines.size() && lines[header] != std::string(MP_DUMP_HEADER).substr(0, 79)) header++;
    ASSERT_LT(header, lines.size());
    EXPECT_GE(header, 5u);
    // The header, the rule, the six rows and the last line follow.
    ASSERT_EQ(header + 9, lines.size());
    std::string top;
    for (size_t r = 0; r < header; r++) top += lines[r] + " ";
    // Put back together at the breaks, the rows are the two state lines.
    char state[STATUS_LINE_MAX];
    MP_status_state_line(state, 0, now);
    std::string both = std::string(state) + " ";
    MP_status_state_line(state, 1, now);
    both += std::string(state) + " ";
    EXPECT_EQ(both, top);
    EXPECT_NE(std::string::npos, lines[header - 1].find("  [12 s ago]")) << lines[header - 1];
    EXPECT_EQ(static_cast<int>(24 - header - 3), MP_status_page_rows);
    EXPECT_EQ("Total Numtags=6  all shown; q quits", lines.back());
}

TEST_F(Layout, KeysPageThroughTheRowsAndTheEndFollowsNewRows) {
    tables(40, 60, 20, now);
    std::vector<std::string> lines = fitted(24, 80);
    const int page = MP_status_page_rows;
    ASSERT_GT(page, 5);
    EXPECT_EQ(0, ids(lines)[0]);

    struct Step {
        int key;
        int first;
    };
    const Step steps[] = {{'j', 1},           {VP_KEY_DOWN, 2},     {'k', 1},          {VP_KEY_UP, 0},
                          {VP_KEY_UP, 0},     {' ', page},          {'f', 2 * page},   {VP_KEY_PAGE_DOWN, 3 * page},
                          {'b', 2 * page},    {VP_KEY_PAGE_UP, page}, {'G', 101 - page}, {'j', 101 - page},
                          {VP_KEY_HOME, 0},   {VP_KEY_END, 101 - page}, {'g', 0}};
    for (const Step& step : steps) {
        EXPECT_TRUE(MP_status_page(step.key)) << step.key;
        std::vector<int> shown = ids(fitted(24, 80));
        ASSERT_EQ(static_cast<size_t>(page), shown.size());
        EXPECT_EQ(step.first, shown[0]) << "key " << step.key;
    }
    EXPECT_FALSE(MP_status_page('x'));
    EXPECT_FALSE(MP_status_page('q'));

    // At the end, new rows come into sight; elsewhere the rows in sight stay.
    MP_status_page('G');
    fitted(24, 80);
    tables(40, 70, 20, now);
    std::vector<int> shown = ids(fitted(24, 80));
    EXPECT_EQ(110, shown.back());
    MP_status_page('g');
    fitted(24, 80);
    MP_status_page('j');
    fitted(24, 80);
    tables(40, 80, 20, now);
    EXPECT_EQ(1, ids(fitted(24, 80))[0]);
    // Fewer rows than the position: the last rows that there are.
    MP_status_first = 500;
    tables(2, 3, 20, now);
    shown = ids(fitted(24, 80));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5}), shown);
}

TEST_F(Layout, FiltersListTheMatchingRowsOnBothScreens) {
    tables(12, 12, 5, now);
    const char* words[] = {"W.1", "Rec2."};
    ASSERT_EQ(2, MP_status_set_filter(2, words));
    // W.1, W.10, W.11, W.12 and Rec2.Title; Rec12.Title begins otherwise.
    std::vector<std::string> lines = fitted(24, 80);
    EXPECT_EQ((std::vector<int>{1, 10, 11, 12, 14}), ids(lines));
    EXPECT_EQ("Total Numtags=25, 5 match  all shown; q quits", lines.back());
    // Without keys the last line tells other ways to see the rows.
    lines = fitted(8, 80, false);
    EXPECT_EQ(1, MP_status_page_rows);
    EXPECT_EQ("Total Numtags=25, 5 match  4 not shown: filter by names, or write to a file", lines.back());

    std::vector<std::string> listing = full();
    ASSERT_EQ(2u + 2u + 5u + 2u, listing.size());
    EXPECT_EQ(row(1, 1, 1, 3, "W.1", "xxxxx"), listing[4]);
    EXPECT_EQ(row(14, 1, 2, 10, "Rec2.Title", "xxxxx"), listing[8]);
    EXPECT_EQ("Total Numtags=25", listing[9]);
    EXPECT_EQ("Filter: W.1 Rec2. (5 of 25 rows)", listing[10]);

    // Without words, every row; a word longer than any name matches none.
    MP_status_set_filter(0, nullptr);
    EXPECT_EQ(2u + 2u + 25u + 1u, full().size());
    std::string long_word(70, 'W');
    const char* too_long[] = {long_word.c_str()};
    MP_status_set_filter(1, too_long);
    EXPECT_EQ("Total Numtags=25, 0 match  all shown; q quits", fitted(24, 80).back());
}

TEST_F(Layout, TheFullListingKeepsItsLinesWithTheAgeAfterEachStatus) {
    tables(1, 1, 3, now - 45);
    std::vector<std::string> listing = full();
    ASSERT_EQ(8u, listing.size());
    EXPECT_EQ(14u, listing[0].find(" WifiRemote State1=Numtags Numtags1=   1 Time="));
    EXPECT_TRUE(ends_with(listing[0], " Status1=OK  [STALE, 45 s ago]")) << listing[0];
    EXPECT_EQ(0u, listing[1].find("               MPExtended State2=Numtags Numtags2=   1 Time="));
    EXPECT_TRUE(ends_with(listing[1], " Status2=OK  [45 s ago]")) << listing[1];
    EXPECT_EQ(MP_DUMP_HEADER, listing[2]);
    EXPECT_EQ(MP_DUMP_RULE, listing[3]);
    EXPECT_EQ("Total Numtags=3", listing[7]);
}

// The rows of each block in its encoding, the names in Raw's form, the name's column counted in
// characters as the terminal shows them.
TEST_F(Layout, EachBlocksRowsAreShownInItsEncoding) {
    tables(1, 1, 3, now);
    set_tag(MP_status_merged[1], "Title", 0, "caf\xE9 \x80");
    set_tag(MP_status_merged[2], "Kan\xC3\xA4le", 0, "caf\xC3\xA9");
    MP_status_mpx_table[1] = MP_status_merged[2];
    memset(MP_status_marker, 0, sizeof MP_status_marker);
    memcpy(MP_status_marker[0], "VistrelText=Windows-1252", 24);
    MP_status_settings_encoding = MP_TEXT_UTF8;
    char line[STATUS_LINE_MAX];
    EXPECT_EQ(row(1, 1, 0, 5, "Title", "caf\xC3\xA9 \xE2\x82\xAC"), std::string(line, MP_status_row_line(line, 1)));
    // The name takes 6 columns in 7 bytes: 34 blanks pad it to its 40 columns.
    const std::string kanale = std::string("Kan\xC3\xA4le") + std::string(34, ' ');
    EXPECT_EQ(row(2, 1, 0, 7, kanale, "caf\xC3\xA9"), std::string(line, MP_status_row_line(line, 2)));
    // The block's own marker wins over the settings file, an option over both.
    memcpy(MP_status_marker[1], "VistrelText=ASCII", 18);
    EXPECT_EQ(row(2, 1, 0, 7, kanale, "caf??"), std::string(line, MP_status_row_line(line, 2)));
    MP_status_encoding_option = MP_TEXT_RAW;
    // Raw's bytes that begin no UTF-8 character (a Latin-1 letter, a C1 byte) are '?'.
    EXPECT_EQ(row(1, 1, 0, 5, "Title", "caf? ?"), std::string(line, MP_status_row_line(line, 1)));
    MP_status_encoding_option = -1;
    MP_status_settings_encoding = MP_TEXT_RAW;
    memset(MP_status_marker, 0, sizeof MP_status_marker);
}

// A fitted screen cuts its rows at the window's width in columns, never inside a letter.
TEST_F(Layout, FittedRowsAreCutBetweenLetters) {
    tables(3, 0, 10, now);
    std::string letters;
    for (int i = 0; i < 120; i++) letters += "\xE9\x80";
    for (int i = 1; i <= 3; i++) set_tag(MP_status_merged[i], "T" + std::to_string(i), i, letters);
    memcpy(MP_status_marker[0], "VistrelText=Windows-1252", 24);
    for (int cols : {80, 81, 82, 83, 200}) {
        int rows = 0;
        for (const std::string& l : fitted(12, cols)) {
            if (l.compare(0, 4, "   1") != 0 && l.compare(0, 4, "   2") != 0 && l.compare(0, 4, "   3") != 0) continue;
            rows++;
            char shown[1024];
            // Whole characters only: shown again as UTF-8, the line is the same.
            EXPECT_EQ(l, MP_term_text(shown, sizeof shown, l.c_str(), l.size(), MP_TEXT_UTF8)) << cols;
            EXPECT_EQ(static_cast<size_t>(cols - 1), MP_term_columns(l.data(), l.size())) << cols;
        }
        EXPECT_EQ(3, rows) << cols;
    }
    memset(MP_status_marker, 0, sizeof MP_status_marker);
}

// Standard output in a file is no console on either platform: no size, so the monitor writes
// the whole listing, and no keys; the wait for a key is a plain wait.
TEST(StatusConsole, StandardOutputInAFileIsNoConsole) {
    fflush(stdout);
    int saved = dup(1);
    ASSERT_GE(saved, 0);
#ifdef _WIN32
    int file = _open("console_test.out", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int file = open("console_test.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
#endif
    ASSERT_GE(file, 0);
    dup2(file, 1);
    int rows = -7, cols = -7;
    int size = vp_console_size(&rows, &cols);
    int keys = vp_console_keys_start();
    double before = vp_process_seconds();
    int key = vp_console_wait_key(60);
    double waited = vp_process_seconds() - before;
    dup2(saved, 1);
    close(saved);
    close(file);
    remove("console_test.out");
    EXPECT_EQ(-1, size);
    EXPECT_EQ(-7, rows);
    EXPECT_EQ(-1, keys);
    EXPECT_EQ(VP_KEY_NONE, key);
    EXPECT_GE(waited, 0.05);
}

}  // namespace
