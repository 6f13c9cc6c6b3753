// test_log.cpp - the log core, the level rule, the recent-lines ring, the log file and the trace.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_tags.h"
#include "other_user.h"
#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const char* const kLog = VP_PLUGINS "test.log";
const std::string kStars(69, '*');

#ifndef _WIN32
// The console's lines that tell why the log is not open (the size probe prints its own lines).
std::vector<std::string> refusals(const std::string& console) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < console.size()) {
        size_t end = console.find('\n', start);
        if (end == std::string::npos) end = console.size();
        std::string line = console.substr(start, end - start);
        if (line.rfind("Failed to open log file", 0) == 0) out.push_back(line);
        start = end + 1;
    }
    return out;
}
#endif

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        MP_log_reset();
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", kLog);
        snprintf(MP_Global_Title, sizeof MP_Global_Title, "Vistrel Test Interface v");
        snprintf(MP_Global_Version, sizeof MP_Global_Version, "9.8.7");
        MP_Global_Debug = 0;
    }
    // Closes the file before the scratch directory goes (Windows cannot remove an open file).
    void TearDown() override { MP_log_reset(); }

    // The texts of the lines after the opening banner, stamps removed (checked on the way).
    std::vector<std::string> body() {
        std::vector<std::string> all = read_lines(kLog), out;
        static const std::regex stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
        for (size_t i = 6; i < all.size(); i++) {
            EXPECT_TRUE(std::regex_search(all[i], stamp)) << all[i];
            out.push_back(all[i].size() >= 13 ? all[i].substr(13) : all[i]);
        }
        return out;
    }
    ScratchDir dir;
};

TEST_F(Log, LineFormatBannersAndLineEnds) {
    testing::internal::CaptureStdout();
    MP_open_log();
    MP_Global_Debug = 1;
    MP_log("Lbl:", "hello");
    MP_log("Empty:", "");
    std::string console = testing::internal::GetCapturedStdout();
    MP_close_log();

    std::vector<std::string> l = read_lines(kLog);
    ASSERT_EQ(l.size(), 13u);
    EXPECT_EQ(l[0], kStars);
    EXPECT_EQ(l[1].size(), 47u);
    EXPECT_NE(l[1].find("Vistrel"), std::string::npos);
    EXPECT_EQ(l[2], "Vistrel Test Interface v version 9.8.7");
    EXPECT_EQ(l[3], "libcommon version libcommon.a version 1.0");
    EXPECT_TRUE(std::regex_match(l[4], std::regex("Log file Opened at \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    EXPECT_EQ(l[5], kStars);
    EXPECT_TRUE(std::regex_match(l[6], std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} Lbl: hello")));
    EXPECT_EQ(l[7].substr(12), " Empty: ");  // the blank after the label stays
    EXPECT_EQ(l[8], kStars);
    EXPECT_EQ(l[9].size(), 59u);
    EXPECT_EQ(l[10], "Vistrel Test Interface v version 9.8.7");
    EXPECT_TRUE(std::regex_match(l[11], std::regex("Log file Closed at \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    EXPECT_EQ(l[12], kStars);
    EXPECT_NE(console.find(l[6] + "\n"), std::string::npos);
    EXPECT_FALSE(MP_log_is_open());
    EXPECT_EQ(MP_close_log(), 0);
#ifdef _WIN32
    EXPECT_NE(read_file(kLog).find("hello\r\n"), std::string::npos);
#endif
}

TEST_F(Log, LevelRule) {
    struct Case {
        int debug;
        std::vector<std::string> written;
    } cases[] = {
        {0, {"**Error**E: e"}},
        {1, {"A: log", "D: logf1", "**Error**E: e"}},
        {3, {"A: log", "B: level2", "C: level3", "D: logf1", "**Error**E: e"}},
        {-1, {"A: log", "D: logf1", "**Error**E: e"}},
    };
    for (const Case& c : cases) {
        SetUp();
        std::remove(kLog);
        MP_open_log();
        MP_Global_Debug = c.debug;
        for (int i = 0; i < 25; i++) MP_log_line(4, "Old:", "held", 0);  // fills the ring
        MP_log("A:", "log");
        MP_logl(2, "B:", "level2");
        MP_logl(3, "C:", "level3");
        MP_logf(1, "D:", "logf%d", 1);
        MP_errlogf("E:", "%s", "e");
        // Only at level 0 does the error write the ring out first: 17 "held" lines, then the
        // four logged above.
        std::vector<std::string> got = body();
        if (c.debug == 0) {
            ASSERT_EQ(got.size(), 22u);
            EXPECT_EQ(got[16], "Old: held");
            EXPECT_EQ(got[17], "A: log");
            EXPECT_EQ(got[20], "D: logf1");
            got.erase(got.begin(), got.begin() + 21);
        }
        EXPECT_EQ(got, c.written) << "debug level " << c.debug;
    }
}

TEST_F(Log, RingWritesOutLast21OldestFirstThenRepeatsError) {
    MP_open_log();
    for (int i = 1; i <= 25; i++) MP_log("L:", std::to_string(i).c_str());
    MP_errlog("E:", "first");
    MP_errlog("E:", "second");
    std::vector<std::string> want;
    for (int i = 5; i <= 25; i++) want.push_back("L: " + std::to_string(i));
    want.insert(want.end(), {"**Error**E: first", "**Error**E: first", "**Error**E: second"});
    EXPECT_EQ(body(), want);
}

TEST_F(Log, ErrorOpensClosedLogAndUnopenableLogKeepsRing) {
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "missing%splugins.log", VP_SEP);
    testing::internal::CaptureStdout();
    MP_log("Kept:", "while closed");
    MP_errlog("E:", "no file");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to open log file");
    EXPECT_FALSE(MP_log_is_open());

    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", kLog);
    MP_errlog("E:", "now open");
    EXPECT_TRUE(MP_log_is_open());
    std::vector<std::string> got = body();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "Kept: while closed");
    EXPECT_EQ(got[1], "**Error**E: no file");
    EXPECT_EQ(got[2].substr(0, 19), "Log file Opened at ");
    EXPECT_EQ(got[3], "**Error**E: now open");
}

TEST_F(Log, RestartAboveFiveMebibytes) {
    for (long long size : {MP_LOG_RESTART_SIZE, MP_LOG_RESTART_SIZE + 1}) {
        SetUp();
        write_file(kLog, std::string(static_cast<size_t>(size), 'x'));
        testing::internal::CaptureStdout();
        MP_open_log();
        std::string console = testing::internal::GetCapturedStdout();
        MP_log_reset();
        EXPECT_NE(console.find("File size     : " + std::to_string(size) + "\n"), std::string::npos);
        EXPECT_TRUE(std::regex_search(console, std::regex(
            "Time modified : \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")));
        std::string all = read_file(kLog);
        if (size == MP_LOG_RESTART_SIZE) {
            EXPECT_GT(all.size(), static_cast<size_t>(size));
            EXPECT_EQ(all.substr(static_cast<size_t>(size), 69), kStars);
        } else {
            EXPECT_LT(all.size(), 1000u);
            EXPECT_EQ(all.substr(0, 69), kStars);
        }
    }
}

// A log that a running bridge writes past the restart size starts afresh there and then, with
// its opening banner; the line that crossed the size is the last of the old file.
TEST_F(Log, RunningLogRestartsOnceItPassesTheSize) {
    write_file(kLog, std::string(static_cast<size_t>(MP_LOG_RESTART_SIZE) - 2000, 'x'));
    MP_Global_Debug = 1;
    testing::internal::CaptureStdout();
    MP_open_log();
    const std::string text(80, 'y');
    int crossed = -1;
    for (int i = 0; i < 40 && crossed < 0; i++) {
        MP_log(("line" + std::to_string(i)).c_str(), text.c_str());
        if (read_file(kLog).size() < 1000) crossed = i;
    }
    MP_log("after", "in the fresh file");
    testing::internal::GetCapturedStdout();
    ASSERT_GE(crossed, 10) << "the restart came too early or never";
    std::string all = read_file(kLog);
    EXPECT_EQ(all.substr(0, 69), kStars);
    std::vector<std::string> lines = body();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 18), "Log file Opened at");
    EXPECT_EQ(lines[1], "after in the fresh file");
}

#ifndef _WIN32
TEST_F(Log, SizeBeyondIntRangeStillCountsAsTooLarge) {
    write_file(kLog, "x");
    std::filesystem::resize_file(kLog, 3221225472ULL);  // sparse: takes no disk space
    testing::internal::CaptureStdout();
    EXPECT_EQ(MP_log_file_size(kLog), INT_MAX);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("File size     : 3221225472\n"), std::string::npos);
}
#endif

TEST_F(Log, MissingFileIsCreatedQuietly) {
    EXPECT_EQ(MP_log_file_size(kLog), -1);
    testing::internal::CaptureStdout();
    MP_open_log();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_lines(kLog).size(), 6u);
}

#ifndef _WIN32
// The log holds the Basic credentials at debug level 3: a new log, a restarted one and an
// older one made with wider rights are all left readable by their owner only.
TEST_F(Log, FileIsPrivateToItsOwner) {
    auto mode = [] { return std::filesystem::status(kLog).permissions(); };
    using P = std::filesystem::perms;
    const P owner_rw = P::owner_read | P::owner_write;
    MP_open_log();
    MP_log_reset();
    EXPECT_EQ(mode(), owner_rw);

    std::filesystem::permissions(kLog, P::owner_all | P::group_read | P::others_read);
    MP_open_log();
    MP_log_reset();
    EXPECT_EQ(mode(), owner_rw);
    EXPECT_EQ(read_lines(kLog).size(), 12u) << "an older log is appended to, not emptied";

    write_file(kLog, std::string(static_cast<size_t>(MP_LOG_RESTART_SIZE) + 1, 'x'));
    std::filesystem::permissions(kLog, P::owner_all | P::group_read | P::others_read);
    testing::internal::CaptureStdout();
    MP_open_log();
    testing::internal::GetCapturedStdout();
    MP_log_reset();
    EXPECT_EQ(mode(), owner_rw);
    EXPECT_EQ(read_lines(kLog).size(), 6u) << "a log above the limit starts afresh";
}
#endif

#ifndef _WIN32
// What stands at the log's path may have been put there by someone else. A link is not
// followed and a second name of another file is not written: neither file changes, one
// console line says why, and the bridge runs on without a log.
TEST_F(Log, ALinkOrASecondNameOfAnotherFileIsNotWrittenThrough) {
    namespace fs = std::filesystem;
    using P = fs::perms;
    // A log opened well first, so that the refusals below are the first of their kind.
    MP_open_log();
    MP_log_reset();
    fs::remove(kLog);
    write_file("victim.txt", "victim\n");
    const P victim_rights = P::owner_read | P::owner_write | P::group_read | P::others_read;
    fs::permissions("victim.txt", victim_rights);

    fs::create_symlink("../victim.txt", kLog);
    testing::internal::CaptureStdout();
    MP_open_log();
    MP_errlog("E:", "while refused");  // tries the open again, and says nothing more
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(MP_log_is_open());
    EXPECT_EQ(std::vector<std::string>{"Failed to open log file plugins/test.log: it is a symbolic link; "
                                       "running without a log"},
              refusals(console));
    EXPECT_EQ("victim\n", read_file("victim.txt"));
    EXPECT_EQ(victim_rights, fs::status("victim.txt").permissions());

    fs::remove(kLog);
    fs::create_hard_link("victim.txt", kLog);
    testing::internal::CaptureStdout();
    MP_open_log();
    console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(MP_log_is_open());
    EXPECT_EQ(std::vector<std::string>{"Failed to open log file plugins/test.log: it has more than one name "
                                       "(2 hard links); running without a log"},
              refusals(console));
    EXPECT_EQ("victim\n", read_file("victim.txt"));
    EXPECT_EQ(victim_rights, fs::status("victim.txt").permissions());

    // Once the path holds a file of ours again, the log opens as before.
    fs::remove(kLog);
    testing::internal::CaptureStdout();
    MP_open_log();
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(MP_log_is_open());
}

// A FIFO at the log's path: the start does not wait for a reader of it (the alarm ends a child
// that does), and with a reader there nothing is written into it.
TEST_F(Log, AFifoAtTheLogPathNeitherHoldsTheStartNorIsWritten) {
    MP_open_log();
    MP_log_reset();
    std::filesystem::remove(kLog);
    ASSERT_EQ(0, mkfifo(kLog, 0600));
    ASSERT_EXIT(
        {
            alarm(10);
            MP_open_log();
            if (MP_log_is_open()) _exit(1);
            // A reader and a writer hold the FIFO now: an open would not wait, nor fail.
            int end = open(kLog, O_RDWR | O_NONBLOCK);
            if (end < 0) _exit(2);
            MP_open_log();
            char buf[16];
            if (MP_log_is_open() || read(end, buf, sizeof buf) > 0) _exit(3);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    testing::internal::CaptureStdout();
    MP_open_log();
    EXPECT_EQ(std::vector<std::string>{"Failed to open log file plugins/test.log: it is not a regular file "
                                       "(a FIFO or a socket); running without a log"},
              refusals(testing::internal::GetCapturedStdout()));
    EXPECT_FALSE(MP_log_is_open());
}

// A log file that belongs to another user (as root here): left as it is, with its owner, its
// rights and its text.
TEST_F(Log, ALogFileOfAnotherUserIsNotWritten) {
    if (!can_act_as_other_user()) GTEST_SKIP() << "a file of another user needs root to make";
    MP_open_log();
    MP_log_reset();
    write_file(kLog, "theirs\n");
    ASSERT_EQ(0, chown(kLog, kOtherUid, kOtherUid));
    ASSERT_EQ(0, chmod(kLog, 0666));
    testing::internal::CaptureStdout();
    MP_open_log();
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(MP_log_is_open());
    EXPECT_EQ(std::vector<std::string>{"Failed to open log file plugins/test.log: it belongs to another user "
                                       "(owner uid 65534, mode 0666); running without a log"},
              refusals(console));
    EXPECT_EQ("theirs\n", read_file(kLog));
    struct stat st;
    ASSERT_EQ(0, stat(kLog, &st));
    EXPECT_EQ(kOtherUid, st.st_uid);
    EXPECT_EQ(0666u, st.st_mode & 07777);
}

// The log is opened again when it passes the restart size while the bridge runs: the same
// rules hold then. Here a link has been put in the log's place meanwhile.
TEST_F(Log, ALogRestartedWhileRunningIsOpenedByTheSameRules) {
    namespace fs = std::filesystem;
    write_file(kLog, std::string(static_cast<size_t>(MP_LOG_RESTART_SIZE) - 2000, 'x'));
    write_file("victim.txt", "victim\n");
    MP_Global_Debug = 1;
    testing::internal::CaptureStdout();
    MP_open_log();
    ASSERT_TRUE(MP_log_is_open());
    fs::rename(kLog, VP_PLUGINS "moved.log");
    fs::create_symlink("../victim.txt", kLog);
    const std::string text(80, 'y');
    for (int i = 0; i < 40 && MP_log_is_open(); i++) MP_log("line", text.c_str());
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(MP_log_is_open()) << "the restart refused the link";
    EXPECT_EQ("victim\n", read_file("victim.txt"));
    EXPECT_EQ(std::vector<std::string>{"Failed to open log file plugins/test.log: it is a symbolic link; "
                                       "running without a log"},
              refusals(console));
}
#endif

TEST_F(Log, LongTextsAndLabels) {
    const std::string text(5000, 't'), label(5000, 'L'), elabel(300, 'e');
    MP_open_log();
    MP_Global_Debug = 1;
    testing::internal::CaptureStdout();
    MP_log("Long:", text.c_str());
    MP_log(label.c_str(), "tail");
    std::string console = testing::internal::GetCapturedStdout();
    MP_Global_Debug = 0;
    MP_errlog(elabel.c_str(), "x");
    std::vector<std::string> got = body();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], "Long: " + text);  // written whole
    EXPECT_NE(console.find("Long: " + text + "\n"), std::string::npos);
    EXPECT_EQ(got[1], std::string(4081, 'L') + " tail");
    EXPECT_EQ(got[2].substr(0, 19), "Log file Opened at ");
    EXPECT_EQ(got[3], "Long: " + std::string(4095 - 19, 't'));  // ring copies are cut
    EXPECT_EQ(got[4], std::string(4081, 'L') + " ");
    EXPECT_EQ(got[5], "**Error**" + std::string(246, 'e') + " x");
}

// Lines that hold credentials are written at debug level 3 and above only, and the ring never
// keeps their text: an error at level 0 shows that they were there, not what they held.
TEST_F(Log, SecretLinesAreWrittenAtLevel3OnlyAndNeverKept) {
    struct Case {
        int debug;
        bool written;
    } cases[] = {{0, false}, {1, false}, {2, false}, {-1, false}, {3, true}, {7, true}};
    for (const Case& c : cases) {
        SetUp();
        std::remove(kLog);
        MP_open_log();
        MP_Global_Debug = c.debug;
        testing::internal::CaptureStdout();
        MP_log_secret("S:", "Sesame42");
        MP_logf_secret("F:", "MP_Global_wPasscode=%s", "P4ss");
        MP_log("A:", "plain");
        MP_Global_Debug = 0;  // the error writes the ring out
        MP_errlog("E:", "e");
        std::string console = testing::internal::GetCapturedStdout();
        std::vector<std::string> got = body();
        std::vector<std::string> want;
        if (c.written) want = {"S: Sesame42", "F: MP_Global_wPasscode=P4ss"};
        if (c.debug != 0) want.push_back("A: plain");
        // Then the ring: the opening line, the two lines withheld, the plain one, the error.
        ASSERT_GT(got.size(), want.size()) << "debug level " << c.debug;
        EXPECT_EQ(got[want.size()].substr(0, 19), "Log file Opened at ");
        want.push_back(got[want.size()]);
        want.insert(want.end(), {"S: (withheld below Debug=3)", "F: (withheld below Debug=3)", "A: plain",
                                 "**Error**E: e"});
        EXPECT_EQ(want, got) << "debug level " << c.debug;
        EXPECT_EQ(c.written, console.find("S: Sesame42\n") != std::string::npos) << c.debug;
        EXPECT_EQ(c.written, console.find("P4ss") != std::string::npos) << c.debug;
    }
}

TEST(LogEscape, ControlsAreEscapedWholeAndEverythingElseKept) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain text {\"a\":1} \\/Date(", "plain text {\"a\":1} \\/Date("},
        {"a\r\nb\tc", "a\\r\\nb\\tc"},
        {std::string("\x00\x01\x1b[2J\x7f", 7), "\\x00\\x01\\x1b[2J\\x7f"},
        {"\x80\x9b\x9f\xa0\xff", "\\x80\\x9b\\x9f\xa0\xff"},
        // C1 controls in UTF-8 (C2 9B is CSI, C2 9D OSC); other letters pass, whole.
        {"\xc2\x80\xc2\x9b" "1m\xc2\x9d" "0;t\xc2\x9f\xc2\xa0\xc3\xa9\xe2\x82\xac", "\\xc2\\x80\\xc2\\x9b1m\\xc2\\x9d0;t\\xc2\\x9f\xc2\xa0\xc3\xa9\xe2\\x82\xac"},
        {"end\xc2", "end\xc2"},  // a lead byte at the end stays
    };
    for (const Case& c : cases) {
        char out[256];
        size_t used = 0;
        size_t n = MP_escape_untrusted(out, sizeof out, c.in.data(), c.in.size(), &used);
        EXPECT_EQ(c.out, std::string(out)) << c.in;
        EXPECT_EQ(c.out.size(), n);
        EXPECT_EQ(c.in.size(), used);
    }
    // Only whole escapes fit: a pair in UTF-8 is written as both escapes or not at all.
    char small[10];
    memset(small, '#', sizeof small);
    size_t used = 0;
    EXPECT_EQ(MP_escape_untrusted(small, 9, "ab\xc2\x9b" "c", 5, &used), 2u);
    EXPECT_STREQ(small, "ab");
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(small[9], '#');
    EXPECT_EQ(MP_escape_untrusted(small, 10, "\x1b\x1b\x1b", 3, &used), 8u);
    EXPECT_STREQ(small, "\\x1b\\x1b");
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(MP_escape_untrusted(small, 1, "x", 1, &used), 0u);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(used, 0u);
}

// Service text: a window of a buffer without a terminator, escaped under the level rule of
// its level; a long text is written whole and the ring keeps whole escapes of its beginning.
TEST_F(Log, UntrustedTextFollowsTheLevelRuleAndIsWrittenWhole) {
    MP_open_log();
    const char window[] = "ab\x1b" "cdNOT-IN-THE-WINDOW";
    MP_Global_Debug = -1;  // level 1 follows MP_log: written; level 3 follows MP_logl: not
    MP_log_untrusted(1, "One:", window, 5);
    MP_log_untrusted(3, "Three:", window, 5);
    MP_Global_Debug = 3;
    MP_log_untrusted(3, "Three:", window, 5);
    MP_log_untrusted(2, "Empty:", nullptr, 7);
    std::string escapes(5000, '\x9b');
    testing::internal::CaptureStdout();
    MP_log_untrusted(1, "Long:", escapes.data(), escapes.size());
    std::string console = testing::internal::GetCapturedStdout();
    MP_Global_Debug = 0;
    MP_errlog("E:", "x");
    std::string shown;
    for (int i = 0; i < 5000; i++) shown += "\\x9b";
    std::vector<std::string> got = body();
    ASSERT_EQ(got.size(), 4u + 6 + 1);
    EXPECT_EQ(got[0], "One: ab\\x1bcd");
    EXPECT_EQ(got[1], "Three: ab\\x1bcd");
    EXPECT_EQ(got[2], "Empty: ");
    EXPECT_EQ(got[3], "Long: " + shown);
    EXPECT_NE(console.find("Long: " + shown + "\n"), std::string::npos);
    // The ring: 4,095 characters of the line, here stamp, label and 1,019 whole escapes.
    EXPECT_EQ(got[4].substr(0, 19), "Log file Opened at ");
    EXPECT_EQ(got[5], "One: ab\\x1bcd");
    EXPECT_EQ(got[6], "Three: ab\\x1bcd");
    EXPECT_EQ(got[7], "Three: ab\\x1bcd");
    EXPECT_EQ(got[8], "Empty: ");
    EXPECT_EQ(got[9], "Long: " + shown.substr(0, 4 * 1019));
    EXPECT_EQ(got[10], "**Error**E: x");
}

TEST_F(Log, TracePrintsInnermostFirstAndSurvivesOverflow) {
    MP_open_log();
    MP_trace_enter("main");
    MP_trace_print();  // only "main": nothing
    MP_trace_enter("outer");
    {
        MP_TRACE(std::string(300, 'n').c_str());
        MP_trace_print();
    }
    EXPECT_EQ(MP_trace_depth(), 2);
    for (int i = 0; i < 300; i++) {
        char name[16];
        snprintf(name, sizeof name, "n%d", i);
        MP_trace_enter(name);
    }
    EXPECT_EQ(MP_trace_depth(), 302);
    MP_trace_print();
    for (int i = 0; i < 302; i++) MP_trace_leave();
    MP_trace_leave();  // one pop too many leaves the depth at 0
    EXPECT_EQ(MP_trace_depth(), 0);

    std::vector<std::string> got = body();
    ASSERT_EQ(got.size(), 2u + 1 + 255);
    EXPECT_EQ(got[0], "Called from " + std::string(255, 'n'));
    EXPECT_EQ(got[1], "Called from outer");
    EXPECT_EQ(got[2], "Called from (46 deeper names not kept)");
    EXPECT_EQ(got[3], "Called from n253");
    EXPECT_EQ(got[256], "Called from n0");
    EXPECT_EQ(got[257], "Called from outer");
}

TEST(LogCat, AppendersMatchPrintfAndStayInBounds) {
    for (int v : {0, 7, -7, 12345, 1234567, INT_MIN, INT_MAX}) {
        for (int width : {0, 2, 6, 12}) {
            char want[64], got[64];
            snprintf(want, sizeof want, "<%*d|%*s>", width, v, width, "name");
            char* p = MP_cat_text(got, got + sizeof got, "<");
            p = MP_cat_int(p, got + sizeof got, v, width);
            p = MP_cat_text(p, got + sizeof got, "|");
            p = MP_cat_padded(p, got + sizeof got, "name", width);
            MP_cat_text(p, got + sizeof got, ">");
            EXPECT_STREQ(got, want);
        }
    }
    char small[8] = "#######";
    char* p = MP_cat_padded(small, small + 6, "abc", 10);
    p = MP_cat_int(p, small + 6, 42, 0);
    EXPECT_EQ(p, small + 5);
    EXPECT_STREQ(small, "     ");
    EXPECT_EQ(small[6], '#');
    EXPECT_EQ(MP_cat_text(small + 6, small + 6, "x"), small + 6);
}

// The tag store's line carries a service's names and texts. It is kept in the ring as it came,
// at no cost to the store, and escaped whenever it is written: at once at debug level 2, and
// with the held-back lines that an error writes out at debug level 0.
TEST_F(Log, TagStoreLinesAreEscapedWhenWritten) {
    testing::internal::CaptureStdout();
    MP_open_log();
    const char hostile[] = "Title\x1b]0;owned\x07\r\n12:00:00.000 forged\x9b" "2J";
    MP_put_tag("Rec1.Title", MP_TYPE_TEXT, 0, hostile);
    MP_errlog("E:", "after");
    MP_Global_Debug = 2;
    MP_put_tag("Rec2.Title", MP_TYPE_TEXT, 0, hostile);
    std::string console = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = body();
    const std::string escaped = "Title\\x1b]0;owned\\x07\\r\\n12:00:00.000 forged\\x9b2J";
    int stores = 0;
    for (const std::string& l : lines) {
        if (l.find("put_tag ") != 0) continue;
        stores++;
        EXPECT_NE(l.find(", string=" + escaped), std::string::npos) << l;
    }
    EXPECT_EQ(stores, 2) << "one held back and written out, one written at once";
    for (const std::string& l : lines) EXPECT_EQ(l.find("forged") < 20, false) << "a forged line: " << l;
    for (const std::string& text : {read_file(kLog), console})
        for (char c : text) {
            unsigned char u = static_cast<unsigned char>(c);
            EXPECT_FALSE(u == 0x1b || u == 0x07 || u == 0x9b) << "a control byte was written";
        }
    // The table keeps the bytes as they came.
    EXPECT_EQ(std::string(MP_gtag("Rec1.Title")), hostile);
}

// ---------------------------------------------------------------------------------------------
// Registered secrets: replaced in every line below debug level 3.

void add_secrets(std::initializer_list<const char*> secrets) {
    for (const char* s : secrets) ASSERT_EQ(0, MP_log_add_secret(s, strlen(s)));
}

// Where a secret stands in a line of our own and in its label, and what of it shows: every
// occurrence of a long one, the longest where two begin together, a short one (one letter, two
// digits) only where it stands alone, an empty one nowhere; at debug level 3 all of it.
TEST_F(Log, SecretsAreReplacedWhereverTheyStandBelowLevel3) {
    struct Case {
        int debug;
        const char* label;
        const char* text;
        const char* shown;
    } cases[] = {
        {1, "L:", "pw Sesame42 end", "L: pw *** end"},
        {2, "L:", "Sesame42Sesame42 and Sesame4", "L: ****** and Sesame4"},
        {1, "L:", "user:Sesame42 as sent", "L: *** as sent"},
        {1, "Sesame42:", "in the label", "***: in the label"},
        {1, "L:", "x and \"x\", not box or x1; 12:30, not 312", "L: *** and \"***\", not box or x1; ***:30, not 312"},
        {3, "L:", "pw Sesame42 and x", "L: pw Sesame42 and x"},
    };
    MP_open_log();
    add_secrets({"Sesame42", "user:Sesame42", "x", "12"});
    ASSERT_EQ(0, MP_log_add_secret("", 0));
    for (const Case& c : cases) {
        MP_Global_Debug = c.debug;
        testing::internal::CaptureStdout();
        MP_log(c.label, c.text);
        std::string console = testing::internal::GetCapturedStdout();
        std::vector<std::string> got = body();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(c.shown, got.back());
        EXPECT_NE(std::string::npos, console.find(std::string(c.shown) + "\n")) << console;
    }
}

// The search does not look at every byte; against a plain comparison at every byte, over many
// texts and secrets of few letters (so that they meet often, overlap and stand side by side),
// of every length from one letter up, it must find the same occurrences.
TEST_F(Log, SecretsAreFoundAsAComparisonAtEveryByteFindsThem) {
    const std::string letters = "abcab:1 ";
    unsigned seed = 20261208;
    auto draw = [&](size_t n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<size_t>((seed >> 16) % n);
    };
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    MP_open_log();
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        MP_log_forget_secrets();
        std::vector<std::string> secrets;
        for (size_t n = 1 + draw(3); n > 0; n--) {
            std::string secret;
            for (size_t len = 1 + draw(round % 2 ? 8 : 4); len > 0; len--) secret += letters[draw(letters.size())];
            secrets.push_back(secret);
            ASSERT_EQ(0, MP_log_add_secret(secret.data(), secret.size()));
        }
        std::string text;
        for (size_t len = draw(120); len > 0; len--) text += letters[draw(letters.size())];
        // Leftmost first, the longest where several begin there; a short one only standing alone.
        std::string want;
        for (size_t i = 0; i < text.size();) {
            size_t best = 0;
            for (const std::string& sec : secrets) {
                if (sec.size() <= best || text.compare(i, sec.size(), sec) != 0) continue;
                bool alone = (i == 0 || !word(text[i - 1])) &&
                             (i + sec.size() == text.size() || !word(text[i + sec.size()]));
                if (sec.size() >= MP_LOG_SECRET_WORD || alone) best = sec.size();
            }
            if (best) {
                want += "***";
                i += best;
            } else {
                want += text[i++];
            }
        }
        MP_Global_Debug = 1;
        testing::internal::CaptureStdout();
        MP_log("L:", text.c_str());
        std::string console = testing::internal::GetCapturedStdout();
        ASSERT_EQ(console.substr(13), "L: " + want + "\n") << "text \"" << text << "\"";
    }
}

// At debug level 0 an error writes out the lines held back: a line of our own kept before the
// secret was registered, a service's text (escaped) and a tag store's line (kept as it came and
// redacted only when written). None of them shows the secret; the error line neither.
TEST_F(Log, LinesHeldBackForAnErrorShowNoSecretWhateverTheirSource) {
    MP_open_log();
    MP_logl(2, "own:", "before Sesame42");
    add_secrets({"Sesame42"});
    const char echo[] = "Basic Sesame42\r\nSesame42\x1b[2J";
    MP_log_untrusted(3, "svc:", echo, sizeof echo - 1);
    MP_put_tag("Echo.Password", MP_TYPE_TEXT, 0, "Sesame42");
    MP_errlog("E:", "wrong password Sesame42");
    std::vector<std::string> got = body();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ("own: before ***", got[got.size() - 4]);
    EXPECT_EQ("svc: Basic ***\\r\\n***\\x1b[2J", got[got.size() - 3]);
    EXPECT_NE(std::string::npos, got[got.size() - 2].find("name=                           Echo.Password, string=***"));
    EXPECT_EQ("**Error**E: wrong password ***", got.back());
    EXPECT_EQ(std::string::npos, read_file(kLog).find("Sesame42"));
}

// A secret that begins just before the end of what the ring keeps of a long line: the line
// written at once shows *** in its place, and the ring keeps nothing of it, not even its first
// letters, for the error that writes it out again.
TEST_F(Log, ASecretAcrossTheEndOfTheRingsShareShowsNowhere) {
    const size_t room = MP_LOG_LINE_SIZE - 1 - 13 - 3;  // behind the stamp and "L: "
    for (size_t at : {room - 2, room - 3}) {
        for (bool service : {false, true}) {
            SetUp();
            std::remove(kLog);
            MP_open_log();
            add_secrets({"Sesame42"});
            MP_Global_Debug = 1;
            std::string text = std::string(at, 'a') + "Sesame42" + std::string(100, 'b');
            testing::internal::CaptureStdout();
            if (service)
                MP_log_untrusted(1, "L:", text.c_str(), text.size());
            else
                MP_log("L:", text.c_str());
            testing::internal::GetCapturedStdout();
            MP_Global_Debug = 0;
            MP_errlog("E:", "e");
            // The line as written at once, then as the ring kept it.
            std::vector<std::string> lines;
            for (const std::string& l : body())
                if (l.rfind("L: ", 0) == 0) lines.push_back(l);
            const std::string where = std::to_string(at) + (service ? " service" : " own");
            ASSERT_EQ(2u, lines.size()) << where;
            EXPECT_TRUE(lines[0] == "L: " + std::string(at, 'a') + "***" + std::string(100, 'b')) << where;
            EXPECT_EQ(0u, lines[1].find("L: " + std::string(at, 'a'))) << where;
            EXPECT_EQ(std::string::npos, lines[1].find('S')) << where << ": " << lines[1].substr(at);
            EXPECT_EQ(std::string::npos, read_file(kLog).find("Sesa")) << where;
        }
    }
}

TEST(LogCat, AsctimeText) {
    struct tm tm = {};
    tm.tm_year = 138, tm.tm_mon = 0, tm.tm_mday = 9, tm.tm_wday = 2;
    tm.tm_hour = 3, tm.tm_min = 14, tm.tm_sec = 7;
    char out[25];
    EXPECT_EQ(MP_asctime_text(&tm, out), 0);
    EXPECT_STREQ(out, "Tue Jan  9 03:14:07 2038");
    tm.tm_year = 8100;  // year 10000: no four-digit year
    EXPECT_EQ(MP_asctime_text(&tm, out), -1);
    EXPECT_STREQ(out, "");
}
}  // namespace
