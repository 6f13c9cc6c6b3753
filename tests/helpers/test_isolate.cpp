// test_isolate.cpp - the tests' own guard: whatever a test started ends with it, however it ends.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>

#include "isolate.h"
#include "scratch.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace {

// Each test process has block names of its own.
TEST(Isolate, EachTestProcessHasBlockNamesOfItsOwn) {
    std::string name = run_block_name(VR_MPEXTENDED);
    EXPECT_EQ("Vistrel_MPExtended.t" + std::to_string(vp_getpid()), name);
}

// Run only as the child of the test below: a test process that starts a program apart from
// itself, notes its id and ends with the program still running.
TEST(Isolate, DISABLED_StartsAProgramAndEnds) {
    long pid = vp_spawn_detached(VISTREL_VISTREL_CHILD, "sleep 60000");
    ASSERT_GT(pid, 0);
    write_file("apart.pid", std::to_string(pid) + "\n");
}

// A test process that ends, as a test does, with a program that it started apart from itself
// (as the monitor starts a bridge) still running: the program is ended with it.
TEST(Isolate, WhatATestStartedEndsWithTheTest) {
    ScratchDir dir;
    const char* argv[] = {"test_isolate", "--gtest_also_run_disabled_tests",
                          "--gtest_filter=Isolate.DISABLED_StartsAProgramAndEnds", nullptr};
    ASSERT_EQ(0, vp_run_to_file(VISTREL_TEST_ISOLATE, argv, "child.out")) << read_file("child.out");
    long apart = atol(read_file("apart.pid").c_str());
    ASSERT_GT(apart, 0) << read_file("child.out");
    EXPECT_TRUE(wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(apart)); }, 10000))
        << "the program that the test started outlived it";
    if (vp_proc_alive(static_cast<uint32_t>(apart))) vp_proc_kill(static_cast<uint32_t>(apart));
}

#ifndef _WIN32

// A guarded command that starts a program apart from itself (its own session, as the monitor
// starts a bridge), then ends: by a kill, as CTest ends a test at its time-out, or of itself.
// The program is ended with it.
TEST(Isolate, WhatAGuardedCommandStartedEndsWithIt) {
    ScratchDir dir;
    for (bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "ended");
        remove("apart.pid");
        std::string script = std::string("setsid ") + VISTREL_VISTREL_CHILD + " 'sleep 60000' & echo $! > apart.pid; " +
                             (killed ? "exec sleep 60" : "sleep 1");
        const char* argv[] = {"vistrel_guarded", "sh", "-c", script.c_str(), nullptr};
        pid_t guarded = fork();
        ASSERT_GE(guarded, 0);
        if (guarded == 0) {
            execv(VISTREL_VISTREL_GUARDED, const_cast<char* const*>(argv));
            _exit(127);
        }
        ASSERT_TRUE(wait_until([] { return atoi(read_file("apart.pid").c_str()) > 0; }, 10000));
        pid_t apart = atoi(read_file("apart.pid").c_str());
        EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(apart)));
        if (killed) kill(guarded, SIGKILL);
        int status = 0;
        waitpid(guarded, &status, 0);
        EXPECT_TRUE(wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(apart)); }, 10000))
            << "the program that the command started outlived it";
        if (vp_proc_alive(static_cast<uint32_t>(apart))) kill(apart, SIGKILL);
    }
}

#endif

}  // namespace
