// test_e2e.cpp - the real Vistrel_MPExtended: start-up order in its log, its block and first tags.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mp_tags.h"
#include "mpx_harness.h"
#include "scratch.h"
#include "vp.h"

namespace {

TEST(MpxEndToEnd, StartsInOrderAndPublishesItsFourTagsWhileTheServerIsAway) {
    ScratchDir dir;
    ASSERT_EQ(0, vp_net_start());
    // A port that was just free and is closed again: every connect is refused.
    int port = 0;
    vp_socket probe = vp_listen_loopback(0, &port);
    ASSERT_NE(VP_INVALID_SOCKET, probe);
    vp_close_socket(probe);
    write_file(VP_PLUGINS "MP.cfg", "// end-to-end run\nDebug=3\nMPExtended_IPAddress=127.0.0.1\n"
                                    "MPExtended_Port=" + std::to_string(port) + "\n");

    Bridge bridge;
    vp_shm_unlink(mpx_block());
    bridge.pid = vp_spawn_detached(VISTREL_VISTREL_MPEXTENDED, "Vistrel_MPExtended");
    ASSERT_GT(bridge.pid, 0);

    Block block;
    ASSERT_TRUE(block.mapped());
    // Before its first publication the block reads "Invalid " (or nothing yet); once the
    // bridge tries to connect it reads "Numtags" with the four summary tags.
    const std::string refused = "Connect Failed: Error at connect(): 10061";
    MP_TagEntry h{};
    bool published = wait_until(
        [&] {
            h = block.header();
            std::string state = state_of(h);
            EXPECT_TRUE(state == std::string(8, '\0') || state == "Invalid " ||
                        state == std::string("Numtags\0", 8))
                << "unexpected state word";
            return state == std::string("Numtags\0", 8) && h.len == 4;
        },
        30000);
    ASSERT_TRUE(published) << "state " << state_of(h) << " count " << h.len;
    std::string status = status_of(h);
    EXPECT_TRUE(status == "Connecting....." || status == refused) << status;

    std::vector<MP_TagEntry> tags = block.tags(4);
    const char* names[4] = {"IsRecording", "NRecordings", "Recordings", "IRecordings"};
    const char* texts[4] = {"false", "None", "None", "0"};
    const int types[4] = {MP_TYPE_TEXT, MP_TYPE_TEXT, MP_TYPE_TEXT, MP_TYPE_INT};
    const int ivals[4] = {1, 0, 0, 0};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(names[i], tags[i + 1].name);
        EXPECT_STREQ(texts[i], tags[i + 1].string);
        EXPECT_EQ(types[i], tags[i + 1].type) << names[i];
        EXPECT_EQ(ivals[i], tags[i + 1].ival) << names[i];
        EXPECT_EQ(static_cast<int>(strlen(names[i])), tags[i + 1].len);
    }

    // The refused connect shows as the status line within one attempt.
    EXPECT_TRUE(wait_until([&] { return status_of(block.header()) == refused; }, 10000))
        << status_of(block.header());

    // At debug level 3 the log shows the start-up in its order: settings, the closing lines,
    // the block, the first connection attempt.
    const std::string log = VP_PLUGINS "Vistrel_MPExtended.log";
    const std::string connecting = "Connecting......  at 127.0.0.1/" + std::to_string(port);
    ASSERT_TRUE(wait_until([&] { return line_index(read_lines(log), connecting) >= 0; }, 10000));
    std::vector<std::string> lines = read_lines(log);
    const std::string rule(64, '=');
    int settings = line_index(lines, "MP_read_cfg_file: MP_Global_Port[0]=" + std::to_string(port));
    int finished = line_index(lines, "MP_read_cfg_file: Finished");
    int init = line_index(lines, " VistrelInit Complete");
    int ruled = line_index(lines, " " + rule + " " + rule);
    int start = line_index(lines, " CommsStart entry 0 address 0x");
    int attempt = line_index(lines, connecting);
    EXPECT_GE(settings, 0);
    EXPECT_LT(settings, finished);
    EXPECT_LT(finished, init);
    EXPECT_EQ(init + 1, ruled);
    EXPECT_LT(ruled, start);
    EXPECT_LT(start, attempt);
    // A refused connect is no error of the bridge.
    EXPECT_EQ(-1, line_index(lines, "**Error**"));
}

}  // namespace
