// test_shm.cpp - named blocks: zeros when new, shared between opens and between processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "scratch.h"
#include "vp.h"

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
}  // namespace
