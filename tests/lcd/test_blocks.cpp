// test_blocks.cpp - the blocks read through the readers' header: live, stale or missing, their encoding, a torn copy.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lcd.h"
#include "scratch.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

TEST(BlockAge, LiveOnlyWithinItsLimitOfTheClock) {
    struct Case {
        int64_t now;
        uint32_t published;
        int limit;
        LcdBlockState state;
    } cases[] = {
        {1796722548, 1796722548, 60, LCD_BLOCK_LIVE},
        {1796722548, 1796722548 - 60, 60, LCD_BLOCK_LIVE},
        {1796722548, 1796722548 - 61, 60, LCD_BLOCK_STALE},
        {1796722548, 1796722548 - 31, 30, LCD_BLOCK_STALE},
        {1796722548, 1796722548 + 10, 30, LCD_BLOCK_LIVE},
        {1796722548, 1796722548 + 31, 30, LCD_BLOCK_STALE},
        {1796722548, 0, 60, LCD_BLOCK_STALE},  // never published
        // After January 2038 the 32-bit time reads as unsigned.
        {(1LL << 31) + 100, static_cast<uint32_t>((1LL << 31) + 95), 30, LCD_BLOCK_LIVE},
    };
    for (const Case& c : cases) {
        vr_record header{};
        header.time = static_cast<int32_t>(c.published);
        EXPECT_EQ(c.state, lcd_block_age_state(header, c.now, c.limit)) << c.published << " at " << c.now;
    }
}

// A block of the test's own under a name of its own, written as a bridge publishes.
class BlockRead : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = unique_block_name("VistrelLcd");
        snprintf(block_.name, sizeof block_.name, "%s", name_.c_str());
        block_.stale_after = 30;
        block_.table = fresh_table();
    }
    void TearDown() override {
        if (view_) vp_shm_unmap(view_, VR_BLOCK_SIZE);
        if (handle_ != VP_NO_SHM) vp_shm_close(handle_);
        vp_shm_unlink(name_.c_str());
    }
    vr_record* make() {
        if (vp_shm_open(name_.c_str(), VR_BLOCK_SIZE, &handle_) != 0 || vp_shm_map(handle_, VR_BLOCK_SIZE, 1, &view_) != 0)
            return nullptr;
        return static_cast<vr_record*>(view_);
    }
    void publish(vr_record* r, int64_t when, const char* title) {
        memcpy(r[0].name, "Numtags", 8);
        r[0].len = 2;
        r[0].time = static_cast<int32_t>(when);
        snprintf(r[1].name, sizeof r[1].name, "IsPlaying");
        snprintf(r[1].string, sizeof r[1].string, "true");
        r[1].type = VR_TYPE_TEXT;
        snprintf(r[2].name, sizeof r[2].name, "Title");
        snprintf(r[2].string, sizeof r[2].string, "%s", title);
        r[2].type = VR_TYPE_TEXT;
    }
    std::string title() {
        LcdValue v;
        if (!lcd_block_value(block_, "Title", &v)) return "<none>";
        return std::string(v.text, v.len);
    }

    ScratchDir dir_;
    std::string name_;
    vp_shm handle_ = VP_NO_SHM;
    void* view_ = nullptr;
    // The reader swaps a block's table with its spare as copies hold, so a table handed to it may
    // serve as the spare of a later test in the same process: each test's table lives as long as
    // the process does, a fresh one for every test.
    static vr_record* fresh_table() {
        static std::vector<std::vector<vr_record>> tables;
        tables.emplace_back(VR_TABLE_RECORDS);
        return tables.back().data();
    }
    LcdBlock block_;
};

TEST_F(BlockRead, LiveStaleOrMissingAndNoOldDataWhenNotLive) {
    const int64_t now = 1796722548;
    lcd_block_read(&block_, now);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state) << "no block of that name";
    vr_record* r = make();
    ASSERT_NE(nullptr, r);
    lcd_block_read(&block_, now);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state) << "made, never published";
    memcpy(r[0].name, "Invalid ", 8);
    lcd_block_read(&block_, now);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state) << "opened by its bridge, nothing published";

    publish(r, now - 5, "Evening News");
    lcd_block_read(&block_, now);
    EXPECT_EQ(LCD_BLOCK_LIVE, block_.state);
    EXPECT_EQ(2, block_.count);
    EXPECT_EQ("Evening News", title());
    EXPECT_EQ(VR_TEXT_RAW, block_.encoding) << "a block without a marker holds raw texts";

    // The bridge has stopped: the same table, half a minute later, is stale and shows nothing.
    lcd_block_read(&block_, now + 40);
    EXPECT_EQ(LCD_BLOCK_STALE, block_.state);
    EXPECT_EQ("<none>", title());
    // It starts again and publishes: live once more.
    publish(r, now + 41, "Weather");
    lcd_block_read(&block_, now + 42);
    EXPECT_EQ(LCD_BLOCK_LIVE, block_.state);
    EXPECT_EQ("Weather", title());
}

TEST_F(BlockRead, EncodingFromTheMarkerAtTheBlocksEnd) {
    vr_record* r = make();
    ASSERT_NE(nullptr, r);
    publish(r, 1796722548, "Caf\xe9");
    char* marker = static_cast<char*>(view_) + VR_ENCODING_OFFSET;
    snprintf(marker, VR_ENCODING_SIZE, "%s%s", VR_ENCODING_MARK, "Windows-1252");
    lcd_block_read(&block_, 1796722548);
    ASSERT_EQ(LCD_BLOCK_LIVE, block_.state);
    EXPECT_EQ(VR_TEXT_WINDOWS_1252, block_.encoding);
    LcdValue v;
    ASSERT_TRUE(lcd_block_value(block_, "Title", &v));
    EXPECT_EQ(VR_TEXT_WINDOWS_1252, v.encoding);
    snprintf(marker, VR_ENCODING_SIZE, "%s%s", VR_ENCODING_MARK, "UTF-8");
    lcd_block_read(&block_, 1796722548);
    EXPECT_EQ(VR_TEXT_UTF8, block_.encoding);
}

#ifndef _WIN32
// (On Windows the reader cannot map a smaller mapping and says so with the system's error.)
TEST_F(BlockRead, ObjectThatIsNoBlockOfOursIsRefusedWithOneErrorLine) {
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "lcd_test.log");
    MP_open_log();
    // Smaller than a block: what another program of the user made, or a block cut down.
    ASSERT_EQ(0, vp_shm_open(name_.c_str(), 4096, &handle_));
    auto errors = [] {
        std::vector<std::string> lines;
        for (const std::string& l : read_lines(VP_PLUGINS "lcd_test.log"))
            if (l.find("**Error**") != std::string::npos) lines.push_back(l);
        return lines;
    };
    for (int i = 0; i < 3; i++) lcd_block_read(&block_, 1796722548);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state);
    std::vector<std::string> e = errors();
    ASSERT_EQ(1u, e.size()) << "told once, not at every second";
    EXPECT_NE(std::string::npos, e[0].find("Not reading the block " + name_ + ": it is smaller than a block")) << e[0];
    // A whole block that other users may open: they could write what the screens show.
    vp_shm_close(handle_);
    vp_shm_unlink(name_.c_str());
    ASSERT_NE(nullptr, make());
    ASSERT_EQ(0, fchmod(static_cast<int>(handle_), 0644));
    for (int i = 0; i < 3; i++) lcd_block_read(&block_, 1796722548);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state);
    e = errors();
    ASSERT_LT(1u, e.size());
    EXPECT_NE(std::string::npos, e.back().find("Not reading the block " + name_ + ": other users may open it")) << e.back();
    MP_log_reset();
}
#endif

TEST_F(BlockRead, CountBeyondTheTableGivesNoData) {
    vr_record* r = make();
    ASSERT_NE(nullptr, r);
    publish(r, 1796722548, "x");
    lcd_block_read(&block_, 1796722548);
    ASSERT_EQ(LCD_BLOCK_LIVE, block_.state);
    r[0].len = VR_MAX_TAGS + 1;
    lcd_block_read(&block_, 1796722548);
    EXPECT_EQ(LCD_BLOCK_MISSING, block_.state);
    EXPECT_EQ("<none>", title());
}

}  // namespace
