// test_misc.cpp - the semaphore, the clocks, file status and error texts of the platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <thread>

#include "scratch.h"
#include "vp.h"

namespace {

TEST(Sem, CountsUpToItsMaximumAndNoFurther) {
    vp_sem s = VP_NO_SEM;
    ASSERT_EQ(vp_sem_create(10, 10, &s), 0);
    ASSERT_NE(s, VP_NO_SEM);
    // Full: a further release fails and leaves the count as it was.
    EXPECT_NE(vp_sem_release(s), 0);
    for (int i = 0; i < 10; ++i) vp_sem_wait(s);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(vp_sem_release(s), 0) << i;
    EXPECT_NE(vp_sem_release(s), 0);
}

TEST(Sem, ReleaseWithoutSemaphoreAndBadCountsFail) {
    EXPECT_NE(vp_sem_release(VP_NO_SEM), 0);
    vp_sem s = 12345;
    EXPECT_NE(vp_sem_create(3, 2, &s), 0);
    EXPECT_EQ(s, VP_NO_SEM);
}

TEST(Sem, WaitBlocksUntilAUnitIsReleased) {
    vp_sem s = VP_NO_SEM;
    ASSERT_EQ(vp_sem_create(0, 1, &s), 0);
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        vp_sem_wait(s);
        passed = true;
    });
    // Not passing within a short while proves nothing alone; passing would prove a fault.
    vp_sleep_ms(50);
    EXPECT_FALSE(passed);
    EXPECT_EQ(vp_sem_release(s), 0);
    EXPECT_TRUE(wait_until([&] { return passed.load(); }, 5000));
    waiter.join();
}

TEST(Clock, ProcessSecondsRiseMonotonicallyWithSleep) {
    double a = vp_process_seconds();
    EXPECT_GE(a, 0.0);
    vp_sleep_ms(60);
    double b = vp_process_seconds();
    // Timer granularity may shorten a sleep by a tick; it never runs the clock backwards.
    EXPECT_GE(b - a, 0.04);
    double prev = b;
    for (int i = 0; i < 1000; ++i) {
        double now = vp_process_seconds();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

TEST(Clock, WallClockAgreesWithTheLibraryClock) {
    time_t before = time(nullptr);
    time_t seconds = 0;
    unsigned short millis = 1000;
    vp_time_now(&seconds, &millis);
    time_t after = time(nullptr);
    EXPECT_GE(seconds, before - 1);
    EXPECT_LE(seconds, after + 1);
    EXPECT_LT(millis, 1000);
}

TEST(Clock, LocalTimeConvertsBackAndRejectsTheUnrepresentable) {
    const time_t t = 1700000000;  // mid-November 2023 in every time zone
    struct tm lt;
    ASSERT_EQ(vp_localtime(t, &lt), 0);
    EXPECT_EQ(lt.tm_year, 123);
    EXPECT_EQ(lt.tm_mon, 10);
    EXPECT_EQ(mktime(&lt), t);
    EXPECT_EQ(vp_localtime(std::numeric_limits<time_t>::max(), &lt), -1);
}

TEST(File, StatOfMissingAndExistingFiles) {
    ScratchDir dir;
    long long size = -1;
    time_t mtime = 0;
    EXPECT_EQ(vp_file_stat("plugins" VP_SEP "no_such.log", &size, &mtime), -1);

    // Binary content with line ends: the size is the byte count on disk on every platform.
    std::string body(5000, 'a');
    body[10] = '\n';
    write_file("plugins" VP_SEP "MP.cfg", body);
    time_t before = time(nullptr);
    ASSERT_EQ(vp_file_stat("plugins" VP_SEP "MP.cfg", &size, &mtime), 0);
    EXPECT_EQ(size, 5000);
    EXPECT_LE(mtime, before + 2);
    EXPECT_GE(mtime, before - 60);
}

TEST(Error, TextOfACodeEndsWithALineEndAndFitsTheBuffer) {
    // Code 2 is "file not found" both as a Windows error and as errno.
    char full[256];
    vp_error_text(2, full, sizeof full);
    size_t len = strlen(full);
    ASSERT_GT(len, 1u);
    EXPECT_EQ(full[len - 1], '\n');

    char small[8];
    memset(small, 'x', sizeof small);
    vp_error_text(2, small, 6);
    EXPECT_LE(strlen(small), 5u);
    EXPECT_EQ(std::string(full).rfind(small, 0), 0u) << small;
    EXPECT_EQ(small[6], 'x');

    char one[1] = {'x'};
    vp_error_text(2, one, 1);
    EXPECT_EQ(one[0], '\0');
}

TEST(Error, FailedOpenLeavesItsCodeUntilCleared) {
    ScratchDir dir;
    long long size = 0;
    time_t mtime = 0;
    vp_clear_error();
    ASSERT_EQ(vp_file_stat("missing.cfg", &size, &mtime), -1);
    // ERROR_FILE_NOT_FOUND and ENOENT are both 2.
    EXPECT_EQ(vp_last_error(), 2);
    vp_clear_error();
    EXPECT_EQ(vp_last_error(), 0);
}
TEST(Process, BackgroundStartRunsTheProgramAndReportsAMissingOne) {
    ScratchDir dir;
    ASSERT_EQ(0, vp_spawn_background(VISTREL_VISTREL_CHILD, "vistrel_child write-file started.txt yes"));
    EXPECT_TRUE(wait_until([] { return read_file("started.txt") == "yes"; }, 10000));
    EXPECT_EQ(-1, vp_spawn_background("no-such-program" VP_EXE, "no-such-program"));
}

}  // namespace
