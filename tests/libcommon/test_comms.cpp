// test_comms.cpp - publication channels: state words, the published table, failed and idle channels.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_tags.h"
#include "other_user.h"
#include "scratch.h"
#include "vp.h"

namespace {

// A reader's own mapping of a block, as the monitor or the display plug-in would hold it.
class Reader {
public:
    Reader(const std::string& name, size_t size) : size_(size) {
        if (vp_shm_open(name.c_str(), size, &handle_) == 0)
            vp_shm_map(handle_, size, 0, reinterpret_cast<void**>(&view_));
    }
    ~Reader() {
        vp_shm_unmap(view_, size_);
        vp_shm_close(handle_);
    }
    const unsigned char* bytes() const { return view_; }
    std::string state() const { return std::string(reinterpret_cast<const char*>(view_), 8); }
    MP_TagEntry entry(int k) const {
        MP_TagEntry e;
        memcpy(&e, view_ + k * sizeof(MP_TagEntry), sizeof e);
        return e;
    }

private:
    size_t size_;
    vp_shm handle_ = VP_NO_SHM;
    unsigned char* view_ = nullptr;
};

// Each test gets its own block name and a log at debug level 3 in a scratch directory. A
// channel starts only once per process, so every test uses a channel of its own.
class Comms : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = unique_block_name("VistrelComms") + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        vp_shm_unlink(name_.c_str());
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "comms.log");
        MP_Global_Debug = 3;
        MP_open_log();
        MP_Numtags = 0;
        MP_Clear_tags();
    }
    void TearDown() override {
        MP_close_log();
        MP_Global_Debug = 0;
        vp_shm_unlink(name_.c_str());
    }
    std::vector<std::string> log_lines(const std::string& part) const {
        std::vector<std::string> found;
        for (const std::string& line : read_lines(VP_PLUGINS "comms.log"))
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    ScratchDir dir_;
    std::string name_;
};

TEST_F(Comms, StartWritesInvalidBlankAndLogsTheFullViewAddress) {
    CommsStart(1, 1, name_.c_str(), MP_BLOCK_SIZE);
    Reader block(name_, MP_BLOCK_SIZE);
    ASSERT_NE(nullptr, block.bytes());
    EXPECT_EQ(std::string("Invalid ", 8), block.state());

    ASSERT_NE(nullptr, CommsView(1));
    char expected[64];
    snprintf(expected, sizeof expected, "CommsStart entry 1 address 0x%08" PRIxPTR,
             reinterpret_cast<uintptr_t>(CommsView(1)));
    std::vector<std::string> lines = log_lines(" CommsStart ");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(expected, lines[0].substr(13));
    EXPECT_EQ(1u, log_lines("CommsSend entry 1 address 0x").size());
}

TEST_F(Comms, PublicationCarriesStateCountStatusTimeAndTags) {
    CommsStart(2, 1, name_.c_str(), MP_BLOCK_SIZE);
    Reader block(name_, MP_BLOCK_SIZE);
    ASSERT_NE(nullptr, block.bytes());

    time_t before;
    unsigned short ms;
    vp_time_now(&before, &ms);
    CommsPacket(2, "Connecting.....");
    EXPECT_EQ(std::string("Invalid\0", 8), block.state());
    EXPECT_STREQ("Connecting.....", block.entry(0).string);
    EXPECT_GE(block.entry(0).time, static_cast<int32_t>(before));

    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
    CommsPacket(2, "OK");
    EXPECT_EQ(std::string("Numtags\0", 8), block.state());
    int32_t count;
    memcpy(&count, block.bytes() + 64, 4);
    EXPECT_EQ(2, count);
    EXPECT_STREQ("OK", block.entry(0).string);
    // The shorter status left no trace of the longer one behind its zero.
    EXPECT_EQ(0, block.entry(0).string[5]);
    EXPECT_EQ(0, memcmp(&MP_Tags[1], block.bytes() + 340, 2 * 340));
    EXPECT_STREQ("IRecordings", block.entry(2).name);
}

TEST_F(Comms, StatusLineIsCutAt256Characters) {
    CommsStart(3, 1, name_.c_str(), MP_BLOCK_SIZE);
    Reader block(name_, MP_BLOCK_SIZE);
    std::string status = std::string(256, 's') + std::string(44, 't');
    CommsPacket(3, status.c_str());
    MP_TagEntry h = block.entry(0);
    EXPECT_EQ(std::string(256, 's'), std::string(h.string, strnlen(h.string, sizeof h.string)));
    EXPECT_EQ(0, h.string[256]);
}

TEST_F(Comms, StopLeavesShutdownAndTheChannelStaysQuietAfterwards) {
    CommsStart(4, 1, name_.c_str(), MP_BLOCK_SIZE);
    Reader block(name_, MP_BLOCK_SIZE);
    CommsPacket(4, "OK");
    CommsStop(4);
    EXPECT_EQ("Shutdown", block.state());
    EXPECT_EQ(nullptr, CommsView(4));
    // A stopped channel cannot be started again and writes nothing more.
    CommsStart(4, 1, name_.c_str(), MP_BLOCK_SIZE);
    CommsPacket(4, "again");
    CommsPacket(4, "and again");
    EXPECT_EQ("Shutdown", block.state());
    EXPECT_EQ(1u, log_lines("**Error**CommsSend Channel 4 has no view").size());
}

TEST_F(Comms, SecondStartAndOutOfRangeChannelsAreIgnored) {
    std::string other = name_ + "_other";
    std::string far = name_ + "_far";
    vp_shm_unlink(other.c_str());
    vp_shm_unlink(far.c_str());
    CommsStart(5, 1, name_.c_str(), MP_BLOCK_SIZE);
    const void* view = CommsView(5);
    CommsStart(5, 1, other.c_str(), MP_BLOCK_SIZE);
    CommsStart(10, 1, far.c_str(), MP_BLOCK_SIZE);
    CommsStart(-1, 1, far.c_str(), MP_BLOCK_SIZE);
    EXPECT_EQ(view, CommsView(5));
    EXPECT_EQ(nullptr, CommsView(10));
    {
        // Our readers create these blocks: nothing was written into them.
        Reader second(other, MP_BLOCK_SIZE);
        Reader outside(far, MP_BLOCK_SIZE);
        EXPECT_EQ(std::string(8, '\0'), second.state());
        EXPECT_EQ(std::string(8, '\0'), outside.state());
    }
    CommsSend(10, "Numtags", 8);
    CommsPacket(10, "OK");
    EXPECT_EQ(1u, log_lines(" CommsStart ").size());
    vp_shm_unlink(other.c_str());
    vp_shm_unlink(far.c_str());
}

TEST_F(Comms, FailedStartLeavesAChannelWithoutViewThatIsNotRetried) {
    // No system accepts a mapping name with path separators in the middle.
    std::string bad = "vistrel_no/such\\dir/" + name_;
    CommsStart(6, 1, bad.c_str(), MP_BLOCK_SIZE);
    EXPECT_EQ(nullptr, CommsView(6));
    EXPECT_EQ(1u, log_lines("**Error**CommsStart Could not open file mapping object 6 error:").size());
    CommsStart(6, 1, name_.c_str(), MP_BLOCK_SIZE);
    EXPECT_EQ(nullptr, CommsView(6));
    CommsPacket(6, "OK");
    char buffer[16] = "untouched";
    CommsRecv(6, buffer, sizeof buffer);
    EXPECT_STREQ("untouched", buffer);
    CommsStop(6);
}

TEST_F(Comms, ChannelThatNeverStartedTouchesNothing) {
    char buffer[16] = "untouched";
    CommsSend(7, "Numtags", 8);
    CommsRecv(7, buffer, sizeof buffer);
    CommsStop(7);
    CommsPacket(7, "OK");
    EXPECT_STREQ("untouched", buffer);
    // Reported once, by the first use, so that a publication loop does not fill the log.
    EXPECT_EQ(1u, log_lines("**Error**CommsSend Channel 7 has no view").size());
    EXPECT_EQ(1u, log_lines("Channel 7 has no view").size());
    CommsStart(7, 1, nullptr, MP_BLOCK_SIZE);
    EXPECT_EQ(nullptr, CommsView(7));
}

TEST_F(Comms, WriteAccessStartLeavesTheStateWordToTheFirstPublication) {
    CommsStart(8, 0, name_.c_str(), MP_BLOCK_SIZE);
    Reader block(name_, MP_BLOCK_SIZE);
    EXPECT_EQ(std::string(8, '\0'), block.state());
    CommsPacket(8, "OK");
    EXPECT_EQ(std::string("Invalid\0", 8), block.state());
}

TEST_F(Comms, CopiesStayInsideASmallBlock) {
    const int size = 4096;
    CommsStart(9, 1, name_.c_str(), size);
    ASSERT_NE(nullptr, CommsView(9));
    std::vector<char> big(5000, 'b');
    CommsSend(9, big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(1u, log_lines("**Error**CommsSend entry 9 len 5000 cut to the block size 4096").size());
    std::vector<char> back(5000, 'x');
    CommsRecv(9, back.data(), static_cast<int>(back.size()));
    EXPECT_EQ(std::string(size, 'b'), std::string(back.data(), size));
    EXPECT_EQ('x', back[size]);
    CommsSend(9, big.data(), -1);
    CommsRecv(9, back.data(), -5);
    EXPECT_EQ(1u, log_lines("**Error**CommsSend entry 9 bad length -1").size());
}

#ifndef _WIN32
// An object of the bridge's block name that another user made first (as root here), or else
// one that others may open: the bridge publishes nothing into it and says which object it is
// and what is wrong with it. It runs on without a block.
TEST_F(Comms, AnObjectOthersMayHaveMadeOrWrittenIsNotPublishedInto) {
    const bool other_user = can_act_as_other_user();
    if (other_user)
        ASSERT_TRUE(as_other_user([&] { return make_raw_block(name_, 0666, MP_BLOCK_SIZE, "theirs"); }));
    else
        ASSERT_TRUE(make_raw_block(name_, 0666, MP_BLOCK_SIZE, "theirs"));
    CommsStart(0, 1, name_.c_str(), MP_BLOCK_SIZE);
    EXPECT_EQ(nullptr, CommsView(0));
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "true");
    CommsPacket(0, "OK");
    EXPECT_EQ("theirs", raw_block_bytes(name_, 6)) << "nothing was written into the object";

    std::string expected = "**Error**CommsStart Not using shared-memory object /dev/shm/" + name_ +
                           " for channel 0: " +
                           (other_user ? "it belongs to another user (owner uid 65534, mode 0666)"
                                       : "other users may open it (mode 0666)") +
                           "; nothing is published";
    std::vector<std::string> lines = log_lines("**Error**CommsStart");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(expected, lines[0].substr(13));
    EXPECT_EQ(1u, log_lines("**Error**CommsSend Channel 0 has no view").size());
}
#endif
}  // namespace
