// test_files.cpp - the simulators' event logs, request files and journals, and what they print of
// a client's text: files of their own, never written through a link, and no control sequence.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// What any local program may send to a simulator's port: a line with a control sequence that
// would clear a terminal and set its title, and a C1 control in its UTF-8 form.
const std::string kHostile = "GET /\x1b[2J\x1b]0;owned\x07x\xc2\x9b" "31m HTTP/1.1";

bool has_control(const std::string& text) {
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b || c == 0x07 || (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x9b))
            return true;
    }
    return false;
}

int port_in(const char* file) {
    std::string text;
    if (!wait_until([&] {
            text = read_file(file);
            return !text.empty() && text.back() == '\n';
        }, 30000))
        return 0;
    return std::stoi(text);
}

bool send_line(int port, const std::string& text) {
    vp_socket s = vp_tcp_socket();
    bool ok = vp_connect(s, vp_inet_addr("127.0.0.1"), port) == 0 &&
              vp_send(s, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
    // The simulator reads the line before the connection ends.
    vp_sleep_ms(300);
    vp_close_socket(s);
    return ok;
}

#ifndef _WIN32
unsigned mode_of(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<unsigned>(st.st_mode & 0777) : 0;
}

// A file that another user could have pointed a link at, in place of a simulator's file.
struct Victim {
    explicit Victim(const char* link) {
        write_file("victim.txt", "untouched");
        made = symlink("victim.txt", link) == 0;
    }
    bool made = false;
    std::string text() const { return read_file("victim.txt"); }
};
#endif

class SimFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
#ifndef _WIN32
        // The simulators run with the usual mask, as in a terminal: their files are private by
        // their own doing.
        mask_ = umask(022);
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        umask(mask_);
#endif
    }
    ScratchDir dir_;
#ifndef _WIN32
    mode_t mask_ = 0;
#endif
};

// The TV simulator prints a client's request line, and logs it among its events, escaped; its
// request file is private; a link in the place of its event log is not written through.
TEST_F(SimFiles, TvSimulatorShowsAClientsLineEscapedAndWritesNoLinkedFile) {
#ifndef _WIN32
    // The event log named on the command line is a link to another file.
    Victim victim("events.txt");
    ASSERT_TRUE(victim.made);
#endif
    const char* const args[] = {"vistrel_tvsim", "--port",       "0",          "--port-file", "port.txt", "--log",
                                "events.txt",    "--requests",   "requests.txt", "--lifetime", "3",        nullptr};
    int rc = -1;
    std::thread sim([&] { rc = vp_run_to_file(VISTREL_VISTREL_TVSIM, args, "tvsim.out"); });
    int port = port_in("port.txt");
    bool sent = port > 0 && send_line(port, kHostile + "\r\nHost: x\r\n\r\n");
    sim.join();
    ASSERT_TRUE(sent);
    EXPECT_EQ(0, rc);
    std::string out = read_file("tvsim.out");
    // The whole line up to its line end (CR LF on Windows).
    const std::string shown = " request GET /\\x1b[2J\\x1b]0;owned\\x07x\\xc2\\x9b31m HTTP/1.1";
    size_t at = out.find(shown);
    EXPECT_TRUE(at != std::string::npos && (out[at + shown.size()] == '\r' || out[at + shown.size()] == '\n')) << out;
    EXPECT_FALSE(has_control(out));
    EXPECT_NE(std::string::npos, read_file("requests.txt").find(kHostile)) << "the request file keeps the bytes";
#ifndef _WIN32
    EXPECT_EQ("untouched", victim.text());
    EXPECT_EQ(0600u, mode_of("requests.txt"));
#else
    EXPECT_FALSE(has_control(read_file("events.txt")));
#endif
}

// The WifiRemote simulator's journal shows a client's line escaped and is private; a link in the
// place of its file of raw bytes is not written through.
TEST_F(SimFiles, WifiSimulatorJournalsAClientsLineEscapedAndWritesNoLinkedFile) {
#ifndef _WIN32
    Victim victim("raw.bin");
    ASSERT_TRUE(victim.made);
#endif
    long pid = vp_spawn_detached(VISTREL_VISTREL_WIFISIM,
                                 "vistrel_wifisim --port 0 --port-file port.txt --journal journal.txt --raw raw.bin");
    ASSERT_GT(pid, 0);
    int port = port_in("port.txt");
    bool sent = port > 0 && send_line(port, "{\"Type\":\"x\x1b[2J\",\"Name\":\"\x1b]0;owned\x07\"}\r\n");
    bool logged = wait_until([] { return read_file("journal.txt").find(" RECV ") != std::string::npos; }, 10000);
    vp_proc_kill(static_cast<uint32_t>(pid));
    wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(pid)); }, 10000);
    ASSERT_TRUE(sent);
    ASSERT_TRUE(logged);
    std::string journal = read_file("journal.txt");
    EXPECT_NE(std::string::npos, journal.find(" RECV {\"Type\":\"x\\x1b[2J\",\"Name\":\"\\x1b]0;owned\\x07\"}")) << journal;
    EXPECT_FALSE(has_control(journal));
#ifndef _WIN32
    EXPECT_EQ("untouched", victim.text());
    EXPECT_EQ(0600u, mode_of("journal.txt"));
#endif
}

}  // namespace
