// test_reconnect.cpp - the MPExtended bridge's connection loop end to end: connect, converse, reconnect 5 s later.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "loopback.h"
#include "mp_tags.h"
#include "isolate.h"
#include "scratch.h"
#include "vp.h"

namespace {

using Clock = std::chrono::steady_clock;
// The bridge's block in this test process.
const char* block_name() {
    static const std::string name = run_block_name("Vistrel_MPExtended");
    return name.c_str();
}

// Ends the child program and removes its block however the test ends, before the scratch
// directory that holds its files goes.
struct Child {
    long pid = -1;
    ~Child() {
        if (pid > 0) {
            vp_proc_kill((uint32_t)pid);
            wait_until([this] { return !vp_proc_alive((uint32_t)pid); }, 5000);
        }
        vp_shm_unlink(block_name());
    }
};

// One connection as the server saw it.
struct Session {
    bool accepted = false;
    Clock::time_point accepted_at, closed_at;
    std::string greeting;
};

// Reads until a line end came, the peer closed, or 5 s passed in silence.
std::string read_line(vp_socket s) {
    std::string got;
    char chunk[256];
    while (got.find("\r\n") == std::string::npos && vp_wait_readable(s, 5000) == 1) {
        int n = vp_recv(s, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, (size_t)n);
    }
    return got;
}

// Reads until the text holds `count` request ends (an empty line each), the peer closed, or
// 5 s passed in silence.
std::string read_requests(vp_socket s, int count) {
    std::string got;
    char chunk[256];
    auto ends = [&] {
        int n = 0;
        for (size_t at = got.find("\r\n\r\n"); at != std::string::npos; at = got.find("\r\n\r\n", at + 4)) n++;
        return n;
    };
    while (ends() < count && vp_wait_readable(s, 5000) == 1) {
        int n = vp_recv(s, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, (size_t)n);
    }
    return got;
}

// The first 8 bytes and the status line of the bridge's block.
struct Published {
    std::string state;
    std::string status;
};
Published read_block() {
    Published p;
    vp_shm shm = VP_NO_SHM;
    void* view = nullptr;
    if (vp_shm_open(block_name(), MP_BLOCK_SIZE, &shm) != 0) return p;
    if (vp_shm_map(shm, MP_BLOCK_SIZE, 1, &view) == 0) {
        const char* bytes = static_cast<const char*>(view);
        p.state.assign(bytes, 8);
        const char* status = bytes + offsetof(MP_TagEntry, string);
        p.status.assign(status, strnlen(status, 257));
        vp_shm_unmap(view, MP_BLOCK_SIZE);
    }
    vp_shm_close(shm);
    return p;
}

// A fresh working directory without a block from an earlier run, and a loopback listener that
// plays the server. The members are destroyed in reverse order: the listener closes first, then
// the program ends, then the directory that holds its files goes.
class MpxReconnect : public ::testing::Test {
protected:
    void SetUp() override {
        vp_shm_unlink(block_name());
        ASSERT_EQ(vp_net_start(), 0);
        listener_.emplace();
        ASSERT_NE(listener_->socket(), VP_INVALID_SOCKET);
    }

    // Writes the settings, which point the program at the listener, and starts the program.
    void start(const char* path, const char* arg0, const std::string& settings) {
        write_file(VP_PLUGINS "MP.cfg",
                   settings + "MPExtended_Port=" + std::to_string(listener_->port()) + "\n");
        program_.pid = vp_spawn_detached(path, arg0);
        ASSERT_GT(program_.pid, 0);
    }

    ScratchDir dir_;
    Child program_;
    std::optional<LoopbackListener> listener_;
};

TEST_F(MpxReconnect, ConversesThenReconnectsFiveSecondsAfterTheServerCloses) {
    ASSERT_NO_FATAL_FAILURE(start(VISTREL_MPX_STANDIN, "mpx_standin", ""));
    const vp_socket listener = listener_->socket();

    // The server: it answers the first connection and closes it, then answers the second and
    // holds it open. Every wait is bounded, so the thread always ends.
    Session sessions[2];
    vp_socket held = VP_INVALID_SOCKET;
    std::thread server([&] {
        for (int i = 0; i < 2; i++) {
            if (vp_wait_readable(listener, i == 0 ? 30000 : 15000) != 1) return;
            vp_socket s = vp_accept(listener);
            if (s == VP_INVALID_SOCKET) return;
            sessions[i].accepted = true;
            sessions[i].accepted_at = Clock::now();
            sessions[i].greeting = read_line(s);
            std::string reply = "reply " + std::to_string(i) + "\r\n";
            vp_send(s, reply.data(), (int)reply.size());
            if (i == 1) {
                held = s;
                return;
            }
            // Lets the reply be read before the close, so that both reach the stand-in.
            vp_sleep_ms(200);
            sessions[i].closed_at = Clock::now();
            vp_close_socket(s);
        }
    });
    server.join();

    ASSERT_TRUE(sessions[0].accepted) << "the stand-in never connected";
    EXPECT_EQ(sessions[0].greeting, "hello\r\n");
    ASSERT_TRUE(sessions[1].accepted) << "the stand-in did not reconnect within 15 s";
    EXPECT_EQ(sessions[1].greeting, "hello\r\n");
    auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(sessions[1].accepted_at - sessions[0].closed_at);
    EXPECT_GE(pause.count(), 4500);

    // Both replies reached the stand-in's conversation, and the last one was published.
    EXPECT_TRUE(wait_until([] { return read_file("received.txt") == "reply 0\r\nreply 1\r\n"; }, 5000))
        << read_file("received.txt");
    EXPECT_TRUE(wait_until([] { return read_block().status == "OK"; }, 5000)) << read_block().status;
    EXPECT_EQ(read_block().state, std::string("Numtags\0", 8));

    if (held != VP_INVALID_SOCKET) vp_close_socket(held);
}

// The real bridge: it asks for the recordings as soon as it is connected, each answer is
// published with "OK", and the server's close ends the conversation with "Connection closed"
// in the log.
TEST_F(MpxReconnect, BridgePublishesEachMessageAndLogsTheClose) {
    ASSERT_NO_FATAL_FAILURE(start(VISTREL_VISTREL_MPEXTENDED, "Vistrel_MPExtended", "Debug=1\nMPExtended_Wait=0\n"));
    ASSERT_EQ(vp_wait_readable(listener_->socket(), 30000), 1) << "the bridge never connected";
    vp_socket s = vp_accept(listener_->socket());
    ASSERT_NE(s, VP_INVALID_SOCKET);
    EXPECT_TRUE(wait_until([] { return read_block().status == "Connecting....."; }, 5000)) << read_block().status;
    const std::string first = read_requests(s, 1);
    EXPECT_EQ(first.substr(0, first.find("\r\n") + 2),
              "GET /MpExtended/TVAccessService/json/GetRecordings?sort=3&order=1 HTTP/1.1\r\n");

    const std::string message = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]";
    vp_send(s, message.data(), (int)message.size());
    EXPECT_TRUE(wait_until([] { return read_block().status == "OK"; }, 5000)) << read_block().status;

    // With no pause the next request follows the publication at once; it is read before the
    // close, so that the close is an orderly one and not a reset of unread data.
    EXPECT_EQ(read_requests(s, 1), first);
    vp_close_socket(s);
    const std::string log = VP_PLUGINS "Vistrel_MPExtended.log";
    EXPECT_TRUE(wait_until([&] { return read_file(log).find("TCP[MPEx]: Connection closed") != std::string::npos; }, 5000))
        << read_file(log);
    EXPECT_NE(read_file(log).find("TCP[MPEx]: Empty Message"), std::string::npos);
}

}  // namespace
