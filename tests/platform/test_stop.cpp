// test_stop.cpp - stop requests of the platform layer: noted instead of ending the program, and
// ending a wait on a socket or on the time alone.
#include <gtest/gtest.h>

#include <thread>

#include "loopback.h"
#include "vp.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// A connected pair of loopback sockets, closed with the object.
struct Pair {
    LoopbackListener listener;
    vp_socket client = VP_INVALID_SOCKET;
    vp_socket server = VP_INVALID_SOCKET;
    Pair() {
        client = vp_tcp_socket();
        if (vp_connect(client, vp_inet_addr("127.0.0.1"), listener.port()) == 0) server = vp_accept(listener.socket());
    }
    ~Pair() {
        vp_close_socket(client);
        vp_close_socket(server);
    }
};

TEST(Stop, WaitEndsOnDataOrOnItsTimeWhileNoStopCame) {
    ASSERT_EQ(0, vp_net_start());
    ASSERT_EQ(0, vp_stop_catch());
    Pair pair;
    ASSERT_NE(VP_INVALID_SOCKET, pair.server);
    EXPECT_EQ(VP_WAIT_TIME, vp_wait_or_stop(pair.server, 30));
    EXPECT_EQ(VP_WAIT_TIME, vp_wait_or_stop(VP_INVALID_SOCKET, 30));
    ASSERT_EQ(1, vp_send(pair.client, "x", 1));
    EXPECT_EQ(VP_WAIT_READABLE, vp_wait_or_stop(pair.server, 10000));
    // Closing the far end makes the socket readable too: the receive then reads the end.
    vp_close_socket(pair.client);
    pair.client = VP_INVALID_SOCKET;
    char buf[4];
    EXPECT_EQ(1, vp_recv(pair.server, buf, sizeof buf));
    EXPECT_EQ(VP_WAIT_READABLE, vp_wait_or_stop(pair.server, 10000));
    EXPECT_FALSE(vp_stop_requested());
}

#ifndef _WIN32
// Each of the three signals is noted instead of ending the process, and a wait that is under
// way, or that begins afterwards, returns at once, on a socket or on the time alone.
class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, IsNotedAndEndsEveryWait) {
    ASSERT_EQ(0, vp_net_start());
    ASSERT_EQ(0, vp_stop_catch());
    Pair pair;
    ASSERT_NE(VP_INVALID_SOCKET, pair.server);
    const int sig = GetParam();
    // Sent by another thread while this one waits far longer than the sending takes.
    std::thread sender([sig] {
        vp_sleep_ms(100);
        kill(getpid(), sig);
    });
    EXPECT_EQ(VP_WAIT_STOP, vp_wait_or_stop(VP_INVALID_SOCKET, 60000));
    sender.join();
    EXPECT_TRUE(vp_stop_requested());
    EXPECT_EQ(VP_WAIT_STOP, vp_wait_or_stop(pair.server, 60000));
    EXPECT_EQ(VP_WAIT_STOP, vp_wait_or_stop(VP_INVALID_SOCKET, 60000));
    // Data waiting makes no difference: the request comes first.
    ASSERT_EQ(1, vp_send(pair.client, "x", 1));
    EXPECT_EQ(VP_WAIT_STOP, vp_wait_or_stop(pair.server, 60000));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(Stop, SignalIgnoredAtStartStaysIgnored) {
    ASSERT_EQ(0, vp_net_start());
    signal(SIGHUP, SIG_IGN);
    ASSERT_EQ(0, vp_stop_catch());
    raise(SIGHUP);
    EXPECT_FALSE(vp_stop_requested());
    EXPECT_EQ(VP_WAIT_TIME, vp_wait_or_stop(VP_INVALID_SOCKET, 20));
    // The others are caught all the same.
    raise(SIGTERM);
    EXPECT_TRUE(vp_stop_requested());
}
#endif

}  // namespace
