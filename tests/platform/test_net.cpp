// test_net.cpp - TCP sockets on loopback: errors in Winsock numbers, exchange, close, reconnect.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "loopback.h"
#include "scratch.h"
#include "vp.h"

namespace {
uint32_t loopback() { return vp_inet_addr("127.0.0.1"); }

// The four bytes of an address in network order.
std::string octets(uint32_t addr) {
    unsigned char b[4];
    memcpy(b, &addr, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

// Connects a new client socket to the port, or returns VP_INVALID_SOCKET.
vp_socket connect_to(int port) {
    vp_socket c = vp_tcp_socket();
    if (c == VP_INVALID_SOCKET) return c;
    if (vp_connect(c, loopback(), port) != 0) {
        vp_close_socket(c);
        return VP_INVALID_SOCKET;
    }
    return c;
}

class Net : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vp_net_start(), 0); }

    // Listens on a loopback port and connects client_ to it; the test accepts the server end
    // and closes the client.
    void listen_and_connect() {
        listener_.emplace();
        ASSERT_NE(listener_->socket(), VP_INVALID_SOCKET);
        client_ = connect_to(listener_->port());
        ASSERT_NE(client_, VP_INVALID_SOCKET);
    }

    std::optional<LoopbackListener> listener_;
    vp_socket client_ = VP_INVALID_SOCKET;
};

// Receives exactly len bytes (or fewer when the connection ends first).
std::string recv_exactly(vp_socket s, int len) {
    std::string got;
    char buf[256];
    while (static_cast<int>(got.size()) < len) {
        int want = std::min<int>(static_cast<int>(sizeof buf), len - static_cast<int>(got.size()));
        int n = vp_recv(s, buf, want);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST_F(Net, DottedAddressConversion) {
    EXPECT_EQ(octets(vp_inet_addr("127.0.0.1")), "127.0.0.1");
    EXPECT_EQ(octets(vp_inet_addr("192.168.1.20")), "192.168.1.20");
    // The classic conversion takes a three-part address as a.b and a 16-bit last part.
    EXPECT_EQ(octets(vp_inet_addr("1.2.3")), "1.2.0.3");
    EXPECT_EQ(vp_inet_addr("no.such"), 0xffffffffu);
    EXPECT_EQ(vp_inet_addr("localhost"), 0xffffffffu);
}

TEST_F(Net, ResolvesLocalhostToALoopbackAddress) {
    char dotted[32] = "";
    int count = -1;
    ASSERT_EQ(vp_resolve("localhost", dotted, sizeof dotted, &count), 0);
    EXPECT_GE(count, 1);
    EXPECT_EQ(std::string(dotted).rfind("127.", 0), 0u) << dotted;
    EXPECT_NE(vp_inet_addr(dotted), 0xffffffffu);
}

TEST_F(Net, UnknownNameFailsWithAHostLookupCode) {
    char dotted[32] = "";
    int count = -1;
    // The .invalid domain never resolves anywhere.
    ASSERT_EQ(vp_resolve("vistrel-no-such-host.invalid", dotted, sizeof dotted, &count), -1);
    int e = vp_net_error();
    EXPECT_TRUE(e >= VP_WSAHOST_NOT_FOUND && e <= VP_WSANO_DATA) << e;
}

TEST_F(Net, ResolveWritesNothingPastTheGivenSize) {
    char dotted[12];
    memset(dotted, 'x', sizeof dotted);
    int count = 0;
    ASSERT_EQ(vp_resolve("localhost", dotted, 4, &count), 0);
    EXPECT_GE(count, 1);
    EXPECT_EQ(std::string(dotted + 4, 8), "xxxxxxxx");
}

TEST_F(Net, ConnectToClosedPortIsRefused) {
    int port = closed_loopback_port();
    ASSERT_GT(port, 0);
    vp_socket c = vp_tcp_socket();
    ASSERT_NE(c, VP_INVALID_SOCKET);
    EXPECT_EQ(vp_connect(c, loopback(), port), -1);
    EXPECT_EQ(vp_net_error(), VP_WSAECONNREFUSED);
    vp_close_socket(c);
}

TEST_F(Net, ExchangeThenPeerCloseThenReconnect) {
    LoopbackListener listener;
    ASSERT_NE(listener.socket(), VP_INVALID_SOCKET);
    ASSERT_GT(listener.port(), 0);
    EXPECT_EQ(vp_wait_readable(listener.socket(), 30), 0);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // Loopback connects complete through the backlog, so one thread can play both sides.
        vp_socket client = connect_to(listener.port());
        ASSERT_NE(client, VP_INVALID_SOCKET);
        EXPECT_EQ(vp_wait_readable(listener.socket(), 5000), 1);
        vp_socket server = vp_accept(listener.socket());
        ASSERT_NE(server, VP_INVALID_SOCKET);

        EXPECT_EQ(vp_send(client, "GET /x\r\n", 8), 8);
        EXPECT_EQ(recv_exactly(server, 8), "GET /x\r\n");
        EXPECT_EQ(vp_wait_readable(client, 0), 0);
        EXPECT_EQ(vp_send(server, "{\"Type\":\"welcome\"}", 18), 18);
        EXPECT_EQ(vp_wait_readable(client, 5000), 1);
        EXPECT_EQ(recv_exactly(client, 18), "{\"Type\":\"welcome\"}");

        // Bytes sent before the close still arrive; then the receive reports the end with 0.
        EXPECT_EQ(vp_send(server, "bye", 3), 3);
        vp_close_socket(server);
        EXPECT_EQ(recv_exactly(client, 3), "bye");
        char buf[16];
        EXPECT_EQ(vp_recv(client, buf, sizeof buf), 0);
        vp_close_socket(client);
    }
}

TEST_F(Net, ReconnectsWhenTheServerListensAgainOnItsPort) {
    ASSERT_NO_FATAL_FAILURE(listen_and_connect());
    const int port = listener_->port();
    vp_socket server = vp_accept(listener_->socket());
    ASSERT_NE(server, VP_INVALID_SOCKET);
    // The server goes away first, as a restarting service does.
    vp_close_socket(server);
    listener_->close();
    char buf[4];
    EXPECT_EQ(vp_recv(client_, buf, sizeof buf), 0);
    vp_close_socket(client_);

    vp_socket refused = vp_tcp_socket();
    EXPECT_EQ(vp_connect(refused, loopback(), port), -1);
    EXPECT_EQ(vp_net_error(), VP_WSAECONNREFUSED);
    vp_close_socket(refused);

    LoopbackListener again(port);
    ASSERT_NE(again.socket(), VP_INVALID_SOCKET) << "error " << vp_net_error();
    EXPECT_EQ(again.port(), port);
    client_ = connect_to(port);
    ASSERT_NE(client_, VP_INVALID_SOCKET);
    server = vp_accept(again.socket());
    ASSERT_NE(server, VP_INVALID_SOCKET);
    EXPECT_EQ(vp_send(client_, "again", 5), 5);
    EXPECT_EQ(recv_exactly(server, 5), "again");
    vp_close_socket(server);
    vp_close_socket(client_);
}

TEST_F(Net, SendToAClosedPeerFailsInsteadOfEndingTheProcess) {
    ASSERT_NO_FATAL_FAILURE(listen_and_connect());
    vp_socket server = vp_accept(listener_->socket());
    vp_close_socket(server);
    listener_->close();
    // The first send may still be taken; the peer's reset makes a later one fail.
    EXPECT_TRUE(wait_until([&] { return vp_send(client_, "x", 1) == -1; }, 5000));
    int e = vp_net_error();
    EXPECT_TRUE(e == VP_WSAECONNRESET || e == VP_WSAECONNABORTED || e == VP_WSAESHUTDOWN) << e;
    vp_close_socket(client_);
}

// The simulators rely on this bound when they stop reading: their own sends into a peer that
// has stopped reading too must come back, and the peer's later close must show as a failure.
TEST_F(Net, SendLimitEndsASendThatFindsNoRoom) {
    ASSERT_NO_FATAL_FAILURE(listen_and_connect());
    vp_socket server = vp_accept(listener_->socket());
    ASSERT_NE(server, VP_INVALID_SOCKET);
    ASSERT_EQ(vp_set_send_timeout(client_, 200), 0);
    // The server reads nothing, so the buffers fill; every send comes back, the last one
    // without having handed anything over.
    std::string chunk(65536, 'v');
    long long handed = 0;
    int n = 0;
    double longest = 0;
    for (int i = 0; i < 4000; i++) {
        double before = vp_process_seconds();
        n = vp_send(client_, chunk.data(), static_cast<int>(chunk.size()));
        longest = std::max(longest, vp_process_seconds() - before);
        if (n <= 0) break;
        handed += n;
    }
    ASSERT_EQ(n, -1) << "4000 sends of 64 KiB all found room (" << handed << " bytes)";
    int e = vp_net_error();
    EXPECT_EQ(e, VP_WSAETIMEDOUT);
    EXPECT_GT(handed, 0);
    EXPECT_LT(longest, 5.0) << "a send waited far beyond its limit";
    // Once the reader has gone, the held connection ends with a failure, not a time-out.
    vp_close_socket(server);
    EXPECT_TRUE(wait_until([&] {
        if (vp_send(client_, "x", 1) != -1) return false;
        int code = vp_net_error();
        return code != VP_WSAETIMEDOUT && code != VP_WSAEWOULDBLOCK;
    }, 10000));
    vp_close_socket(client_);
}
}  // namespace
