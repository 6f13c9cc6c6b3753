// wfr_fixture.h - test support: the WifiRemote bridge's state with a live loopback connection.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "loopback.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "scratch.h"
#include "wfr.h"

inline const char* const kTag = "TCP[Wifi]:";

// The bridge's defaults and settings, the log at debug level 3, and a loopback connection whose
// client end is the bridge's current connection, so that everything it sends can be read.
class Wfr : public ::testing::Test {
protected:
    void SetUp() override {
        MP_init_globals();
        MP_WifiRemote_defaults();
        write_file(WFR_CFG_PATH, "// no properties\n");
        MP_read_cfg_file(1);
        MP_Global_Debug = 3;
        MP_open_log();
        ASSERT_EQ(0, vp_net_start());
        listener_.reset(new LoopbackListener());
        ASSERT_NE(VP_INVALID_SOCKET, listener_->socket());
        client_ = vp_tcp_socket();
        ASSERT_EQ(0, vp_connect(client_, vp_inet_addr("127.0.0.1"), listener_->port()));
        ASSERT_EQ(1, vp_wait_readable(listener_->socket(), 5000));
        server_ = vp_accept(listener_->socket());
        ASSERT_NE(VP_INVALID_SOCKET, server_);
        MP_Global_Socket = client_;
        MP_Global_Connected = 1;
    }
    void TearDown() override {
        MP_Global_Connected = 0;
        MP_Global_Socket = VP_INVALID_SOCKET;
        if (server_ != VP_INVALID_SOCKET) vp_close_socket(server_);
        if (client_ != VP_INVALID_SOCKET) vp_close_socket(client_);
        MP_log_reset();
    }
    // Everything sent since the last call: a marker is sent behind it and read up to.
    std::string sent() {
        MP_Send("<mark>");
        std::string got;
        char chunk[8192];
        while (got.find("<mark>") == std::string::npos && vp_wait_readable(server_, 5000) == 1) {
            int n = vp_recv(server_, chunk, sizeof chunk);
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        EXPECT_NE(std::string::npos, got.find("<mark>"));
        return got.substr(0, got.find("<mark>"));
    }
    int log_count(const std::string& part) {
        int n = 0;
        for (const std::string& line : read_lines(MP_Global_LogPath))
            if (line.find(part) != std::string::npos) n++;
        return n;
    }
    // Decodes a block; what it came to, and why when it gives the connection up.
    void decode(const std::string& block) {
        char why[256] = "";
        outcome_ = MP_WifiRemote_Decode(kTag, block.c_str(), why, sizeof why);
        why_ = why;
    }
    int outcome_ = WFR_GO_ON;
    std::string why_;
    std::string text_of(const char* name) { return MP_gtag(name); }

    ScratchDir dir_;
    std::unique_ptr<LoopbackListener> listener_;
    vp_socket client_ = VP_INVALID_SOCKET;
    vp_socket server_ = VP_INVALID_SOCKET;
};
