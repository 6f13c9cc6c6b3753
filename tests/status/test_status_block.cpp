// test_status_block.cpp - the monitor's trust in the blocks it opens and its copies out of them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mp_tags.h"
#include "other_user.h"
#include "scratch.h"
#include "status.h"
#include "vp.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A block as a bridge publishes it: "Numtags", the count, a status line and count tags.
std::string published(int count, const char* status) {
    std::string block(static_cast<size_t>(count + 1) * sizeof(MP_TagEntry), '\0');
    MP_TagEntry* r = reinterpret_cast<MP_TagEntry*>(block.data());
    memcpy(r[0].name, "Numtags", 8);
    r[0].len = count;
    snprintf(r[0].string, sizeof r[0].string, "%s", status);
    for (int i = 1; i <= count; i++) snprintf(r[i].name, sizeof r[i].name, "Fake%d", i);
    return block;
}

// An object of the WifiRemote block's name that another user made first (as root here), or else
// one that others may open, with a table of its maker's own: the monitor shows none of it and
// says which object it does not read and why.
TEST(StatusBlock, AnObjectOthersMayHaveMadeOrWrittenIsNotShown) {
    std::string name = unique_block_name("VistrelStatusTrust");
    vp_shm_unlink(name.c_str());
    const bool other_user = can_act_as_other_user();
    std::string fake = published(2, "OK");
    if (other_user)
        ASSERT_TRUE(as_other_user([&] { return make_raw_block(name, 0666, MP_BLOCK_SIZE, fake); }));
    else
        ASSERT_TRUE(make_raw_block(name, 0666, MP_BLOCK_SIZE, fake));

    testing::internal::CaptureStdout();
    MP_status_open_block(0, name.c_str());
    std::string printed = testing::internal::GetCapturedStdout();
    MP_status_read_tables();
    EXPECT_EQ(0, MP_status_count1);
    EXPECT_EQ(std::string(8, '\0'), std::string(MP_status_header1.name, 8));
    EXPECT_STREQ("", MP_status_merged[1].name);

    std::string expected = "Not reading shared-memory object /dev/shm/" + name + ": " +
                           (other_user ? "it belongs to another user (owner uid 65534, mode 0666)"
                                       : "other users may open it (mode 0666)") +
                           ".";
    EXPECT_EQ(expected, MP_status_channel_problem(0));
    EXPECT_EQ(expected + "\n", printed);
    EXPECT_EQ(fake.substr(0, 8), raw_block_bytes(name, 8)) << "the object is left as it was";
    vp_shm_unlink(name.c_str());
}

// The monitor's own block of this user cut down after it was opened (only that user can): the
// copies read it as empty instead of ending the monitor with a fault, and once it has its size
// again the line that said it was cut goes.
TEST(StatusBlock, ABlockCutDownUnderTheMonitorReadsAsEmptyUntilItIsWholeAgain) {
    std::string name = unique_block_name("VistrelStatusCut");
    vp_shm_unlink(name.c_str());
    MP_status_open_block(1, name.c_str());
    ASSERT_STREQ("", MP_status_channel_problem(1));
    vp_shm h;
    void* view = nullptr;
    ASSERT_EQ(0, vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &h));
    ASSERT_EQ(0, vp_shm_map(h, MP_BLOCK_SIZE, 1, &view));
    std::string table = published(3, "OK");
    memcpy(view, table.data(), table.size());
    vp_shm_unmap(view, MP_BLOCK_SIZE);
    vp_shm_close(h);
    MP_status_read_tables();
    ASSERT_EQ(3, MP_status_count2);

    EXPECT_EXIT(
        {
            if (!raw_block_resize(name, 0)) _exit(10);
            MP_status_read_tables();
            if (MP_status_count2 != 0) _exit(11);
            if (std::string(MP_status_channel_problem(1)).find("cut down") == std::string::npos) _exit(12);
            if (!raw_block_resize(name, MP_BLOCK_SIZE)) _exit(13);
            MP_status_read_tables();
            if (MP_status_channel_problem(1)[0] != '\0') _exit(14);
            // A second cut is reported as the first was.
            if (!raw_block_resize(name, 0)) _exit(15);
            MP_status_read_tables();
            if (std::string(MP_status_channel_problem(1)).find("cut down") == std::string::npos) _exit(16);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    vp_shm_unlink(name.c_str());
}
#endif

}  // namespace
