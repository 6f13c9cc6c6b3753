// test_conversation.cpp - the WifiRemote bridge's receive loop with a plug-in that has gone quiet.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "test_channel.h"
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

// A welcome whose identify would be too long to send, with a status message behind it in the
// same block: the conversation publishes the table once, with the status that names the setting,
// and ends; nothing is sent, and nothing behind the welcome is stored.
TEST_F(Wfr, WelcomeThatCannotBeAnsweredIsPublishedOnceAndEndsTheConversation) {
    TestChannel channel("Vistrel_wfronce");
    ASSERT_NE(channel.shown(), nullptr);
    memset(MP_Global_wUserName, '\x02', sizeof MP_Global_wUserName - 1);
    MP_Global_wUserName[sizeof MP_Global_wUserName - 1] = '\0';
    memset(MP_Global_wPassword, '\x01', sizeof MP_Global_wPassword - 1);
    MP_Global_wPassword[sizeof MP_Global_wPassword - 1] = '\0';
    const std::string welcome = "{\"Type\":\"welcome\",\"AuthMethod\":1}\r\n{\"Type\":\"status\",\"Title\":\"After\"}\r\n";
    ASSERT_EQ(static_cast<int>(welcome.size()), vp_send(server_, welcome.data(), static_cast<int>(welcome.size())));
    int published = log_count("CommsSend entry 0");
    MP_Process_incoming(kTag);

    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(log_count("CommsSend entry 0"), published + 1) << "published other than once";
    EXPECT_STREQ(channel.shown()[0].string, "Identify not sent: WifiRemote_UserName too long");
    EXPECT_EQ(MP_get_tag("Title", nullptr, nullptr, nullptr), 0);
    MP_Global_Connected = 1;
    EXPECT_EQ(sent(), "");
}

}  // namespace
