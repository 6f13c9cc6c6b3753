// test_status.cpp - Vistrel_Status end to end: bridge starts, the merged screen, states, limits.
//
// The scratch folder holds stand-ins under the bridges' program names; each publishes the block
// that its script file asks for (status_standin.cpp). The monitor's console is read through a
// pseudo-terminal natively and through its standard output, sent to a file, under Windows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#endif

#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 20000;
const char* const kWifi = "Vistrel_WIFIRemote";
const char* const kMpx = "Vistrel_MPExtended";

// The monitor with its console.
class Monitor {
public:
    ~Monitor() { end(); }

#ifndef _WIN32
    bool start() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
        std::string slave = ptsname(master_);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // The terminal becomes the monitor's console and controlling terminal, as a
            // terminal window's would.
            setsid();
            int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0) _exit(126);
            for (int std_fd = 0; std_fd <= 2; std_fd++) dup2(fd, std_fd);
            if (fd > 2) close(fd);
            close(master_);
            execl(VISTREL_VISTREL_STATUS, "Vistrel_Status", static_cast<char*>(nullptr));
            _exit(127);
        }
        reader_ = std::thread([this] { read_console(); });
        return true;
    }

    std::string output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_;
    }

    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    // Closes the console, as a person closing the terminal window does: the monitor is hung
    // up and ends. Returns whether it ended.
    bool end() {
        if (pid_ <= 0) return true;
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        close(master_);
        master_ = -1;
        int status = 0;
        bool ended = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kWaitMs);
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return ended;
    }

private:
    void read_console() {
        char buf[65536];
        while (!stop_) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mutex_);
            out_.append(buf, static_cast<size_t>(n));
        }
    }

    int master_ = -1;
    pid_t pid_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string out_;
#else
    bool start() {
        // The monitor inherits this process's standard output, turned to a file for the start.
        int fd = _open("monitor.out", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) return false;
        fflush(stdout);
        int saved = _dup(1);
        _dup2(fd, 1);
        pid_ = vp_spawn_detached(VISTREL_VISTREL_STATUS, "Vistrel_Status");
        _dup2(saved, 1);
        _close(saved);
        _close(fd);
        return pid_ > 0;
    }

    std::string output() { return read_file("monitor.out"); }

    bool running() { return pid_ > 0 && vp_proc_alive(static_cast<uint32_t>(pid_)); }

    bool end() {
        if (pid_ <= 0) return true;
        vp_proc_kill(static_cast<uint32_t>(pid_));
        bool ended = wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(pid_)); }, kWaitMs);
        pid_ = -1;
        return ended;
    }

private:
    long pid_ = -1;
#endif
};

// One complete screen: its lines from the state line of the WifiRemote block to the total, the
// clearing of the console before it left out.
using Screen = std::vector<std::string>;

std::vector<Screen> screens_of(const std::string& out) {
    std::vector<Screen> screens;
    Screen current;
    bool inside = false;
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos) break;  // a line still being written
        std::string line = out.substr(start, nl - start);
        start = nl + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        size_t state = line.find(" WifiRemote State1=");
        if (state != std::string::npos) {
            // The current time, "%H:%M %d/%m/%y", is the 14 characters before it.
            current.assign(1, line.substr(state >= 14 ? state - 14 : 0));
            inside = true;
        } else if (inside) {
            current.push_back(line);
            if (line.rfind("Total Numtags=", 0) == 0) {
                screens.push_back(current);
                inside = false;
            }
        }
    }
    return screens;
}

// The raw bytes of the last complete screen.
std::string last_raw_screen(const std::string& out) {
    size_t end = out.rfind("Total Numtags=");
    if (end == std::string::npos) return "";
    size_t begin = out.rfind(" WifiRemote State1=", end);
    if (begin == std::string::npos || begin < 14) return "";
    return out.substr(begin - 14, out.find('\n', end) - (begin - 14));
}

std::string ctime_text(time_t t) {
    const char* text = ctime(&t);
    std::string s = text ? text : "";
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

std::string row(int r, int type, int ival, int len, const std::string& name, const std::string& text) {
    char line[512];
    snprintf(line, sizeof line, "%4d  %2d %12d  %3d   %-40s %-s", r, type, ival, len, name.c_str(), text.c_str());
    return line;
}

const std::string kHeader = " id  type     ival      len  name                                     string";
const std::string kRule = "---- ---- ------------ ----- ---------.---------.---------.---------. "
                          "----------------------------------------------";

// A scratch folder with both stand-ins under the bridges' names; every process that a test
// started or that the monitor started is ended afterwards, and both blocks are removed.
// Bridges of this machine outside the test (path and id), which the monitor would take for its
// own; none may run while these tests do.
std::string foreign_bridges() {
    static uint32_t ids[4096];
    std::string found;
    char path[1024];
    int n = vp_proc_list(ids, 4096);
    for (int i = 0; i < n; i++) {
        if (vp_proc_image(ids[i], path, sizeof path) != 0) continue;
        std::string p = path;
        for (std::string name : {std::string(kWifi) + VP_EXE, std::string(kMpx) + VP_EXE})
            if (p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0)
                found += p + " (" + std::to_string(ids[i]) + ") ";
    }
    return found;
}

class StatusMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        vp_image_query_load();
        std::string others;
        ASSERT_TRUE(wait_until([&] { return (others = foreign_bridges()).empty(); }, kWaitMs))
            << "bridges run outside the test: " << others;
        vp_shm_unlink(kWifi);
        vp_shm_unlink(kMpx);
        fs::copy_file(VISTREL_STATUS_STANDIN, std::string(kWifi) + VP_EXE);
        fs::copy_file(VISTREL_STATUS_STANDIN, std::string(kMpx) + VP_EXE);
    }

    void TearDown() override {
        monitor.end();
        for (const char* bridge : {kWifi, kMpx}) {
            for (long pid : started(bridge)) {
                vp_proc_kill(static_cast<uint32_t>(pid));
                EXPECT_TRUE(wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(pid)); }, kWaitMs));
            }
        }
        vp_shm_unlink(kWifi);
        vp_shm_unlink(kMpx);
    }

    // The ids of the stand-ins started for the bridge, in the order of their starts.
    std::vector<long> started(const char* bridge) {
        std::vector<long> ids;
        for (const std::string& line : read_lines(std::string(bridge) + ".started"))
            if (!line.empty()) ids.push_back(std::stol(line));
        return ids;
    }

    // Replaces the bridge's script in one step, so that the stand-in never reads half of it.
    // Windows refuses to replace a file while the stand-in has it open for reading, so the
    // rename is tried again until the stand-in has let go of it.
    void script(const char* bridge, const std::string& text) {
        std::string path = std::string(bridge) + ".standin";
        write_file(path + ".new", text);
        std::error_code error;
        ASSERT_TRUE(wait_until([&] {
            fs::rename(path + ".new", path, error);
            return !error;
        }, kWaitMs)) << "cannot replace " << path << ": " << error.message();
    }

    // Starts a stand-in as a test's own, already running bridge, and waits for it to run.
    void run_bridge(const char* bridge, const std::string& file) {
        if (!fs::exists(file)) fs::copy_file(VISTREL_STATUS_STANDIN, file);
        ASSERT_GT(vp_spawn_detached(file.c_str(), bridge), 0);
        ASSERT_TRUE(wait_until([&] { return started(bridge).size() == 1; }, kWaitMs));
    }

    // Waits for a screen that satisfies the condition and returns it (empty when none came).
    Screen wait_screen(const std::function<bool(const Screen&)>& cond) {
        Screen found;
        wait_until(
            [&] {
                for (const Screen& s : screens_of(monitor.output()))
                    if (cond(s)) {
                        found = s;
                        return true;
                    }
                return false;
            },
            kWaitMs);
        return found;
    }

    // Waits until n more screens than now have been shown.
    bool wait_screens(size_t n) {
        size_t now = screens_of(monitor.output()).size();
        return wait_until([&] { return screens_of(monitor.output()).size() >= now + n; }, kWaitMs);
    }

    ScratchDir dir;
    Monitor monitor;
};

bool has_total(const Screen& s, int total) { return s.back() == "Total Numtags=" + std::to_string(total); }

TEST_F(StatusMonitor, StartsBothAbsentBridgesOnceShowsTheBlocksItMadeAndLeavesTheBridgesRunning) {
    ASSERT_TRUE(monitor.start());
    // No script yet: the stand-ins leave the blocks as the monitor made them, zero-filled.
    Screen s = wait_screen([](const Screen&) { return true; });
    ASSERT_EQ(6u, s.size()) << monitor.output();
    const std::string zero_time = ctime_text(0);
    EXPECT_EQ(" WifiRemote State1= Numtags1=   0 Time=" + zero_time + " Status1=", s[0].substr(14));
    EXPECT_EQ("               MPExtended State2= Numtags2=   0 Time=" + zero_time + " Status2=", s[1]);
    EXPECT_EQ(kHeader, s[2]);
    EXPECT_EQ(kRule, s[3]);
    EXPECT_EQ(row(0, 0, 0, 0, "", ""), s[4]);
    EXPECT_EQ("Total Numtags=1", s[5]);
    // The current time leads the first line.
    time_t now = time(nullptr);
    char hm[16];
    strftime(hm, sizeof hm, "/%m/", localtime(&now));
    EXPECT_EQ(hm, s[0].substr(8, 4));

    // Each bridge was started once, and only at start-up.
    ASSERT_TRUE(wait_until([&] { return started(kWifi).size() == 1 && started(kMpx).size() == 1; }, kWaitMs));
    ASSERT_TRUE(wait_screens(2));
    std::vector<long> wifi = started(kWifi), mpx = started(kMpx);
    EXPECT_EQ(1u, wifi.size());
    EXPECT_EQ(1u, mpx.size());

    // The bridges outlive the monitor and go on publishing.
    EXPECT_TRUE(monitor.end());
    script(kWifi, "state Numtags\\x00\nstatus after the monitor\ntag A 1 0 a\n");
    script(kMpx, "state Numtags\\x00\nstatus after the monitor\n");
    for (const char* bridge : {kWifi, kMpx}) {
        vp_shm handle;
        void* view = nullptr;
        ASSERT_EQ(0, vp_shm_open(bridge, MP_BLOCK_SIZE, &handle));
        ASSERT_EQ(0, vp_shm_map(handle, MP_BLOCK_SIZE, 0, &view));
        EXPECT_TRUE(wait_until(
            [&] { return strcmp(static_cast<const MP_TagEntry*>(view)->string, "after the monitor") == 0; },
            kWaitMs))
            << bridge;
        vp_shm_unmap(view, MP_BLOCK_SIZE);
        vp_shm_close(handle);
    }
    EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(wifi[0])));
    EXPECT_TRUE(vp_proc_alive(static_cast<uint32_t>(mpx[0])));
}

TEST_F(StatusMonitor, StartsNoRunningBridgeAndListsBothTablesMerged) {
    const int32_t t1 = 1449961234, t2 = 1700000000;
    script(kWifi, "state Numtags\\x00\nstatus OK\ntime " + std::to_string(t1) +
                      "\ntag Type 1 0 status\ntag Properties.Play.Current.Title.Of.A.Long.Name 1 1 "
                      "Some title\ntag Position 0 73 73\n");
    script(kMpx, "state Numtags\\x00\nstatus Connecting.....\ntime " + std::to_string(t2) +
                     "\ntag Recordings 1 0 None\ntag IRecordings 0 0 0\n");
    // The WifiRemote bridge runs under a longer file name with the same ending, which counts.
    run_bridge(kWifi, std::string("Old") + kWifi + VP_EXE);
    run_bridge(kMpx, std::string(kMpx) + VP_EXE);

    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 6); });
    ASSERT_EQ(11u, s.size()) << monitor.output();
    EXPECT_EQ(" WifiRemote State1=Numtags Numtags1=   3 Time=" + ctime_text(t1) + " Status1=OK",
              s[0].substr(14));
    EXPECT_EQ("               MPExtended State2=Numtags Numtags2=   2 Time=" + ctime_text(t2) +
                  " Status2=Connecting.....",
              s[1]);
    EXPECT_EQ(kHeader, s[2]);
    EXPECT_EQ(kRule, s[3]);
    EXPECT_EQ(row(0, 0, 0, 3, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(1, 1, 0, 4, "Type", "status"), s[5]);
    EXPECT_EQ(row(2, 1, 1, 44, "Properties.Play.Current.Title.Of.A.Long.Name", "Some title"), s[6]);
    EXPECT_EQ(row(3, 0, 73, 8, "Position", "73"), s[7]);
    EXPECT_EQ(row(4, 1, 0, 10, "Recordings", "None"), s[8]);
    EXPECT_EQ(row(5, 0, 0, 11, "IRecordings", "0"), s[9]);

    ASSERT_TRUE(wait_screens(2));
    EXPECT_EQ(1u, started(kWifi).size());
    EXPECT_EQ(1u, started(kMpx).size());
}

TEST_F(StatusMonitor, CopiesOnlyPublishedTablesAndListsANewTagWithItsCount) {
    script(kWifi, "state Numtags\\x00\nstatus OK\ntag W.One 1 0 first\ntag W.Two 1 0 second\n");
    script(kMpx, "state Numtags\\x00\nstatus OK\ntag M.One 1 0 one\n");
    ASSERT_TRUE(monitor.start());
    ASSERT_FALSE(wait_screen([](const Screen& sc) { return has_total(sc, 4); }).empty()) << monitor.output();

    // Stopped and unpublished blocks: their headers show, their rows keep what was copied.
    script(kWifi, "state Shutdown\ncount 2\nstatus Stopped\ntag W.One 1 0 changed\ntag W.Two 1 0 changed\n");
    script(kMpx, "state Invalid\\x20\ncount 1\nstatus Reopened\ntag M.One 1 0 changed\n");
    Screen s = wait_screen([](const Screen& sc) { return sc[0].find("Status1=Stopped") != std::string::npos &&
                                                         sc[1].find("Status2=Reopened") != std::string::npos; });
    ASSERT_EQ(9u, s.size()) << monitor.output();
    EXPECT_NE(std::string::npos, s[0].find(" WifiRemote State1=Shutdown Numtags1=   2 Time="));
    EXPECT_EQ(0u, s[1].find("               MPExtended State2=Invalid  Numtags2=   1 Time="));
    EXPECT_EQ(row(0, 0, 0, 2, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(1, 1, 0, 5, "W.One", "first"), s[5]);
    EXPECT_EQ(row(2, 1, 0, 5, "W.Two", "second"), s[6]);
    EXPECT_EQ(row(3, 1, 0, 5, "M.One", "one"), s[7]);
    EXPECT_EQ("Total Numtags=4", s[8]);

    // Published again with one more tag: every screen that shows the new count lists the tag.
    script(kMpx, "state Numtags\\x00\nstatus OK\ntag M.One 1 0 one\ntag M.Added 0 7 7\n");
    ASSERT_FALSE(wait_screen([](const Screen& sc) { return sc[1].find("Numtags2=   2") != std::string::npos; }).empty());
    ASSERT_TRUE(wait_screens(1));
    int with_new_count = 0;
    for (const Screen& sc : screens_of(monitor.output())) {
        if (sc[1].find("Numtags2=   2") == std::string::npos) continue;
        with_new_count++;
        ASSERT_EQ(10u, sc.size());
        EXPECT_EQ(row(4, 0, 7, 7, "M.Added", "7"), sc[8]);
        EXPECT_EQ("Total Numtags=5", sc[9]);
    }
    EXPECT_GE(with_new_count, 2);
}

TEST_F(StatusMonitor, ListsTwoFullTablesWholeAndABadCountSafely) {
    // A header that claims more tags than a table holds is listed as a full table.
    script(kWifi, "state Numtags\\x00\ncount 5000\nstatus OK\nfill 2048\n");
    script(kMpx, "state Numtags\\x00\nstatus OK\nfill 2048\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 4097); });
    ASSERT_EQ(4097u + 5u, s.size()) << monitor.output().substr(0, 2000);
    EXPECT_NE(std::string::npos, s[0].find("Numtags1=5000"));
    EXPECT_NE(std::string::npos, s[1].find("Numtags2=2048"));
    EXPECT_EQ(row(0, 0, 0, 5000, "Numtags", "OK"), s[4]);
    EXPECT_EQ(row(2048, 0, 2048, 9, "Fill.2048", "Value 2048"), s[4 + 2048]);
    EXPECT_EQ(row(2049, 0, 1, 9, "Fill.0001", "Value 1"), s[4 + 2049]);
    EXPECT_EQ(row(4096, 0, 2048, 9, "Fill.2048", "Value 2048"), s[4 + 4096]);

    // A negative count lists no tags of that block.
    script(kWifi, "state Numtags\\x00\ncount -7\nstatus Negative\n");
    s = wait_screen([](const Screen& sc) { return sc[0].find("Status1=Negative") != std::string::npos; });
    ASSERT_FALSE(s.empty());
    EXPECT_NE(std::string::npos, s[0].find("Numtags1=  -7"));
    EXPECT_EQ("Total Numtags=2049", s.back());
    EXPECT_EQ(row(1, 0, 1, 9, "Fill.0001", "Value 1"), s[5]);
}

TEST_F(StatusMonitor, ShowsNoControlBytesFromTheBlocks) {
    script(kWifi, "state Numtags\\x00\nstatus Line\\x0dBreak\ntag Bell\\x07Name 1 0 \\x1b[2JCleared\\x7f\n");
    script(kMpx, "state \\x01\\x02\\xff\ncount 0\nstatus \\x1b]0;title\\x07\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 2) && sc[1].find("title") != std::string::npos; });
    ASSERT_EQ(7u, s.size()) << monitor.output();
    EXPECT_NE(std::string::npos, s[0].find(" WifiRemote State1=Numtags Numtags1=   1 Time="));
    EXPECT_NE(std::string::npos, s[0].find(" Status1=Line?Break"));
    // Zero bytes of the state word show as nothing, other bytes that are no text as '?'.
    EXPECT_EQ(0u, s[1].find("               MPExtended State2=??? Numtags2=   0 Time="));
    EXPECT_NE(std::string::npos, s[1].find(" Status2=?]0;title?"));
    EXPECT_EQ(row(1, 1, 0, 9, "Bell?Name", "?[2JCleared?"), s[5]);

    std::string raw = last_raw_screen(monitor.output());
    ASSERT_FALSE(raw.empty());
    for (char c : raw) {
        unsigned char b = static_cast<unsigned char>(c);
        EXPECT_TRUE(b >= 32 || b == '\n' || b == '\r') << "control byte " << static_cast<int>(b);
    }
}

#ifndef _WIN32
TEST_F(StatusMonitor, ABlockThatCannotBeOpenedShowsAsEmptyWithTheReason) {
    // A folder in the place of the block: the block cannot be made or opened.
    const std::string in_the_way = std::string("/dev/shm/") + kMpx;
    ASSERT_TRUE(fs::create_directory(in_the_way));
    script(kWifi, "state Numtags\\x00\nstatus OK\ntag W.One 1 0 first\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 2); });
    fs::remove(in_the_way);
    ASSERT_EQ(7u, s.size()) << monitor.output();
    EXPECT_EQ("               MPExtended State2= Numtags2=   0 Time=" + ctime_text(0) + " Status2=", s[1]);
    EXPECT_EQ(row(1, 1, 0, 5, "W.One", "first"), s[5]);
    std::string out = monitor.output();
    EXPECT_NE(std::string::npos,
              out.find("Total Numtags=2\r\nVistrel_MPExtended: Could not open file mapping object ("))
        << out;
    EXPECT_TRUE(monitor.running());
}
#endif

}  // namespace
