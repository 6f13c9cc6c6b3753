// test_receive.cpp - the WifiRemote bridge's received blocks in any pieces and each text
// encoding: the same bytes give the same tags, and the texts read as the encoding writes them.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "scratch.h"
#include "wfr.h"

// These tests never connect; the library's connection loop needs a conversation to link.
int MP_Process_incoming(const char*) { return 0; }

namespace {

// Three messages as the plug-in sends them: letters of one to four bytes, escapes, a property
// reply, nested objects. None of their types makes the bridge answer.
const std::string kStream =
    "{\"Type\":\"status\",\"IsPlaying\":true,\"Title\":\"Die Br\xC3\xBC" "cke am Fluss \xE2\x80\x93 Teil 1\","
    "\"SelectedItem\":\"\xC3\x96" "1\"}\r\n"
    "{\"Type\":\"nowplaying\",\"File\":\"D:\\\\TV\\\\El Ni\xC3\xB1o.ts\",\"Position\":12,\"MediaInfo\":{\"ChannelName\":"
    "\"Das Erste\",\"CurrentProgram\":{\"Title\":\"Nachrichten \\\"live\\\" aus dem Studio.\\u000d\\u000aUntertitel "
    "\xF0\x9F\x98\x80\"}}}\r\n"
    "{\"Type\":\"properties\",\"Tags\":[{\"Tag\":\"#Play.Current.Title\",\"Value\":\"Tatort: Sch\xC3\xBCsse im "
    "Morgengrauen\"},{\"Tag\":\"#Play.Current.G\xC3\xA9nre\",\"Value\":\"Krimi \\u2013 Drama\"}]}\r\n";

struct Tag {
    std::string name;
    int type, ival;
    std::string text;
    bool operator==(const Tag&) const = default;
};

class WfrReceive : public ::testing::Test {
protected:
    void SetUp() override { MP_init_globals(); }
    void TearDown() override { MP_Global_TextEncoding = MP_TEXT_RAW; }

    // The stream received in pieces that end at the given cuts, from a fresh start in the
    // encoding; the tags it leaves.
    std::vector<Tag> receive(int mode, const std::vector<size_t>& cuts) {
        MP_WifiRemote_defaults();
        MP_Global_TextEncoding = mode;
        size_t at = 0;
        for (size_t i = 0; i <= cuts.size(); i++) {
            size_t end = i < cuts.size() ? cuts[i] : kStream.size();
            int room = 0;
            char* into = MP_WifiRemote_receive_room(&room);
            EXPECT_GE(room, static_cast<int>(end - at));
            memcpy(into, kStream.data() + at, end - at);
            char why[256];
            EXPECT_EQ(WFR_GO_ON, MP_WifiRemote_received("T:", static_cast<int>(end - at), why, sizeof why));
            at = end;
        }
        std::vector<Tag> tags;
        for (int i = 1; i <= MP_Numtags; i++)
            tags.push_back({MP_Tags[i].name, MP_Tags[i].type, MP_Tags[i].ival, MP_Tags[i].string});
        return tags;
    }
    static std::string text_of(const std::vector<Tag>& tags, const std::string& name) {
        for (const Tag& t : tags)
            if (t.name == name) return t.text;
        return "<none>";
    }
    ScratchDir dir_;
};

// Every cut of the stream into two blocks, and random cuts into many: the tags of the whole
// stream, in every encoding. A cut inside a character no longer leaves a blank and stray bytes.
TEST_F(WfrReceive, TheSameBytesInAnyPiecesGiveTheSameTagsInEveryEncoding) {
    std::mt19937 random(17);
    for (int mode : {MP_TEXT_RAW, MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8}) {
        const std::vector<Tag> whole = receive(mode, {});
        ASSERT_EQ(10u, whole.size()) << mode;
        for (size_t cut = 1; cut < kStream.size(); cut++)
            ASSERT_EQ(whole, receive(mode, {cut})) << "mode " << mode << " cut at " << cut;
        for (int round = 0; round < 200; round++) {
            std::vector<size_t> cuts;
            for (size_t at = 1 + random() % 9; at < kStream.size(); at += 1 + random() % 9) cuts.push_back(at);
            ASSERT_EQ(whole, receive(mode, cuts)) << "mode " << mode << " round " << round;
        }
    }
}

// The same names in the same order in every encoding; only the texts differ, as each writes.
TEST_F(WfrReceive, EachEncodingWritesTheTexts) {
    const std::vector<Tag> raw = receive(MP_TEXT_RAW, {});
    struct Expected {
        int mode;
        const char* title;
        const char* file;
        const char* program;
        const char* genre;
    };
    const Expected expected[] = {
        {MP_TEXT_RAW, "Die Br cke am Fluss   Teil 1", "D:\\\\TV\\\\El Ni o.ts",
         "Nachrichten \\\"live\\\" aus dem Studio.\\u000d\\u000aUntertitel  ", "Krimi \\u2013 Drama"},
        {MP_TEXT_WINDOWS_1252, "Die Br\xFC" "cke am Fluss \x96 Teil 1", "D:\\TV\\El Ni\xF1o.ts",
         "Nachrichten \"live\" aus dem Studio.  Untertitel ?", "Krimi \x96 Drama"},
        {MP_TEXT_ASCII, "Die Brucke am Fluss - Teil 1", "D:\\TV\\El Nino.ts",
         "Nachrichten \"live\" aus dem Studio.  Untertitel ?", "Krimi - Drama"},
        {MP_TEXT_UTF8, "Die Br\xC3\xBC" "cke am Fluss \xE2\x80\x93 Teil 1", "D:\\TV\\El Ni\xC3\xB1o.ts",
         "Nachrichten \"live\" aus dem Studio.  Untertitel \xF0\x9F\x98\x80", "Krimi \xE2\x80\x93 Drama"},
    };
    for (const Expected& e : expected) {
        std::vector<Tag> tags = receive(e.mode, {kStream.find("\xC3\xBC") + 1});
        ASSERT_EQ(raw.size(), tags.size());
        for (size_t i = 0; i < raw.size(); i++) {
            EXPECT_EQ(raw[i].name, tags[i].name);
            EXPECT_EQ(raw[i].type, tags[i].type) << raw[i].name;
            EXPECT_EQ(raw[i].ival, tags[i].ival) << raw[i].name;
        }
        EXPECT_EQ(e.title, text_of(tags, "Title")) << e.mode;
        EXPECT_EQ(e.file, text_of(tags, "File")) << e.mode;
        EXPECT_EQ(e.program, text_of(tags, "MediaInfo.CurrentProgram.Title")) << e.mode;
        EXPECT_EQ(e.genre, text_of(tags, "Properties.Play.Current.G nre")) << e.mode;
    }
}

// A character cut at a block's end is held back: the next block has that much less room, and a
// new connection starts without it.
TEST_F(WfrReceive, ACutCharacterIsCarriedToTheNextBlockOnly) {
    MP_WifiRemote_defaults();
    int room = 0;
    char* into = MP_WifiRemote_receive_room(&room);
    EXPECT_EQ(WFR_RECEIVE_CAPACITY, room);
    memcpy(into, "{\"A\":\"x\xF0\x9F", 9);
    char why[256];
    EXPECT_EQ(WFR_GO_ON, MP_WifiRemote_received("T:", 9, why, sizeof why));
    char* next = MP_WifiRemote_receive_room(&room);
    EXPECT_EQ(WFR_RECEIVE_CAPACITY - 2, room);
    EXPECT_EQ(into + 2, next);
    MP_WifiRemote_Decode_reset();
    EXPECT_EQ(into, MP_WifiRemote_receive_room(&room));
    EXPECT_EQ(WFR_RECEIVE_CAPACITY, room);
}

}  // namespace
