// test_tags.cpp - the tag table: prefix lookups, store rules, dates, the full table, the lock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

namespace {

// Every test starts from the table as the programs' start-up leaves it.
class Tags : public ::testing::Test {
protected:
    void SetUp() override {
        MP_Global_Debug = 0;
        MP_Numtags = 0;
        MP_Clear_tags();
    }
};

// The first entry whose name begins with the query, by a scan of the table: the meaning that
// the index must keep.
int scan_find(const std::string& query) {
    std::string q = query.substr(0, MP_TAG_NAME_MAX);
    for (int i = 1; i <= MP_Numtags; i++)
        if (strncmp(q.c_str(), MP_Tags[i].name, q.size()) == 0) return i;
    return 0;
}

// A log file in a scratch directory at the given debug level, for checking logged lines.
class LogFile {
public:
    explicit LogFile(int debug) {
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "tags.log");
        MP_Global_Debug = debug;
        MP_open_log();
    }
    ~LogFile() {
        MP_close_log();
        MP_Global_Debug = 0;
    }
    std::vector<std::string> lines_with(const std::string& part) const {
        std::vector<std::string> found;
        for (const std::string& line : read_lines(VP_PLUGINS "tags.log"))
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }

private:
    ScratchDir dir_;
};

// The text of a "put_tag" line behind its time stamp and label.
std::string put_text(const std::string& line) {
    size_t at = line.find(" put_tag ");
    return at == std::string::npos ? "" : line.substr(at + 9);
}

void set_zone(const char* tz) {
#ifdef _WIN32
    std::string setting = std::string("TZ=") + tz;
    _putenv(setting.c_str());
    _tzset();
#else
    setenv("TZ", tz, 1);
    tzset();
#endif
}

TEST_F(Tags, ClearedTableIsInvalidAndFirstTagMakesItNumtags) {
    EXPECT_EQ(0, memcmp(MP_Tags[0].name, "Invalid", 8));
    EXPECT_EQ(0, MP_Tags[0].len);
    EXPECT_EQ(1, MP_put_tag("First", MP_TYPE_TEXT, 0, "x"));
    EXPECT_EQ(0, memcmp(MP_Tags[0].name, "Numtags", 8));
    EXPECT_EQ(1, MP_Tags[0].len);
    EXPECT_EQ(2, MP_put_tag("Second", MP_TYPE_INT, 2, "2"));
    EXPECT_EQ(2, MP_Tags[0].len);
    EXPECT_EQ(2, MP_Numtags);
    EXPECT_STREQ("Second", MP_Tags[2].name);
    EXPECT_EQ(6, MP_Tags[2].len);
}

// A return to a mark of the open group takes back the stores made since, byte for byte: the
// entries they changed get their bytes back, the names they added go and are found no more,
// and what the group stored before the mark stays. The group goes on, and its rollback still
// returns the table to its beginning.
TEST_F(Tags, RollbackToAMarkTakesBackOnlyTheStoresSinceIt) {
    MP_put_tag("Kept", MP_TYPE_TEXT, 0, "old");
    MP_put_tag("Changed", MP_TYPE_TEXT, 0, "old");
    const std::vector<MP_TagEntry> at_begin(MP_Tags, MP_Tags + 6);
    MP_tags_begin();
    MP_put_tag("Kept", MP_TYPE_TEXT, 0, "new");
    MP_put_tag("Before", MP_TYPE_INT, 1, "1");
    const std::vector<MP_TagEntry> at_mark(MP_Tags, MP_Tags + 6);
    MP_TagMark mark = MP_tags_mark();
    MP_put_tag("Changed", MP_TYPE_TEXT, 0, "new");
    MP_put_tag("After", MP_TYPE_INT, 2, "2");
    MP_put_tag("Afterwards", MP_TYPE_INT, 3, "3");
    MP_tags_rollback_to(mark);
    EXPECT_EQ(MP_Numtags, 3);
    for (int i = 0; i < 6; i++) EXPECT_EQ(memcmp(&MP_Tags[i], &at_mark[static_cast<size_t>(i)], sizeof(MP_TagEntry)), 0) << i;
    EXPECT_EQ(MP_get_tag("After", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(MP_put_tag("Later", MP_TYPE_INT, 4, "4"), 4);
    MP_put_tag("Changed", MP_TYPE_TEXT, 0, "newer");
    MP_tags_rollback();
    for (int i = 0; i < 6; i++) EXPECT_EQ(memcmp(&MP_Tags[i], &at_begin[static_cast<size_t>(i)], sizeof(MP_TagEntry)), 0) << i;
    EXPECT_STREQ(MP_gtag("Changed"), "old");
}

TEST_F(Tags, ShorterNameUpdatesTheLongerTagItBegins) {
    EXPECT_EQ(1, MP_put_tag("A.B", MP_TYPE_TEXT, 5, "first"));
    EXPECT_EQ(1, MP_put_tag("A", MP_TYPE_INT, 7, "second"));
    EXPECT_EQ(1, MP_Numtags);
    EXPECT_STREQ("A.B", MP_Tags[1].name);
    EXPECT_EQ(3, MP_Tags[1].len);
    EXPECT_STREQ("second", MP_Tags[1].string);
    EXPECT_EQ(MP_TYPE_INT, MP_Tags[1].type);
    EXPECT_EQ(7, MP_Tags[1].ival);
}

TEST_F(Tags, LongerNameAfterShorterAddsATag) {
    EXPECT_EQ(1, MP_put_tag("A", MP_TYPE_TEXT, 0, "a"));
    EXPECT_EQ(2, MP_put_tag("AB", MP_TYPE_TEXT, 0, "ab"));
    EXPECT_EQ(2, MP_Numtags);
    EXPECT_STREQ("a", MP_gtag("A"));
    EXPECT_STREQ("ab", MP_gtag("AB"));
}

TEST_F(Tags, LookupFindsTheFirstStoredNameThatBeginsWithTheQuery) {
    MP_put_tag("Rec1.Title", MP_TYPE_TEXT, 0, "News");
    MP_put_tag("Rec1.EndTime", MP_TYPE_TEXT, 0, "late");
    MP_put_tag("Rec2.Title", MP_TYPE_TEXT, 0, "Film");
    MP_put_tag("AC", MP_TYPE_INT, 3, "3");
    MP_put_tag("AB", MP_TYPE_INT, 2, "2");

    int type = -1, ival = -1;
    char text[257];
    EXPECT_EQ(1, MP_get_tag("Rec", &type, &ival, text));
    EXPECT_STREQ("News", text);
    EXPECT_EQ(MP_TYPE_TEXT, type);
    EXPECT_EQ(2, MP_get_tag("Rec1.E", &type, &ival, text));
    EXPECT_EQ(3, MP_get_tag("Rec2", &type, &ival, text));
    EXPECT_EQ(1, MP_get_tag("Rec1.Title", &type, &ival, text));
    // Table order decides, not the order of the names: AC was stored before AB.
    EXPECT_EQ(4, MP_get_tag("A", &type, &ival, text));
    EXPECT_EQ(3, ival);
    // A query longer than every name that it begins matches nothing.
    EXPECT_EQ(0, MP_get_tag("Rec1.Titles", &type, &ival, text));
    EXPECT_EQ(0, MP_get_tag("Rec3", &type, &ival, text));
    EXPECT_EQ(0, MP_get_tag("B", &type, &ival, text));
}

TEST_F(Tags, EmptyQueryFindsTheFirstTagWhenThereIsOne) {
    EXPECT_EQ(0, MP_get_tag("", nullptr, nullptr, nullptr));
    MP_put_tag("Zeta", MP_TYPE_INT, 9, "9");
    MP_put_tag("Alpha", MP_TYPE_INT, 1, "1");
    EXPECT_EQ(1, MP_get_tag("", nullptr, nullptr, nullptr));
    EXPECT_EQ(9, MP_itag(""));
}

TEST_F(Tags, MissesGiveZeroAndTheEmptyText) {
    MP_put_tag("Known", MP_TYPE_TIME, 4, "\\/Date(1000)\\/");
    int type = 5, ival = 6;
    char text[257] = "left over";
    EXPECT_EQ(0, MP_get_tag("Unknown", &type, &ival, text));
    EXPECT_EQ(0, type);
    EXPECT_EQ(0, ival);
    EXPECT_STREQ("", text);
    EXPECT_STRNE("", MP_gtag("Known"));
    EXPECT_STREQ("", MP_gtag("Unknown"));
    EXPECT_EQ(0, MP_itag("Unknown"));
    EXPECT_EQ(0, MP_gttag("Unknown"));
    EXPECT_EQ(0, MP_get_tag(nullptr, &type, &ival, text));
}

// The index against a scan of the table, over names built from a small alphabet so that
// names begin one another often: edges split, leaves grow, queries end inside edges.
TEST_F(Tags, IndexAgreesWithAScanOfTheTable) {
    unsigned seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    const char alphabet[] = "AB.1";
    auto random_name = [&](int max_len) {
        std::string s;
        int len = static_cast<int>(next() % max_len);
        for (int i = 0; i < len; i++) s += alphabet[next() % 4];
        return s;
    };
    for (int round = 0; round < 1500; round++) {
        std::string name = random_name(12);
        int expected = scan_find(name);
        if (expected == 0) expected = MP_Numtags + 1;
        ASSERT_EQ(expected, MP_put_tag(name.c_str(), MP_TYPE_INT, round, "v")) << name;
        for (int q = 0; q < 4; q++) {
            std::string query = random_name(10);
            ASSERT_EQ(scan_find(query), MP_get_tag(query.c_str(), nullptr, nullptr, nullptr))
                << "query '" << query << "' after storing '" << name << "'";
        }
    }
    EXPECT_GT(MP_Numtags, 300);
}

TEST_F(Tags, IndexFollowsATableResetByHand) {
    MP_put_tag("Old.Name", MP_TYPE_TEXT, 0, "x");
    MP_put_tag("Other", MP_TYPE_TEXT, 0, "y");
    MP_Numtags = 0;
    MP_Clear_tags();
    EXPECT_EQ(0, MP_get_tag("Old", nullptr, nullptr, nullptr));
    EXPECT_EQ(1, MP_put_tag("New", MP_TYPE_TEXT, 0, "z"));
    EXPECT_EQ(0, MP_get_tag("Other", nullptr, nullptr, nullptr));
    EXPECT_EQ(1, MP_get_tag("N", nullptr, nullptr, nullptr));
}

// Entries written straight into the table, as a reader's copy or a test might: the index is
// rebuilt from them and keeps the scan's meaning even for names that the store would never
// add (duplicates, names that an earlier name begins with, the empty name).
TEST_F(Tags, IndexFollowsATableFilledByHand) {
    const char* names[] = {"AB", "A", "A", "", "ABC", "B.x", "B"};
    for (int i = 0; i < 7; i++) snprintf(MP_Tags[i + 1].name, 64, "%s", names[i]);
    MP_Numtags = 7;
    for (const char* q : {"", "A", "AB", "ABC", "ABCD", "B", "B.", "B.x", "C"})
        EXPECT_EQ(scan_find(q), MP_get_tag(q, nullptr, nullptr, nullptr)) << "query '" << q << "'";
    EXPECT_EQ(8, MP_put_tag("AC", MP_TYPE_TEXT, 0, "new"));
    EXPECT_EQ(8, MP_get_tag("AC", nullptr, nullptr, nullptr));
    EXPECT_EQ(1, MP_put_tag("A", MP_TYPE_TEXT, 0, "first"));
}

TEST_F(Tags, LongNamesAreCutTo63CharactersAndFoundAgain) {
    std::string long_name = std::string(63, 'n') + "TAIL-ONE";
    EXPECT_EQ(1, MP_put_tag(long_name.c_str(), MP_TYPE_TEXT, 1, "one"));
    EXPECT_EQ(63, MP_Tags[1].len);
    EXPECT_EQ(std::string(63, 'n'), MP_Tags[1].name);
    EXPECT_EQ(1, MP_put_tag(long_name.c_str(), MP_TYPE_TEXT, 2, "again"));
    EXPECT_EQ(1, MP_Numtags);
    EXPECT_STREQ("again", MP_gtag(long_name.c_str()));
    // Names that agree in their first 63 characters are one tag.
    std::string other = std::string(63, 'n') + "TAIL-TWO";
    EXPECT_EQ(1, MP_put_tag(other.c_str(), MP_TYPE_TEXT, 3, "third"));
    EXPECT_EQ(1, MP_Numtags);
    EXPECT_EQ(3, MP_itag(long_name.c_str()));
}

TEST_F(Tags, EmptyTextLeavesAnExistingTagAloneAndAddsANewOneEmpty) {
    EXPECT_EQ(1, MP_put_tag("Count", MP_TYPE_INT, 42, "42"));
    EXPECT_EQ(1, MP_put_tag("Count", MP_TYPE_TEXT, 7, ""));
    EXPECT_EQ(MP_TYPE_INT, MP_Tags[1].type);
    EXPECT_EQ(42, MP_Tags[1].ival);
    EXPECT_STREQ("42", MP_Tags[1].string);
    EXPECT_EQ(1, MP_put_tag("Count", MP_TYPE_TEXT, 8, nullptr));
    EXPECT_EQ(42, MP_Tags[1].ival);

    EXPECT_EQ(2, MP_put_tag("Blank", MP_TYPE_TEXT, 3, ""));
    EXPECT_STREQ("", MP_Tags[2].string);
    EXPECT_EQ(3, MP_Tags[2].ival);
}

TEST_F(Tags, TextTakenFromTheTableCanBeStoredAgain) {
    MP_put_tag("Title", MP_TYPE_TEXT, 0, "News at ten");
    MP_put_tag("Title", MP_TYPE_TEXT, 1, MP_Tags[1].string);
    MP_put_tag("Copy", MP_TYPE_TEXT, 2, MP_Tags[1].string);
    MP_put_tag("Copy", MP_TYPE_TEXT, 3, MP_Tags[1].string + 5);
    EXPECT_STREQ("News at ten", MP_Tags[1].string);
    EXPECT_STREQ("at ten", MP_Tags[2].string);
}

TEST_F(Tags, TextsOver256CharactersKeepTheirFirst255) {
    std::string exact(256, 'x');
    std::string over = std::string(255, 'y') + "zz";
    MP_put_tag("Exact", MP_TYPE_TEXT, 0, exact.c_str());
    MP_put_tag("Over", MP_TYPE_TEXT, 0, over.c_str());
    EXPECT_EQ(exact, MP_Tags[1].string);
    EXPECT_EQ(std::string(255, 'y'), MP_Tags[2].string);
    std::string huge(5000, 'h');
    MP_put_tag("Huge", MP_TYPE_TEXT, 0, huge.c_str());
    EXPECT_EQ(std::string(255, 'h'), MP_Tags[3].string);
    EXPECT_EQ(std::string(255, 'h'), MP_gtag("Huge"));
}

TEST_F(Tags, NamelessStoreIsRefusedWithAnErrorLine) {
    LogFile log(3);
    EXPECT_EQ(0, MP_put_tag(nullptr, MP_TYPE_TEXT, 0, "x"));
    EXPECT_EQ(0, MP_Numtags);
    EXPECT_EQ(1u, log.lines_with("**Error**MP_put_tag: A tag without a name was not stored").size());
}

class Dates : public Tags {
protected:
    void SetUp() override {
        Tags::SetUp();
        set_zone("EST5");
    }
    void TearDown() override { set_zone("UTC0"); }
};

TEST_F(Dates, JsonDateBecomesLocalTextWithItsSeconds) {
    EXPECT_EQ(1, MP_put_tag("Rec1.StartTime", MP_TYPE_TEXT, 0, "\\/Date(1449961234567+0100)\\/"));
    EXPECT_EQ(MP_TYPE_TIME, MP_Tags[1].type);
    EXPECT_EQ(1449961234, MP_Tags[1].time);
    EXPECT_STREQ("Sat Dec 12 18:00:34 2015", MP_Tags[1].string);
    EXPECT_EQ(1449961234, MP_gttag("Rec1.Start"));

    // A later date under the same name replaces text and seconds.
    MP_put_tag("Rec1.StartTime", MP_TYPE_TEXT, 0, "\\/Date(1000)\\/");
    EXPECT_EQ(1, MP_Tags[1].time);
    EXPECT_STREQ("Wed Dec 31 19:00:01 1969", MP_Tags[1].string);
}

TEST_F(Dates, DateBefore1970HasTimeZero) {
    MP_put_tag("Old", MP_TYPE_TEXT, 5, "\\/Date(-86400000)\\/");
    EXPECT_EQ(MP_TYPE_TIME, MP_Tags[1].type);
    EXPECT_EQ(0, MP_Tags[1].time);
    EXPECT_EQ(5, MP_Tags[1].ival);
    EXPECT_STREQ("Wed Dec 31 19:00:00 1969", MP_Tags[1].string);
}

TEST_F(Dates, BareDateMarkIsPlainText) {
    MP_put_tag("Bare", MP_TYPE_TEXT, 0, "\\/Date(");
    EXPECT_EQ(MP_TYPE_TEXT, MP_Tags[1].type);
    EXPECT_STREQ("\\/Date(", MP_Tags[1].string);
    EXPECT_EQ(0, MP_Tags[1].time);
    // A type-3 store of a text that is no JSON date computes no seconds.
    MP_put_tag("Span", MP_TYPE_TIME, 0, "1:02:03");
    EXPECT_EQ(MP_TYPE_TIME, MP_Tags[2].type);
    EXPECT_STREQ("1:02:03", MP_Tags[2].string);
    EXPECT_EQ(0, MP_Tags[2].time);
}

TEST_F(Dates, OversizedMillisecondsStayInRange) {
    MP_put_tag("Far", MP_TYPE_TEXT, 0, "\\/Date(99999999999999999999999999)\\/");
    EXPECT_EQ(MP_TYPE_TIME, MP_Tags[1].type);
    // The largest 64-bit count of milliseconds, in seconds, cut to its low 32 bits.
    EXPECT_EQ(-1511828489, MP_Tags[1].time);
    // A negative time value is shown as the last second that 32 bits hold.
    EXPECT_STREQ("Mon Jan 18 22:14:07 2038", MP_Tags[1].string);
}

TEST_F(Tags, FullTableRefusesNewNamesAndKeepsUpdating) {
    char name[16];
    for (int i = 1; i <= MP_MAXTAGS; i++) {
        snprintf(name, sizeof name, "T%04d", i);
        ASSERT_EQ(i, MP_put_tag(name, MP_TYPE_INT, i, "v"));
    }
    EXPECT_EQ(MP_MAXTAGS, MP_Numtags);
    EXPECT_EQ(MP_MAXTAGS + 1, MP_put_tag("Extra", MP_TYPE_INT, 1, "1"));
    EXPECT_EQ(MP_MAXTAGS, MP_Numtags);
    EXPECT_EQ(MP_MAXTAGS, MP_Tags[0].len);
    EXPECT_EQ(0, MP_get_tag("Extra", nullptr, nullptr, nullptr));
    EXPECT_EQ(1000, MP_put_tag("T1000", MP_TYPE_INT, -1, "changed"));
    EXPECT_STREQ("changed", MP_gtag("T1000"));
    EXPECT_EQ(MP_MAXTAGS, MP_itag("T2048"));
}

TEST_F(Tags, StoreLogLineShowsTheCallersTypeAndRawText) {
    set_zone("UTC0");
    LogFile log(2);
    MP_put_tag("Rec1.StartTime", MP_TYPE_TEXT, 0, "\\/Date(1449961234567+0100)\\/");
    MP_put_tag("Rec1.StartTime", MP_TYPE_INT, -12, "");
    MP_put_tag("Neg", -3, 1234567, "x");
    std::vector<std::string> lines = log.lines_with(" put_tag ");
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("entry=   2, type= 1, ival=     0, name=                          Rec1.StartTime, "
              "string=\\/Date(1449961234567+0100)\\/",
              put_text(lines[0]));
    // The no-change store of an empty text is logged as well.
    EXPECT_EQ("entry=   2, type= 0, ival=   -12, name=                          Rec1.StartTime, "
              "string=",
              put_text(lines[1]));
    EXPECT_EQ("entry=   3, type=-3, ival=1234567, name=                                     Neg, "
              "string=x",
              put_text(lines[2]));
}

TEST_F(Tags, StoreLogLineOfAFullTableAndOfAHugeTextStaysBounded) {
    LogFile log(2);
    MP_Numtags = MP_MAXTAGS;  // the index and the store take the table as full
    std::string huge(6000, 'q');
    EXPECT_EQ(MP_MAXTAGS + 1, MP_put_tag("Late", MP_TYPE_TEXT, 0, huge.c_str()));
    std::vector<std::string> lines = log.lines_with(" put_tag ");
    ASSERT_EQ(1u, lines.size());
    std::string text = put_text(lines[0]);
    EXPECT_EQ(0u, text.find("entry=2050, type= 1, ival=     0, name="));
    // The line is cut at the log's line size; what remains of the text is the caller's.
    EXPECT_EQ(static_cast<size_t>(MP_LOG_LINE_SIZE - 1), text.size());
    EXPECT_EQ(std::string(100, 'q'), text.substr(text.size() - 100));
}

TEST(TagLock, TenHoldersPassAndAnUnmatchedReleaseIsReported) {
    ScratchDir dir;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "lock.log");
    MP_Global_Debug = 3;
    MP_open_log();
    for (int i = 0; i < 10; i++) MP_lock();
    for (int i = 0; i < 10; i++) MP_unlock();
    std::string before = read_file(VP_PLUGINS "lock.log");
    EXPECT_EQ(std::string::npos, before.find("**Error**"));
    MP_unlock();
    MP_close_log();
    MP_Global_Debug = 0;
    std::vector<std::string> errors;
    for (const std::string& line : read_lines(VP_PLUGINS "lock.log"))
        if (line.find("**Error**MP_unlock ReleaseSemaphore error: ") != std::string::npos)
            errors.push_back(line);
    EXPECT_EQ(1u, errors.size());
}

}  // namespace
