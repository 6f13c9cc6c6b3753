// test_dump.cpp - the tag listing: columns byte for byte, line ends, replacing the file, failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mp_log.h"
#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

const std::string kHeader = " id  type     ival      len  name                                     string";
const std::string kRule = "---- ---- ------------ ----- ---------.---------.---------.---------. "
                          "----------------------------------------------";

class Dump : public ::testing::Test {
protected:
    void SetUp() override {
        MP_Global_Debug = 0;
        MP_Numtags = 0;
        MP_Clear_tags();
    }
    ScratchDir dir;
};

std::string without_cr(std::string s) {
    std::erase(s, '\r');
    return s;
}

TEST_F(Dump, ListsTheTableInItsColumnsWithThePlatformsLineEnds) {
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
    const std::string long_name = "Properties.Play.Current.Title.Of.A.Long.Name";  // 44 characters
    MP_put_tag(long_name.c_str(), MP_TYPE_INT, -1234567, "shifted");
    MP_put_tag("Wide", MP_TYPE_TEXT, 2147483647, "");
    MP_Dump();

    // Written out by hand, column by column: id in 4, two blanks, type in 2, a blank, ival in
    // 12, two blanks, len in 3, three blanks, the name padded to 40, a blank, the text.
    const std::string expected =
        kHeader + kEol + kRule + kEol +
        "   1   1            0   10   Recordings                               None" + kEol +
        "   2   0            0   11   IRecordings                              0" + kEol +
        "   3   0     -1234567   44   Properties.Play.Current.Title.Of.A.Long.Name shifted" + kEol +
        "   4   1   2147483647    4   Wide                                     " + kEol;
    EXPECT_EQ(expected, read_file(VP_PLUGINS "MP_Dump.log"));
    EXPECT_EQ(76u, kHeader.size());
    EXPECT_EQ(116u, kRule.size());

    // The console listing has the same lines.
    testing::internal::CaptureStdout();
    MP_Dumpc();
    fflush(stdout);
    EXPECT_EQ(without_cr(expected), without_cr(testing::internal::GetCapturedStdout()));
}

TEST_F(Dump, AnEmptyTableGivesTheHeaderLinesAndASecondDumpReplacesTheFirst) {
    for (int i = 0; i < 30; i++) MP_put_tag(("Tag" + std::to_string(i)).c_str(), MP_TYPE_INT, i, "x");
    MP_Dump();
    EXPECT_EQ(32u, read_lines(VP_PLUGINS "MP_Dump.log").size());

    MP_Numtags = 0;
    MP_Clear_tags();
    MP_Dump();
    EXPECT_EQ(kHeader + kEol + kRule + kEol, read_file(VP_PLUGINS "MP_Dump.log"));
}

TEST_F(Dump, AFullTableIsListedToItsLastTag) {
    for (int i = 1; i <= MP_MAXTAGS + 1; i++)
        MP_put_tag(("Fill." + std::to_string(i)).c_str(), MP_TYPE_INT, i, std::to_string(i).c_str());
    ASSERT_EQ(MP_MAXTAGS, MP_Numtags);
    MP_Dump();
    std::vector<std::string> lines = read_lines(VP_PLUGINS "MP_Dump.log");
    ASSERT_EQ(static_cast<size_t>(MP_MAXTAGS + 2), lines.size());
    EXPECT_EQ("2048   0         2048    9   Fill.2048                                2048", lines.back());
}

TEST_F(Dump, WithoutItsFolderTheDumpSaysSoOnTheConsoleAndLeavesTheTraceBalanced) {
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    std::filesystem::remove_all("plugins");
    int depth = MP_trace_depth();
    testing::internal::CaptureStdout();
    MP_Dump();
    fflush(stdout);
    EXPECT_EQ("Failed to open dump file", testing::internal::GetCapturedStdout());
    EXPECT_EQ(depth, MP_trace_depth());
    EXPECT_FALSE(std::filesystem::exists("plugins"));
}

#ifndef _WIN32
// The listing is opened as the logs are: a link at its name (to a file that someone else wants
// overwritten) is not written through, and a new listing admits only its owner.
TEST_F(Dump, TheListingIsWrittenThroughNoLinkAndIsPrivate) {
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    write_file("victim.txt", "untouched");
    ASSERT_EQ(0, symlink("../victim.txt", VP_PLUGINS "MP_Dump.log"));
    testing::internal::CaptureStdout();
    MP_Dump();
    fflush(stdout);
    EXPECT_EQ("Failed to open dump file plugins/MP_Dump.log: it is a symbolic link",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ("untouched", read_file("victim.txt"));

    std::filesystem::remove(VP_PLUGINS "MP_Dump.log");
    mode_t mask = umask(022);
    MP_Dump();
    umask(mask);
    struct stat st;
    ASSERT_EQ(0, stat(VP_PLUGINS "MP_Dump.log", &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_EQ(3u, read_lines(VP_PLUGINS "MP_Dump.log").size());
}
#endif

}  // namespace
