// test_reader.cpp - the readers' header: layout, state words, torn and out-of-range copies, texts, look-ups.
#include "vistrel_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp_tags.h"
#include "other_user.h"
#include "isolate.h"
#include "scratch.h"
#include "vp.h"

namespace {

// The readers' record is the bridges' record, field by field.
static_assert(sizeof(vr_record) == sizeof(MP_TagEntry));
static_assert(offsetof(vr_record, len) == offsetof(MP_TagEntry, len));
static_assert(offsetof(vr_record, type) == offsetof(MP_TagEntry, type));
static_assert(offsetof(vr_record, ival) == offsetof(MP_TagEntry, ival));
static_assert(offsetof(vr_record, time) == offsetof(MP_TagEntry, time));
static_assert(offsetof(vr_record, string) == offsetof(MP_TagEntry, string));
static_assert(VR_BLOCK_SIZE == MP_BLOCK_SIZE && VR_MAX_TAGS == MP_MAXTAGS);
static_assert(VR_TYPE_INT == MP_TYPE_INT && VR_TYPE_TEXT == MP_TYPE_TEXT && VR_TYPE_TIME == MP_TYPE_TIME);

// A block in plain memory, written the way a bridge publishes: header entry, then the tags.
class ReaderMemory : public ::testing::Test {
protected:
    ReaderMemory() : block_(VR_BLOCK_SIZE, 0) {}
    vr_record* records() { return reinterpret_cast<vr_record*>(block_.data()); }
    void state(const char (&word)[9]) { memcpy(records()[0].name, word, 8); }
    // "Numtags", the count, a time, a status line and count tags named T1, T2, ...
    void publish(int count, const char* status = "OK") {
        vr_record* r = records();
        state("Numtags\0");
        r[0].len = count;
        r[0].time = 1765000000;
        snprintf(r[0].string, sizeof r[0].string, "%s", status);
        for (int i = 1; i <= count && i <= VR_MAX_TAGS; i++) {
            snprintf(r[i].name, sizeof r[i].name, "T%d", i);
            r[i].len = static_cast<int32_t>(strlen(r[i].name));
            r[i].type = VR_TYPE_INT;
            r[i].ival = i * 10;
            snprintf(r[i].string, sizeof r[i].string, "%d", i * 10);
        }
    }
    int snapshot(int room = VR_TABLE_RECORDS, int tries = 3) {
        vr_block b{};
        b.view = block_.data();
        b.size = block_.size();
        return vr_snapshot(&b, table_.data(), room, tries);
    }

    std::vector<unsigned char> block_;
    // Room for more than any block may count, so that the count's own limit is what refuses.
    static constexpr int kRoom = 2 * VR_TABLE_RECORDS;
    std::vector<vr_record> table_ = std::vector<vr_record>(kRoom);
};

TEST_F(ReaderMemory, APublishedTableIsCopiedWhole) {
    publish(3, "Connect Failed: Error at connect(): 10061");
    ASSERT_EQ(3, snapshot());
    EXPECT_EQ(VR_STATE_TAGS, vr_state_of(&table_[0]));
    EXPECT_STREQ("Connect Failed: Error at connect(): 10061", table_[0].string);
    EXPECT_EQ(1765000000, table_[0].time);
    EXPECT_EQ(0, memcmp(table_.data(), block_.data(), 4 * VR_RECORD_SIZE));
    EXPECT_STREQ("T3", table_[3].name);
    EXPECT_EQ(30, table_[3].ival);

    // The full table of 2048 tags fits, and the smallest table that holds it is enough.
    publish(VR_MAX_TAGS);
    EXPECT_EQ(VR_MAX_TAGS, snapshot());
    EXPECT_EQ(VR_MAX_TAGS, snapshot(VR_MAX_TAGS + 1));
    EXPECT_STREQ("T2048", table_[VR_MAX_TAGS].name);
}

// A copy of a block as it stands, as the monitor and the viewer show it: the count is only
// clamped to the limit and the table, a block without "Numtags" leaves the table as it was, and
// what the block ends before reads as zeros.
TEST_F(ReaderMemory, ACopyAsItStandsClampsTheCountAndZerosWhatTheBlockLacks) {
    vr_block b{};
    b.view = block_.data();
    b.size = block_.size();
    vr_record header;
    publish(3);
    ASSERT_EQ(3, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_EQ(0, memcmp(&header, block_.data(), VR_RECORD_SIZE));
    EXPECT_EQ(0, memcmp(table_.data(), block_.data(), 4 * VR_RECORD_SIZE));

    // A count caught half-written: below 0 no tags; beyond the limit or the table as many as fit.
    records()[0].len = -7;
    EXPECT_EQ(0, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_EQ(-7, header.len);
    publish(VR_MAX_TAGS);
    records()[0].len = INT_MAX;
    EXPECT_EQ(VR_MAX_TAGS, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_STREQ("T2048", table_[VR_MAX_TAGS].name);
    strcpy(table_[11].name, "beyond the room");
    EXPECT_EQ(10, vr_copy_as_is(&b, &header, table_.data(), 11));
    EXPECT_STREQ("T10", table_[10].name);
    EXPECT_STREQ("beyond the room", table_[11].name);

    // No publication: the header alone, the table as it was.
    state("Shutdown");
    EXPECT_EQ(VR_NOT_PUBLISHED, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_EQ(VR_STATE_SHUTDOWN, vr_state_of(&header));
    EXPECT_STREQ("T1", table_[1].name);

    // A block that ends inside the table, then inside the header.
    publish(100);
    b.size = 50 * VR_RECORD_SIZE;
    EXPECT_EQ(VR_CUT, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_EQ(100, header.len);
    EXPECT_STREQ("", table_[1].name);
    b.size = 100;
    EXPECT_EQ(VR_CUT, vr_copy_as_is(&b, &header, table_.data(), kRoom));
    EXPECT_EQ(VR_STATE_EMPTY, vr_state_of(&header));
    EXPECT_EQ(0, header.len);
}

TEST_F(ReaderMemory, EachStateWordIsToldApart) {
    // Zeros: the block was made by a reader before any bridge opened it.
    EXPECT_EQ(VR_NOT_PUBLISHED, snapshot());
    EXPECT_EQ(VR_STATE_EMPTY, vr_state_of(&table_[0]));

    state("Invalid ");
    EXPECT_EQ(VR_NOT_PUBLISHED, snapshot());
    EXPECT_EQ(VR_STATE_STARTED, vr_state_of(&table_[0]));

    state("Shutdown");
    EXPECT_EQ(VR_NOT_PUBLISHED, snapshot());
    EXPECT_EQ(VR_STATE_SHUTDOWN, vr_state_of(&table_[0]));

    // Published without tags: a good copy of no tags, with its status line; the count field
    // is not read, whatever it holds.
    state("Invalid\0");
    records()[0].len = 77;
    snprintf(records()[0].string, sizeof records()[0].string, "Connecting.....");
    EXPECT_EQ(0, snapshot());
    EXPECT_EQ(VR_STATE_NO_TAGS, vr_state_of(&table_[0]));
    EXPECT_STREQ("Connecting.....", table_[0].string);

    // "Numtags" without its zero is no state word of a bridge.
    memcpy(records()[0].name, "NumtagsX", 8);
    EXPECT_EQ(VR_NOT_PUBLISHED, snapshot());
    EXPECT_EQ(VR_STATE_UNKNOWN, vr_state_of(&table_[0]));
}

TEST_F(ReaderMemory, ACountBeyondTheTableIsNeverTrusted) {
    for (int32_t count : {VR_MAX_TAGS + 1, -1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(count);
        publish(3);
        records()[0].len = count;
        EXPECT_EQ(VR_BAD_COUNT, vr_copy_table(block_.data(), block_.size(), table_.data(), kRoom));
        EXPECT_EQ(VR_BAD_COUNT, snapshot(kRoom));
    }
    // A count that the caller's table or the mapped bytes cannot hold.
    publish(10);
    EXPECT_EQ(VR_BAD_COUNT, snapshot(10));
    EXPECT_EQ(10, snapshot(11));
    EXPECT_EQ(VR_BAD_COUNT, vr_copy_table(block_.data(), 10 * VR_RECORD_SIZE, table_.data(), VR_TABLE_RECORDS));
    EXPECT_EQ(10, vr_copy_table(block_.data(), 11 * VR_RECORD_SIZE, table_.data(), VR_TABLE_RECORDS));
    EXPECT_EQ(VR_BAD_ARGS, vr_copy_table(nullptr, block_.size(), table_.data(), VR_TABLE_RECORDS));
    EXPECT_EQ(VR_BAD_ARGS, vr_copy_table(block_.data(), block_.size(), table_.data(), 0));
    vr_block closed{};
    EXPECT_EQ(VR_BAD_ARGS, vr_snapshot(&closed, table_.data(), VR_TABLE_RECORDS, 3));
}

TEST_F(ReaderMemory, ACopyTornByAPublicationIsRejected) {
    // Each change stands for a bridge that rewrote the block between the copy and the check.
    struct Change {
        const char* what;
        void (*apply)(vr_record*);
    };
    const Change changes[] = {
        {"state word", [](vr_record* r) { memcpy(r[0].name, "Invalid ", 8); }},
        {"count", [](vr_record* r) { r[0].len = 4; }},
        {"time", [](vr_record* r) { r[0].time += 1; }},
        {"status line", [](vr_record* r) { r[0].string[0] = 'X'; }},
        {"first tag's name", [](vr_record* r) { r[1].name[0] = 'U'; }},
        {"last byte of the last tag", [](vr_record* r) { r[3].string[VR_TEXT_SIZE - 1] = 1; }},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        publish(3);
        ASSERT_EQ(3, vr_copy_table(block_.data(), block_.size(), table_.data(), VR_TABLE_RECORDS));
        ASSERT_TRUE(vr_copy_holds(block_.data(), table_.data(), 3));
        std::vector<unsigned char> before = block_;
        c.apply(records());
        EXPECT_FALSE(vr_copy_holds(block_.data(), table_.data(), 3));
        block_ = before;
        EXPECT_TRUE(vr_copy_holds(block_.data(), table_.data(), 3));
    }
    // A change behind the counted records is none of the copy's business.
    publish(3);
    ASSERT_EQ(3, vr_copy_table(block_.data(), block_.size(), table_.data(), VR_TABLE_RECORDS));
    records()[4].ival = 99;
    EXPECT_TRUE(vr_copy_holds(block_.data(), table_.data(), 3));
}

TEST(ReaderText, StopsAtTheZeroAndNeverPassesTheField) {
    char field[8] = {'a', 'b', '\0', 'o', 'l', 'd', '!', '!'};
    char out[16];
    vr_text(out, sizeof out, field, sizeof field);
    EXPECT_STREQ("ab", out) << "old text behind the zero is not part of the value";

    char full[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    memset(out, 'Z', sizeof out);
    vr_text(out, sizeof out, full, sizeof full);
    EXPECT_STREQ("abcdefgh", out) << "a field without a zero ends at its width";

    char small[4];
    vr_text(small, sizeof small, full, sizeof full);
    EXPECT_STREQ("abc", small) << "cut to the room given, and terminated";

    char untouched = 'Q';
    vr_text(&untouched, 0, full, sizeof full);
    EXPECT_EQ('Q', untouched);
}

TEST(ReaderFind, MatchesWholeNamesOnly) {
    std::vector<vr_record> t(5);
    const char* names[] = {"Recording10.Title", "Recording1.Title", "Rec1.Title", ""};
    for (int i = 0; i < 4; i++) {
        memset(t[i + 1].name, 0, VR_NAME_SIZE);
        memcpy(t[i + 1].name, names[i], strlen(names[i]));
    }
    // A name that fills its whole field without a zero.
    memset(t[4].name, 'A', VR_NAME_SIZE);

    EXPECT_EQ(&t[2], vr_find(t.data(), 4, "Recording1.Title"));
    EXPECT_EQ(&t[1], vr_find(t.data(), 4, "Recording10.Title"));
    EXPECT_EQ(nullptr, vr_find(t.data(), 4, "Rec1")) << "no prefix matches";
    EXPECT_EQ(nullptr, vr_find(t.data(), 4, "Recording1.Title.X"));
    EXPECT_EQ(nullptr, vr_find(t.data(), 4, std::string(63, 'A').c_str()));
    EXPECT_EQ(nullptr, vr_find(t.data(), 4, std::string(64, 'A').c_str()));
    EXPECT_EQ(nullptr, vr_find(t.data(), 1, "Rec1.Title")) << "only the counted tags";
}

// The header against a block that the bridges' own publication code writes, by name, as a
// display plug-in in another process would meet it.
TEST(ReaderBlock, ReadsWhatThePublicationWrites) {
    std::string name = unique_block_name("VistrelReader");
    vp_shm_unlink(name.c_str());
    vr_block block{};
    int err = vr_open(&block, name.c_str());
    EXPECT_NE(0, err) << "a block that nobody holds cannot be opened";
    EXPECT_NE(0, vr_open(&block, name.c_str())) << "and the failed open did not make it";

    MP_Numtags = 0;
    MP_Clear_tags();
    const int channel = 3;
    CommsStart(channel, 1, name.c_str(), MP_BLOCK_SIZE);
    ASSERT_NE(nullptr, CommsView(channel));
    ASSERT_EQ(0, vr_open(&block, name.c_str()));
    std::vector<vr_record> table(VR_TABLE_RECORDS);
    EXPECT_EQ(VR_NOT_PUBLISHED, vr_snapshot(&block, table.data(), VR_TABLE_RECORDS, VR_TRIES));
    EXPECT_EQ(VR_STATE_STARTED, vr_state_of(&table[0]));

    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "true");
    MP_put_tag("Recording1.Title", MP_TYPE_TEXT, 0, "Das Boot");
    MP_put_tag("Rec1.StartTime", MP_TYPE_TEXT, 0, "\\/Date(1449961234567+0100)\\/");
    CommsPacket(channel, "OK");
    ASSERT_EQ(3, vr_snapshot(&block, table.data(), VR_TABLE_RECORDS, VR_TRIES));
    EXPECT_STREQ("OK", table[0].string);
    EXPECT_EQ(MP_Tags[0].time, table[0].time);
    const vr_record* title = vr_find(table.data(), 3, "Recording1.Title");
    ASSERT_NE(nullptr, title);
    EXPECT_STREQ("Das Boot", title->string);
    const vr_record* start = vr_find(table.data(), 3, "Rec1.StartTime");
    ASSERT_NE(nullptr, start);
    EXPECT_EQ(VR_TYPE_TIME, start->type);
    EXPECT_EQ(1449961234, start->time);

    CommsStop(channel);
    EXPECT_EQ(VR_NOT_PUBLISHED, vr_snapshot(&block, table.data(), VR_TABLE_RECORDS, VR_TRIES));
    EXPECT_EQ(VR_STATE_SHUTDOWN, vr_state_of(&table[0]));
    vr_close(&block);
    EXPECT_EQ(nullptr, block.view);
    vp_shm_unlink(name.c_str());
}

TEST(ReaderBlock, RefusesABlockSmallerThanABridgesBlock) {
    std::string name = unique_block_name("VistrelReaderSmall");
    vp_shm_unlink(name.c_str());
    vp_shm small;
    ASSERT_EQ(0, vp_shm_open(name.c_str(), 4096, &small));
    vr_block block{};
    EXPECT_NE(0, vr_open(&block, name.c_str()));
    EXPECT_EQ(nullptr, block.view);
    vp_shm_close(small);
    vp_shm_unlink(name.c_str());
}

#ifndef _WIN32
// Any user may make an object of a block's name before the bridge does, and write into it what
// a display should show: the reader trusts a block of its own user that admits nobody else.
TEST(ReaderBlock, RefusesObjectsThatAreNotThisUsersPrivateBlock) {
    std::string name = unique_block_name("VistrelReaderTrust");
    vr_block block{};
    struct Case {
        const char* what;
        unsigned mode;
        int expected;
    };
    for (const Case& c : {Case{"open to everyone", 0666, VR_SHARED}, Case{"readable by the group", 0640, VR_SHARED},
                          Case{"private", 0600, 0}}) {
        SCOPED_TRACE(c.what);
        vp_shm_unlink(name.c_str());
        ASSERT_TRUE(make_raw_block(name, c.mode, VR_BLOCK_SIZE, "Invalid "));
        EXPECT_EQ(c.expected, vr_open(&block, name.c_str()));
        vr_close(&block);
    }
    // A FIFO in the place of a block neither holds the reader up nor is read (the alarm ends
    // a reader that waits on it for a writer).
    vp_shm_unlink(name.c_str());
    ASSERT_EQ(0, mkfifo(("/dev/shm/" + name).c_str(), 0600));
    EXPECT_EXIT(
        {
            alarm(10);
            vr_block fifo{};
            _exit(vr_open(&fifo, name.c_str()) == VR_ODD ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    vp_shm_unlink(name.c_str());
}

TEST(ReaderBlock, RefusesABlockMadeByAnotherUser) {
    if (!can_act_as_other_user()) GTEST_SKIP() << "acting as another user needs root";
    std::string name = unique_block_name("VistrelReaderForeign");
    vr_block block{};
    for (unsigned mode : {0666u, 0644u}) {
        SCOPED_TRACE(mode);
        vp_shm_unlink(name.c_str());
        ASSERT_TRUE(as_other_user([&] { return make_raw_block(name, mode, VR_BLOCK_SIZE, "Numtags"); }));
        EXPECT_EQ(VR_FOREIGN, vr_open(&block, name.c_str()));
        EXPECT_EQ(nullptr, block.view);
    }
    vp_shm_unlink(name.c_str());
}

// A block of this user cut down while a reader has it open (only its owner can do that): the
// snapshot reports it and the reader goes on. A copy through a mapping would end the reader.
TEST(ReaderBlock, ABlockCutDownUnderTheReaderIsAnErrorNotAFault) {
    std::string name = unique_block_name("VistrelReaderCut");
    vp_shm_unlink(name.c_str());
    ASSERT_TRUE(make_raw_block(name, 0600, VR_BLOCK_SIZE, ""));
    vp_shm h;
    void* view = nullptr;
    ASSERT_EQ(0, vp_shm_open(name.c_str(), VR_BLOCK_SIZE, &h));
    ASSERT_EQ(0, vp_shm_map(h, VR_BLOCK_SIZE, 1, &view));
    vr_record* r = static_cast<vr_record*>(view);
    memcpy(r[0].name, "Numtags", 8);
    r[0].len = 100;
    for (int i = 1; i <= 100; i++) snprintf(r[i].name, sizeof r[i].name, "T%d", i);
    vp_shm_unmap(view, VR_BLOCK_SIZE);
    vp_shm_close(h);

    EXPECT_EXIT(
        {
            static vr_record table[VR_TABLE_RECORDS];
            vr_block block{};
            if (vr_open(&block, name.c_str()) != 0) _exit(10);
            if (vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES) != 100) _exit(11);
            // Cut inside the table, then to nothing: the header itself is gone.
            if (!raw_block_resize(name, 4096)) _exit(12);
            if (vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES) != VR_CUT) _exit(13);
            if (!raw_block_resize(name, 0)) _exit(14);
            if (vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES) != VR_CUT) _exit(15);
            vr_close(&block);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    vp_shm_unlink(name.c_str());
}
#endif

}  // namespace

// The encoding marker at the block's end, as a bridge writes it and as other bytes may leave it.
TEST_F(ReaderMemory, TheEncodingMarkerNamesOnlyKnownEncodings) {
    struct Case {
        const char* marker;
        vr_encoding expected;
    };
    const Case cases[] = {
        {"VistrelText=Raw", VR_TEXT_RAW},
        {"VistrelText=Windows-1252", VR_TEXT_WINDOWS_1252},
        {"VistrelText=ASCII", VR_TEXT_ASCII},
        {"VistrelText=UTF-8", VR_TEXT_UTF8},
        {"", VR_TEXT_RAW},                       // a block without a marker
        {"VistrelText=UTF-8x", VR_TEXT_RAW},     // a longer name is no encoding
        {"VistrelText=utf-8", VR_TEXT_RAW},      // the bridge writes the names as they stand
        {"VistrelText=", VR_TEXT_RAW},
        {"vistreltext=ASCII", VR_TEXT_RAW},
    };
    vr_block b{};
    b.view = block_.data();
    b.size = block_.size();
    for (const Case& c : cases) {
        memset(block_.data() + VR_ENCODING_OFFSET, 0, VR_ENCODING_SIZE);
        memcpy(block_.data() + VR_ENCODING_OFFSET, c.marker, strlen(c.marker));
        EXPECT_EQ(c.expected, vr_encoding_of(&b)) << c.marker;
    }
    // A marker that fills its 64 bytes without a zero names nothing.
    memcpy(block_.data() + VR_ENCODING_OFFSET, "VistrelText=ASCII", 17);
    memset(block_.data() + VR_ENCODING_OFFSET + 17, 'A', VR_ENCODING_SIZE - 17);
    EXPECT_EQ(VR_TEXT_RAW, vr_encoding_of(&b));
    // A block shorter than a bridge's has no marker to read.
    b.size = VR_ENCODING_OFFSET + 10;
    EXPECT_EQ(VR_TEXT_RAW, vr_encoding_of(&b));
    EXPECT_EQ(VR_TEXT_RAW, vr_encoding_of(nullptr));
}

// Each encoding's name, as the bridges spell it in the marker, reads back as that encoding.
TEST_F(ReaderMemory, EachEncodingsNameReadsBackAsItsMarker) {
    vr_block b{};
    b.view = block_.data();
    b.size = block_.size();
    for (int e = VR_TEXT_RAW; e <= VR_TEXT_UTF8; e++) {
        std::string marker = std::string(VR_ENCODING_MARK) + vr_encoding_name(static_cast<vr_encoding>(e));
        memset(block_.data() + VR_ENCODING_OFFSET, 0, VR_ENCODING_SIZE);
        memcpy(block_.data() + VR_ENCODING_OFFSET, marker.data(), marker.size());
        EXPECT_EQ(e, vr_encoding_of(&b)) << marker;
    }
}

namespace {
// The blocks' names of a run, as every program forms them from VISTREL_BLOCK_SUFFIX. Unset or
// empty, the names are the bridges' own, which display plug-ins in the field open; anything
// that could lead out of the blocks' namespace is refused with the plain name left in out.
TEST(ReaderBlockName, TheSuffixOfTheRunFollowsTheBridgesName) {
    struct Case {
        const char* suffix;  // nullptr: unset
        int rc;
        const char* name;
    } cases[] = {
        {nullptr, 0, "Vistrel_MPExtended"},
        {"", 0, "Vistrel_MPExtended"},
        {".kitchen", 0, "Vistrel_MPExtended.kitchen"},
        {"_2-b.C9", 0, "Vistrel_MPExtended_2-b.C9"},
        {"0123456789abcdef0123456789abcdef", 0, "Vistrel_MPExtended0123456789abcdef0123456789abcdef"},
        {"0123456789abcdef0123456789abcdef0", VR_BAD_SUFFIX, "Vistrel_MPExtended"},
        {"/../x", VR_BAD_SUFFIX, "Vistrel_MPExtended"},
        {"a b", VR_BAD_SUFFIX, "Vistrel_MPExtended"},
        {"Global\\x", VR_BAD_SUFFIX, "Vistrel_MPExtended"},
        {"\xc3\xa9", VR_BAD_SUFFIX, "Vistrel_MPExtended"},
    };
    std::string saved = getenv(VR_SUFFIX_VARIABLE) ? getenv(VR_SUFFIX_VARIABLE) : "";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.suffix ? c.suffix : "(unset)");
        if (c.suffix) set_env(VR_SUFFIX_VARIABLE, c.suffix); else unset_env(VR_SUFFIX_VARIABLE);
        char name[VR_NAME_MAX];
        EXPECT_EQ(c.rc, vr_block_name(name, sizeof name, VR_MPEXTENDED));
        EXPECT_STREQ(c.name, name);
    }
    // The longest name fits the room the header promises; a smaller room is refused, not cut.
    set_env(VR_SUFFIX_VARIABLE, "0123456789abcdef0123456789abcdef");
    char small[40];
    EXPECT_EQ(VR_BAD_ARGS, vr_block_name(small, sizeof small, VR_WIFIREMOTE));
    set_env(VR_SUFFIX_VARIABLE, saved.c_str());
}
}  // namespace
