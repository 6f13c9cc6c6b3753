// test_shm.cpp - named blocks: zeros when new, shared between opens and between processes,
// private to their maker, and objects of a block's name that are not this user's refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "other_user.h"
#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
constexpr size_t kBlock = 1048576;

// Opens and maps a block, failing the test when either step fails.
struct Block {
    vp_shm handle = VP_NO_SHM;
    char* view = nullptr;

    explicit Block(const std::string& name, int full_access = 1) {
        EXPECT_EQ(vp_shm_open(name.c_str(), kBlock, &handle), 0);
        void* v = nullptr;
        EXPECT_EQ(vp_shm_map(handle, kBlock, full_access, &v), 0);
        view = static_cast<char*>(v);
    }
    ~Block() {
        vp_shm_unmap(view, kBlock);
        vp_shm_close(handle);
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
};

bool all_zero(const char* p, size_t n) {
    return std::all_of(p, p + n, [](char c) { return c == 0; });
}

// Runs the child program with one command and returns its exit code.
int child(const std::string& command) { return vp_spawn_wait(VISTREL_VISTREL_CHILD, command.c_str()); }

class Shm : public ::testing::Test {
protected:
    void TearDown() override { vp_shm_unlink(name.c_str()); }
    std::string name = unique_block_name(
        ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(Shm, NewBlockReadsZerosAndEveryOpenSharesIt) {
    Block first(name);
    ASSERT_NE(first.view, nullptr);
    EXPECT_TRUE(all_zero(first.view, kBlock));

    // A second open of the name, mapped with write access only, sees the same bytes both ways.
    Block second(name, 0);
    ASSERT_NE(second.view, nullptr);
    EXPECT_NE(first.view, second.view);
    strcpy(first.view, "Invalid ");
    first.view[kBlock - 1] = 'z';
    EXPECT_STREQ(second.view, "Invalid ");
    EXPECT_EQ(second.view[kBlock - 1], 'z');
    memcpy(second.view, "Numtags", 8);
    EXPECT_STREQ(first.view, "Numtags");
}

TEST_F(Shm, UnlinkedBlockStartsAfreshAtTheNextOpen) {
    {
        Block b(name);
        ASSERT_NE(b.view, nullptr);
        strcpy(b.view, "left over");
    }
    vp_shm_unlink(name.c_str());
    Block again(name);
    ASSERT_NE(again.view, nullptr);
    EXPECT_TRUE(all_zero(again.view, 64));
}

TEST_F(Shm, MapWithoutHandleFails) {
    void* v = &v;
    EXPECT_NE(vp_shm_map(VP_NO_SHM, kBlock, 1, &v), 0);
    EXPECT_EQ(v, nullptr);
}

TEST_F(Shm, BlockWrittenHereIsReadByAnotherProcess) {
    ScratchDir dir;
    Block b(name);
    ASSERT_NE(b.view, nullptr);
    // A zero inside the text and a byte at the far end: the reader copies raw bytes.
    memcpy(b.view, "Numtags\0\x05", 9);
    b.view[kBlock - 1] = 'e';

    ASSERT_EQ(child("read-block " + name + " head.bin 9"), 0);
    EXPECT_EQ(read_file("head.bin"), std::string("Numtags\0\x05", 9));
    ASSERT_EQ(child("read-block " + name + " all.bin"), 0);
    std::string all = read_file("all.bin");
    ASSERT_EQ(all.size(), kBlock);
    EXPECT_EQ(all.back(), 'e');
}

TEST_F(Shm, BlockWrittenByAnotherProcessIsSeenHere) {
    ScratchDir dir;
    // The block is held open here: on Windows it lives only while some process holds it.
    Block b(name);
    ASSERT_NE(b.view, nullptr);
    ASSERT_EQ(child("write-block " + name + " Connecting....."), 0);
    EXPECT_STREQ(b.view, "Connecting.....");
}

TEST_F(Shm, AnotherProcessReadsZerosFromANewBlock) {
    ScratchDir dir;
    ASSERT_EQ(child("read-block " + name + " new.bin 256"), 0);
    EXPECT_EQ(read_file("new.bin"), std::string(256, '\0'));
}

TEST_F(Shm, ANewBlockAdmitsOnlyItsMaker) {
    Block b(name);
    ASSERT_NE(b.view, nullptr);
    EXPECT_EQ(0, vp_shm_others_access(b.handle));
    // A second open of the block it left is no refusal.
    vp_shm again;
    EXPECT_EQ(0, vp_shm_open(name.c_str(), kBlock, &again));
    vp_shm_close(again);
}

#ifndef _WIN32
std::string refusal_text(int code) {
    char text[256];
    vp_open_error_text(code, text, sizeof text);
    return text;
}

// The directory of shared-memory objects is writable by every user: whatever stands at a
// block's name may have been put there by someone else. This user's own private block of the
// full size is used (an earlier run's, or one that another program of the user is making this
// moment, still empty); anything else is refused and left as it was.
TEST_F(Shm, ObjectsThatAreNotThisUsersPrivateBlockAreRefused) {
    struct Case {
        const char* what;
        unsigned mode;
        long long size;
        int expected;
        const char* found;  // in the refusal's text
    };
    const Case cases[] = {
        {"open to everyone", 0666, kBlock, VP_SHARED, "other users may open it (mode 0666)"},
        {"readable by the group", 0640, kBlock, VP_SHARED, "other users may open it (mode 0640)"},
        {"smaller than a block", 0600, 4096, VP_SHORT, "it is smaller than a block (4096 bytes)"},
        {"left by an earlier run", 0600, kBlock, 0, ""},
        {"being made, not yet sized", 0600, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vp_shm_unlink(name.c_str());
        ASSERT_TRUE(make_raw_block(name, c.mode, c.size, c.size ? "left" : ""));
        vp_shm h = VP_NO_SHM;
        int rc = vp_shm_open(name.c_str(), kBlock, &h);
        EXPECT_EQ(c.expected, rc);
        unsigned mode = 0, uid = 0;
        long long size = 0;
        ASSERT_TRUE(raw_block_stat(name, &mode, &uid, &size));
        EXPECT_EQ(c.mode, mode) << "the object's rights are not changed";
        if (rc != 0) {
            EXPECT_EQ(VP_NO_SHM, h);
            EXPECT_EQ(c.found, refusal_text(rc));
            EXPECT_EQ(c.size, size);
            continue;
        }
        EXPECT_EQ(static_cast<long long>(kBlock), size);
        if (c.size) {
            EXPECT_EQ("left", raw_block_bytes(name, 4));
        }
        vp_shm_close(h);
    }

    // A FIFO, a second name of a block and a link in the place of a block.
    std::string other = name + "_other";
    vp_shm_unlink(name.c_str());
    vp_shm_unlink(other.c_str());
    ASSERT_EQ(0, mkfifo(("/dev/shm/" + name).c_str(), 0600));
    vp_shm h = VP_NO_SHM;
    EXPECT_EQ(VP_NOT_PLAIN, vp_shm_open(name.c_str(), kBlock, &h)) << "and no wait on the FIFO";
    vp_shm_unlink(name.c_str());
    ASSERT_TRUE(make_raw_block(other, 0600, kBlock, "other"));
    ASSERT_EQ(0, link(("/dev/shm/" + other).c_str(), ("/dev/shm/" + name).c_str()));
    EXPECT_EQ(VP_MANY_NAMES, vp_shm_open(name.c_str(), kBlock, &h));
    vp_shm_unlink(name.c_str());
    ASSERT_EQ(0, symlink(("/dev/shm/" + other).c_str(), ("/dev/shm/" + name).c_str()));
    EXPECT_EQ(VP_LINK, vp_shm_open(name.c_str(), kBlock, &h));
    EXPECT_EQ("other", raw_block_bytes(other, 5)) << "nothing was written through either name";
    vp_shm_unlink(name.c_str());
    vp_shm_unlink(other.c_str());
}

TEST_F(Shm, ABlockMadeFirstByAnotherUserIsRefused) {
    if (!can_act_as_other_user()) GTEST_SKIP() << "acting as another user needs root";
    for (unsigned mode : {0666u, 0600u}) {
        SCOPED_TRACE(mode);
        vp_shm_unlink(name.c_str());
        ASSERT_TRUE(as_other_user([&] { return make_raw_block(name, mode, kBlock, "theirs"); }));
        vp_shm h = VP_NO_SHM;
        int rc = vp_shm_open(name.c_str(), kBlock, &h);
        EXPECT_EQ(VP_FOREIGN, rc);
        EXPECT_EQ(VP_NO_SHM, h);
        char expected[96];
        snprintf(expected, sizeof expected, "it belongs to another user (owner uid %u, mode %04o)",
                 kOtherUid, mode);
        EXPECT_EQ(expected, refusal_text(rc));
        EXPECT_EQ("theirs", raw_block_bytes(name, 6));
    }
}

// A block of this user cut down while it is open: a copy through the view would fault.
TEST_F(Shm, ReadingABlockCutDownGivesAShortCountInsteadOfAFault) {
    Block b(name);
    ASSERT_NE(b.view, nullptr);
    memcpy(b.view, "Numtags", 8);
    std::string out(kBlock, 'x');
    EXPECT_EQ(kBlock, vp_shm_read(b.handle, b.view, 0, out.data(), kBlock));
    EXPECT_EQ(std::string("Numtags\0", 8), out.substr(0, 8));
    ASSERT_TRUE(raw_block_resize(name, 4096));
    EXPECT_EQ(4096u, vp_shm_read(b.handle, b.view, 0, out.data(), kBlock));
    EXPECT_EQ(0u, vp_shm_read(b.handle, b.view, 8192, out.data(), 340));
    EXPECT_EQ(96u, vp_shm_read(b.handle, b.view, 4000, out.data(), 340));
}
#endif
}  // namespace
