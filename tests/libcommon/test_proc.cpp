// test_proc.cpp - finding, terminating and starting processes by the file name of their image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_proc.h"
#include "scratch.h"
#include "vp.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 10000;

// A working directory with a log, and a copy of the child program under a name that no other
// test's processes share, so that only this test's copies can match.
class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        MP_log_reset();
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", "plugins" VP_SEP "test.log");
        MP_Global_Debug = 0;
        MP_open_log();
        static int copies = 0;
        stem = "vtchild" + std::to_string(vp_getpid()) + "_" + std::to_string(copies++);
        name = stem + VP_EXE;
        fs::copy_file(VISTREL_VISTREL_CHILD, name);
    }

    void TearDown() override {
        for (long pid : started)
            if (vp_proc_alive(static_cast<uint32_t>(pid))) vp_proc_kill(static_cast<uint32_t>(pid));
        // The copies must be gone before their directory is removed (Windows keeps a running
        // program's file).
        for (long pid : started)
            EXPECT_TRUE(wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(pid)); }, kWaitMs));
        MP_log_reset();
    }

    // Starts a copy of the child detached with its command words; remembers it for clean-up.
    long start(const std::string& words, const std::string& program = "") {
        std::string arg0 = stem + " " + words;
        long pid = vp_spawn_detached(program.empty() ? name.c_str() : program.c_str(), arg0.c_str());
        track(pid);
        return pid;
    }

    void track(long pid) {
        if (pid > 0) started.push_back(pid);
    }

    // Whether the process still runs. One seen ended is dropped from the clean-up list: its id
    // may be handed to another process at once (wine does so), which the clean-up would end.
    bool alive(long pid) {
        bool running = vp_proc_alive(static_cast<uint32_t>(pid));
        if (!running) started.erase(std::remove(started.begin(), started.end(), pid), started.end());
        return running;
    }

    std::string log() { return read_file("plugins" VP_SEP "test.log"); }

    ScratchDir dir;
    std::string stem;
    std::string name;
    std::vector<long> started;
};

// Whichever of the two ids comes later in the system's list of processes.
long later_in_list(long a, long b) {
    static uint32_t ids[4096];
    int n = vp_proc_list(ids, 4096);
    int ia = -1, ib = -1;
    for (int i = 0; i < n; i++) {
        if (ids[i] == static_cast<uint32_t>(a)) ia = i;
        if (ids[i] == static_cast<uint32_t>(b)) ib = i;
    }
    EXPECT_GE(ia, 0);
    EXPECT_GE(ib, 0);
    return ia > ib ? a : b;
}

#ifndef _WIN32
// A process that has ended and been reaped has no entry left at all; a zombie still has one.
bool gone_entirely(long pid) { return !fs::exists("/proc/" + std::to_string(pid)); }
#endif

// Defined first, so that it also runs first when every test shares one process: the image
// query is loaded once per process and never unloaded.
using ProcessWithoutImageQuery = ProcessTest;

TEST_F(ProcessWithoutImageQuery, FindsNothingAndSaysWhy) {
    if (vp_image_query_ready()) GTEST_SKIP() << "an earlier test in this process loaded the query";
    long pid = start("sleep 30000");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(MP_check_process(name.c_str()), 0);
    EXPECT_EQ(MP_KillProc(name.c_str()), 0);
    EXPECT_TRUE(alive(pid));
    EXPECT_NE(log().find("**Error**check_process failed: QueryFullProcessImageNameA not available"),
              std::string::npos)
        << log();
}

class Processes : public ProcessTest {
protected:
    void SetUp() override {
        ProcessTest::SetUp();
        MP_kernel32_Start();
    }
};

TEST_F(Processes, LaterOfTwoCopiesIsFoundAndOnlyItIsKilled) {
    long a = start("sleep 30000");
    long b = start("sleep 30000");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_TRUE(wait_until([&] { return alive(a) && alive(b); }, kWaitMs));
    long later = later_in_list(a, b);
    long earlier = later == a ? b : a;

    EXPECT_EQ(MP_check_process(name.c_str()), later);
    EXPECT_EQ(MP_KillProc(name.c_str()), 1);
    EXPECT_TRUE(wait_until([&] { return !alive(later); }, kWaitMs));
    EXPECT_TRUE(alive(earlier));

    // Once the terminated copy has gone, the other one is the only match.
    EXPECT_TRUE(wait_until([&] { return MP_check_process(name.c_str()) == earlier; }, kWaitMs));
    EXPECT_EQ(MP_KillProc(name.c_str()), 1);
    EXPECT_TRUE(wait_until([&] { return !alive(earlier); }, kWaitMs));
    EXPECT_TRUE(wait_until([&] { return MP_check_process(name.c_str()) == 0; }, kWaitMs));
    EXPECT_EQ(MP_KillProc(name.c_str()), 0);
}

TEST_F(Processes, NamesMatchTheWholeFileNameInTheSameLetterCase) {
    long pid = start("sleep 30000");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_until([&] { return alive(pid); }, kWaitMs));
    EXPECT_EQ(MP_check_process(name.c_str()), pid);

    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char ch) { return static_cast<char>(toupper(ch)); });
    ASSERT_NE(upper, name);
    EXPECT_EQ(MP_check_process(upper.c_str()), 0) << "letter case differs";
    EXPECT_EQ(MP_KillProc(upper.c_str()), 0);
    EXPECT_EQ(MP_check_process(name.substr(1).c_str()), 0) << "only the tail of the file name";
    EXPECT_EQ(MP_check_process(name.substr(3).c_str()), 0) << "only the tail of the file name";
    EXPECT_EQ(MP_check_process((name + "x").c_str()), 0) << "longer than the file name";
    EXPECT_EQ(MP_check_process(stem.substr(0, 7).c_str()), 0) << "only the head of the file name";
    EXPECT_TRUE(alive(pid));
}

TEST_F(Processes, RunProgramWaitsAndGivesTheExitCode) {
    EXPECT_EQ(MP_run_program(name.c_str(), (stem + " exit 7").c_str()), 7);
    EXPECT_EQ(MP_run_program(name.c_str(), (stem + " exit 0").c_str()), 0);
    // The child has written its file by the time the call returns.
    EXPECT_EQ(MP_run_program(name.c_str(), (stem + " write-file ran.txt yes").c_str()), 0);
    EXPECT_EQ(read_file("ran.txt"), "yes");
    EXPECT_EQ(MP_run_program("no-such-program" VP_EXE, "no-such-program"), -1);
}

// Puts a directory in front of the program search path for the life of the object.
class SearchPathFirst {
public:
    explicit SearchPathFirst(const std::string& folder) {
        const char* old = getenv("PATH");
        saved_ = old ? old : "";
#ifdef _WIN32
        _putenv_s("PATH", (folder + ";" + saved_).c_str());
#else
        setenv("PATH", (folder + ":" + saved_).c_str(), 1);
#endif
    }
    ~SearchPathFirst() {
#ifdef _WIN32
        _putenv_s("PATH", saved_.c_str());
#else
        setenv("PATH", saved_.c_str(), 1);
#endif
    }

private:
    std::string saved_;
};

TEST_F(Processes, ProgramIsStartedFromTheWorkingDirectoryOnly) {
    // A program that is not in the working directory is not looked for along the search path.
    fs::create_directory("sub");
    fs::rename(name, "sub" VP_SEP + name);
    SearchPathFirst path((fs::current_path() / "sub").string());
    EXPECT_EQ(MP_run_program(name.c_str(), (stem + " exit 7").c_str()), -1);
    EXPECT_EQ(MP_restart_program(name.c_str(), (stem + " exit 7").c_str()), -1);
    EXPECT_EQ(MP_run_program(("sub" VP_SEP + name).c_str(), (stem + " exit 7").c_str()), 7);
}

TEST_F(Processes, RestartStartsAProgramThatIsNotRunning) {
    EXPECT_EQ(MP_check_process(name.c_str()), 0);
    errno = 0;
    long pid = MP_restart_program(name.c_str(), (stem + " sleep 30000").c_str());
    int err = errno;
    track(pid);
    ASSERT_GT(pid, 0) << "the start failed with errno " << err << " (" << strerror(err) << ")";
    EXPECT_TRUE(wait_until([&] { return alive(pid); }, kWaitMs));
    EXPECT_EQ(MP_check_process(name.c_str()), pid);
    EXPECT_EQ(MP_restart_program("no-such-program" VP_EXE, "no-such-program"), -1);
}

TEST_F(Processes, RestartReplacesTheRunningCopyAfterASecond) {
    long old_pid = start("sleep 30000");
    ASSERT_GT(old_pid, 0);
    ASSERT_TRUE(wait_until([&] { return alive(old_pid); }, kWaitMs));

    auto before = std::chrono::steady_clock::now();
    errno = 0;
    long pid = MP_restart_program(name.c_str(), (stem + " sleep 30000").c_str());
    int err = errno;
    auto took = std::chrono::steady_clock::now() - before;
    track(pid);
    ASSERT_GT(pid, 0) << "the start failed with errno " << err << " (" << strerror(err) << ")";
    EXPECT_NE(pid, old_pid);
    // The terminated copy is given a second before the new one starts.
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_TRUE(wait_until([&] { return !alive(old_pid); }, kWaitMs));
    EXPECT_TRUE(alive(pid));
    EXPECT_TRUE(wait_until([&] { return MP_check_process(name.c_str()) == pid; }, kWaitMs));
}

TEST_F(Processes, DetachedChildOutlivesItsStarterAndIsNotLeftAsAZombie) {
    // The faulter program restarts the copy detached and ends at once.
    std::string words = "vistrel_faulter start-detached " + name + " " + stem + " sleep 30000";
    ASSERT_EQ(vp_spawn_wait(VISTREL_VISTREL_FAULTER, words.c_str()), 0);
    long pid = atol(read_file("plugins" VP_SEP "started.txt").c_str());
    track(pid);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(alive(pid));
    EXPECT_EQ(MP_check_process(name.c_str()), pid);

    EXPECT_EQ(vp_proc_kill(static_cast<uint32_t>(pid)), 0);
    EXPECT_TRUE(wait_until([&] { return !alive(pid); }, kWaitMs));
#ifndef _WIN32
    EXPECT_TRUE(wait_until([&] { return gone_entirely(pid); }, kWaitMs));
#endif
}

TEST_F(Processes, DetachedChildThatEndsIsNotLeftAsAZombie) {
    // This process never waits for it; someone else must collect it when it ends.
    long pid = start("write-file done.txt yes");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(wait_until([&] { return read_file("done.txt") == "yes"; }, kWaitMs));
    EXPECT_TRUE(wait_until([&] { return !alive(pid); }, kWaitMs));
#ifndef _WIN32
    EXPECT_TRUE(wait_until([&] { return gone_entirely(pid); }, kWaitMs));
#endif
    EXPECT_EQ(vp_spawn_detached("no-such-program" VP_EXE, "no-such-program"), -1);
}

TEST_F(Processes, ImagePathTooLongForTheQueryIsAnErrorLine) {
    // A directory deep enough that the copy's full path exceeds the 260-character buffer.
    std::string deep;
    for (int i = 0; i < 6; i++) deep += std::string(40, static_cast<char>('a' + i)) + VP_SEP;
    fs::create_directories(deep);
    fs::copy_file(name, deep + name);
    long pid = start("sleep 30000", deep + name);
    if (pid <= 0) GTEST_SKIP() << "this platform cannot start a program from so long a path";
    ASSERT_TRUE(wait_until([&] { return alive(pid); }, kWaitMs));

    EXPECT_EQ(MP_check_process(name.c_str()), 0);
    std::smatch m;
    std::string text = log();
    static const std::regex line(R"(\*\*Error\*\*check_process failed: Error (\d+) - [^\n]+\n)");
    ASSERT_TRUE(std::regex_search(text, m, line)) << text;
#ifndef _WIN32
    EXPECT_EQ(m[1].str(), "36");  // ENAMETOOLONG
#else
    EXPECT_EQ(m[1].str(), "122");  // ERROR_INSUFFICIENT_BUFFER
#endif
}

}  // namespace
