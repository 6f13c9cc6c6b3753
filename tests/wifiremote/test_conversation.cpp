// test_conversation.cpp - the WifiRemote bridge's receive loop with a plug-in that has gone quiet.
#include <atomic>
#include <string>
#include <thread>

#include "wfr_fixture.h"

namespace {

// A plug-in that sends nothing is still asked for its status while the bridge waits, and once
// it has been silent for the limit the connection is given up like a failed receive. A guard
// closes the far end after ten seconds so that a loop that waits for good still ends the test.
TEST_F(Wfr, QuietPlugInIsStillAskedAndASilentOneIsGivenUp) {
    MP_Global_wAuthenticated = 1;
    MP_Global_wPollStarted = 1;
    MP_Global_wPollMark = vp_process_seconds() - (WFR_POLL_SECONDS - 0.5);
    MP_Global_Limits.silence_ms = 2500;
    std::atomic<bool> returned{false};
    std::thread guard([&] {
        for (int i = 0; i < 100 && !returned; i++) vp_sleep_ms(100);
        if (!returned) vp_close_socket(server_);
    });
    MP_Process_incoming(kTag);
    returned = true;
    guard.join();
    MP_Global_Limits.silence_ms = WFR_SILENCE_LIMIT_MS;

    EXPECT_EQ(log_count("**Error**TCP[Wifi]: No message from WifiRemote for 2500 ms; the connection is given up"), 1);
    EXPECT_EQ(std::string(MP_Tags[0].string), "MP_recv Failed: Error at socket(): 10060");
    EXPECT_EQ(MP_Global_Connected, 0);
    MP_Global_Connected = 1;
    std::string asked = sent();
    EXPECT_EQ(asked, std::string(WFR_REQUEST_STATUS) + WFR_REQUEST_NOWPLAYING);
}

}  // namespace
