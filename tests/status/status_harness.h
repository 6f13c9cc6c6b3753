// status_harness.h - the monitor's end-to-end tests: the monitor on its console, the stand-in
// bridges in a scratch folder, and the screens read back.
//
// The scratch folder holds stand-ins under the bridges' program names; each publishes the block
// that its script file asks for (status_standin.cpp). The monitor's console is read through a
// pseudo-terminal natively and through its standard output, sent to a file, under Windows.
#pragma once

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
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#endif

#include "mp_tags.h"
#include "pty_child.h"
#include "isolate.h"
#include "scratch.h"
#include "vp.h"

namespace fs = std::filesystem;

constexpr int kWaitMs = 20000;
const char* const kWifi = "Vistrel_WIFIRemote";
const char* const kMpx = "Vistrel_MPExtended";
// The name of a bridge's block in this test process.
inline std::string block(const char* bridge) { return run_block_name(bridge); }

// The monitor with its console.
class Monitor {
public:
    ~Monitor() { end(); }

#ifndef _WIN32
    // A terminal of rows by cols; without a size (0), a terminal whose size is unknown, on
    // which the monitor lists every row as on a pipe.
    bool start(const std::vector<std::string>& args = {}, int rows = 0, int cols = 0) {
        std::vector<std::string> words = {"Vistrel_Status"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        // The terminal becomes the monitor's console and controlling terminal, as a terminal
        // window's would.
        pid_ = pty_child_start(&master_, rows, cols, [&] {
            execv(VISTREL_VISTREL_STATUS, argv.data());
            return 127;
        });
        if (pid_ <= 0) return false;
        reader_ = std::thread([this] { read_console(); });
        return true;
    }

    // Keys typed at the terminal.
    bool send(const std::string& keys) {
        return write(master_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    }

    // Resizes the window; the terminal tells the monitor (SIGWINCH).
    bool resize(int rows, int cols) {
        winsize ws = {};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        return ioctl(master_, TIOCSWINSZ, &ws) == 0;
    }

    void send_signal(int sig) { kill(pid_, sig); }

    // Waits for the monitor to end by itself; its wait status, or -1 when it did not end.
    int wait_end() {
        int status = 0;
        if (!wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, kWaitMs)) return -1;
        pid_ = -1;
        return status;
    }

    // The terminal's input mode as the monitor left it or keeps it.
    tcflag_t local_mode() {
        termios mode = {};
        tcgetattr(master_, &mode);
        return mode.c_lflag;
    }

    std::string output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_;
    }

    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    // Closes the console, as a person closing the terminal window does: the monitor is hung
    // up and ends. Returns whether it ended.
    bool end() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (master_ >= 0) close(master_);
        master_ = -1;
        if (pid_ <= 0) return true;
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
    bool start(const std::vector<std::string>& args = {}) {
        // The run-time joins the arguments of a start with blanks and the monitor's run-time
        // splits its command line at blanks again: words without blanks arrive one by one.
        std::string command = "Vistrel_Status";
        for (const std::string& a : args) command += " " + a;
        // The monitor inherits this process's standard output, turned to a file for the start.
        int fd = _open("monitor.out", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) return false;
        fflush(stdout);
        int saved = _dup(1);
        _dup2(fd, 1);
        pid_ = vp_spawn_detached(VISTREL_VISTREL_STATUS, command.c_str());
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

inline std::vector<Screen> screens_of(const std::string& out) {
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
inline std::string last_raw_screen(const std::string& out) {
    size_t end = out.rfind("Total Numtags=");
    if (end == std::string::npos) return "";
    size_t begin = out.rfind(" WifiRemote State1=", end);
    if (begin == std::string::npos || begin < 14) return "";
    return out.substr(begin - 14, out.find('\n', end) - (begin - 14));
}

// A state line ends with two blanks and the age of its block in brackets.
inline std::string age_of(const std::string& state_line) {
    size_t at = state_line.rfind("  [");
    return at == std::string::npos ? "" : state_line.substr(at + 2);
}

inline std::string without_age(const std::string& state_line) {
    size_t at = state_line.rfind("  [");
    return at == std::string::npos ? state_line : state_line.substr(0, at);
}

inline std::string ctime_text(time_t t) {
    const char* text = ctime(&t);
    std::string s = text ? text : "";
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

inline std::string row(int r, int type, int ival, int len, const std::string& name, const std::string& text) {
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
// Bridges that serve this test's blocks without the test having started them.
inline std::string foreign_bridges() {
    static uint32_t ids[4096];
    std::string found;
    int n = vp_proc_list(ids, 4096);
    for (int i = 0; i < n; i++)
        for (const char* bridge : {kWifi, kMpx})
            if (vp_proc_serves(ids[i], block(bridge).c_str())) found += std::to_string(ids[i]) + " ";
    return found;
}

class StatusMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        vp_image_query_load();
        std::string others;
        ASSERT_TRUE(wait_until([&] { return (others = foreign_bridges()).empty(); }, kWaitMs))
            << "bridges run outside the test: " << others;
        vp_shm_unlink(block(kWifi).c_str());
        vp_shm_unlink(block(kMpx).c_str());
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
        vp_shm_unlink(block(kWifi).c_str());
        vp_shm_unlink(block(kMpx).c_str());
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

inline bool has_total(const Screen& s, int total) { return s.back() == "Total Numtags=" + std::to_string(total); }
