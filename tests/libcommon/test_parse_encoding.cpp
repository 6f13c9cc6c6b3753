// test_parse_encoding.cpp - the flattener in each text encoding: the same tags as in Raw, with
// readable texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

namespace {

constexpr int kReadable[] = {MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8};

struct Tag {
    std::string name;
    int type, ival, time;
    std::string text;
};

class ParseEncoding : public ::testing::Test {
protected:
    void SetUp() override {
        MP_log_reset();
        MP_Global_Debug = 1;
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "parse.log");
        MP_open_log();
    }
    void TearDown() override {
        MP_close_log();
        MP_Global_TextEncoding = MP_TEXT_RAW;
    }

    // The message as received, cleaned and flattened in the encoding, into an empty table.
    std::vector<Tag> flatten(int mode, const std::string& message) {
        MP_Global_TextEncoding = mode;
        MP_Numtags = 0;
        MP_Clear_tags();
        std::string text = message;
        std::vector<MP_TextPoint> points(text.size() + 1);
        int n = MP_text_clean(text.data(), points.data(), 0, static_cast<int>(text.size()), true, nullptr);
        text.resize(static_cast<size_t>(n));
        {
            MP_TextNamed named(text.data(), points.data(), n);
            MP_Parse("T:", text.c_str());
        }
        return table();
    }
    static std::vector<Tag> table() {
        std::vector<Tag> tags;
        for (int i = 1; i <= MP_Numtags; i++) {
            const MP_TagEntry& e = MP_Tags[i];
            tags.push_back({e.name, e.type, e.ival, e.time, std::string(e.string, strnlen(e.string, 257))});
        }
        return tags;
    }
    static std::string text_of(const std::vector<Tag>& tags, const std::string& name) {
        for (const Tag& t : tags)
            if (t.name == name) return t.text;
        return "<none>";
    }

    // Every readable encoding finds the tags that Raw finds: names, types, numbers, times and
    // order; the texts of numbers and dates are Raw's too. Counts Raw's tags into *stored.
    void expect_same_tags(const std::string& message, const std::string& what, size_t* stored = nullptr) {
        std::vector<Tag> raw = flatten(MP_TEXT_RAW, message);
        if (stored) *stored += raw.size();
        for (int mode : kReadable) {
            std::vector<Tag> tags = flatten(mode, message);
            ASSERT_EQ(raw.size(), tags.size()) << what << " mode " << mode;
            for (size_t i = 0; i < raw.size(); i++) {
                ASSERT_EQ(raw[i].name, tags[i].name) << what << " mode " << mode;
                ASSERT_EQ(raw[i].type, tags[i].type) << what << " " << raw[i].name << " mode " << mode;
                ASSERT_EQ(raw[i].ival, tags[i].ival) << what << " " << raw[i].name;
                ASSERT_EQ(raw[i].time, tags[i].time) << what << " " << raw[i].name;
                bool array = raw[i].type == MP_TYPE_INT && raw[i].text[0] == '[';
                if (raw[i].type != MP_TYPE_TEXT && !array) {
                    ASSERT_EQ(raw[i].text, tags[i].text) << what << " " << raw[i].name;
                }
                ASSERT_LE(tags[i].text.size(), 256u);
            }
        }
    }

    ScratchDir dir_;
};

// Multi-byte characters wherever the flattener makes a decision: in names, at a value's start,
// in front of a brace, inside escapes, in property runs, arrays, nested objects.
TEST_F(ParseEncoding, EveryEncodingFindsTheTagsOfRaw) {
    const std::string messages[] = {
        "{\"Title\":\"Die Br\xC3\xBC" "cke\",\"N\xC3\xA4me\":\"x\",\"Id\":12}",
        "{\"a\":\xC3\xA9\"x\",\"b\":1}",                       // a value that starts with a letter
        "{\"a\":1,\xE2\x82\xAC\"b\":2}",                       // a letter where a name must start
        "\xC3\xA9{\"a\":\"\xC3\xA9\\\xC3\xA9\",\"b\":\"\\\xE2\x82\xAC\"}",  // escaped letters
        "{\"Type\":\"properties\",\"Tags\":[{\"Tag\":\"#Play.\xC3\xA9t\xC3\xA9\",\"Value\":\"\xC3\x89t\xC3\xA9\"},"
        "{\"Tag\":\"#x\",\"Value\":\"\\u00e9\"}]}",
        "{\"Kind\":\"x\",\"Tag\":\"#T\xC3\xAEtle\",\"Value\":\"N\xC3\xA9ws\"}",
        "{\"L\":[\"\xC3\xA9\",\"\\u00e9\"],\"M\":[\xC3\xA9],\"N\":{\"\xC3\xA9\":{\"x\":\"\xC3\xA9\"}},\"O\":\"p\"}",
        "{\"D\":\"\\/Date(1765118521000+0100)\\/\",\"E\":\"\\\\/Date(1)\\\\/\",\"F\":\"\\u005c/Date(5)\"}",
        "{\"S\":\"" + std::string(300, 'x') + "\xC3\xA9\",\"T\":\"" + std::string(254, 'y') + "\\u20ac\\u20ac\"}",
        "{\"a\":\"\xF0\x9F\x98\x80\\ud83d\\ude00\\ud83d\",\"\xC0\xAF\":\"\xED\xA0\x80\",\"c\":\"\x80\xC3\"}",
        "{\"a\":\"\xE2\x82\"\"b\":\"\xC3\"}\r\n{\"c\":\"\xF0\x9F\x98\"}",  // sequences cut by quotes
    };
    for (const std::string& message : messages) expect_same_tags(message, message);
}

// Random messages of members whose names and values mix letters, multi-byte characters and
// escapes, with stray pieces of JSON among them, valid or not: the same tags in every encoding,
// whatever the flattener makes of them.
TEST_F(ParseEncoding, RandomTextsGiveTheSameTagsInEveryEncoding) {
    const char* const chars[] = {"a", "b", "Tag", " ", "\\\"", "\\u00e9", "\\ud83d", "\\ude00", "\\\\", "\\n",
                                 "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC3", "\x80", "\xFC\x80", "\xE2\x82"};
    const char* const noise[] = {"{", "}", "[", "]", ",", ":", "\"", "\\", "\r\n", "-", "\xC3\xA9"};
    std::mt19937 random(2323);
    auto pick = [&](const char* const* from, size_t count) { return std::string(from[random() % count]); };
    auto word = [&] {
        std::string w;
        for (int i = static_cast<int>(random() % 6); i >= 0; i--) w += pick(chars, sizeof chars / sizeof chars[0]);
        return w;
    };
    size_t stored = 0;
    for (int round = 0; round < 1500; round++) {
        std::string message = "{";
        for (int m = static_cast<int>(random() % 6); m >= 0; m--) {
            message += "\"" + word() + "\":";
            switch (random() % 6) {
                case 0: message += std::to_string(static_cast<int>(random() % 2000) - 1000); break;
                case 1: message += "[\"" + word() + "\"]"; break;
                case 2: message += "{\"" + word() + "\":\"" + word() + "\"}"; break;
                case 3: message += "[{\"Tag\":\"#" + word() + "\",\"Value\":\"" + word() + "\"}]"; break;
                default: message += "\"" + word() + "\""; break;
            }
            message += random() % 8 == 0 ? pick(noise, sizeof noise / sizeof noise[0]) : ",";
        }
        message += "}";
        ASSERT_NO_FATAL_FAILURE(expect_same_tags(message, "round " + std::to_string(round), &stored));
    }
    // Enough of them hold members for the comparison to mean something.
    EXPECT_GT(stored, 3000u);
}

TEST_F(ParseEncoding, TextsAreReadable) {
    const std::string message =
        "{\"Title\":\"El Ni\xC3\xB1o \xE2\x80\x93 Wetter im Wandel\",\"Plot\":\"Nachrichten \\\"live\\\" aus dem "
        "Studio.\\u000d\\u000aUntertitel\",\"File\":\"D:\\\\TV\\\\Evening News.ts\",\"N\xC3\xA4me\":\"\xC5\x81\xC3\xB3" "d\xC5\xBA\","
        "\"Start\":\"\\/Date(1765118521000)\\/\",\"Odd\":\"\\\\/Date(1)\\\\/\",\"L\":[\"Br\xC3\xBC" "cke\"]}";
    struct Expected {
        int mode;
        const char* title;
        const char* name;
        const char* list;
    };
    const Expected expected[] = {
        {MP_TEXT_RAW, "El Ni o   Wetter im Wandel", "  d ", "[\"Br cke\"]"},
        {MP_TEXT_WINDOWS_1252, "El Ni\xF1o \x96 Wetter im Wandel", "L\xF3" "dz", "[\"Br\xFC" "cke\"]"},
        {MP_TEXT_ASCII, "El Nino - Wetter im Wandel", "Lodz", "[\"Brucke\"]"},
        {MP_TEXT_UTF8, "El Ni\xC3\xB1o \xE2\x80\x93 Wetter im Wandel", "\xC5\x81\xC3\xB3" "d\xC5\xBA", "[\"Br\xC3\xBC" "cke\"]"},
    };
    for (const Expected& e : expected) {
        std::vector<Tag> tags = flatten(e.mode, message);
        EXPECT_EQ(e.title, text_of(tags, "Title")) << e.mode;
        // A name keeps a blank for the letter, in every encoding.
        EXPECT_EQ(e.name, text_of(tags, "N me")) << e.mode;
        EXPECT_EQ(e.list, text_of(tags, "L")) << e.mode;
        bool raw = e.mode == MP_TEXT_RAW;
        EXPECT_EQ(raw ? "Nachrichten \\\"live\\\" aus dem Studio.\\u000d\\u000aUntertitel"
                      : "Nachrichten \"live\" aus dem Studio.  Untertitel",
                  text_of(tags, "Plot"));
        EXPECT_EQ(raw ? "D:\\\\TV\\\\Evening News.ts" : "D:\\TV\\Evening News.ts", text_of(tags, "File"));
        // The date is a date in every encoding; a text that only looks like one once its
        // escapes are undone stays a text.
        const Tag* start = nullptr;
        const Tag* odd = nullptr;
        for (const Tag& t : tags) {
            if (t.name == "Start") start = &t;
            if (t.name == "Odd") odd = &t;
        }
        ASSERT_TRUE(start && odd);
        EXPECT_EQ(MP_TYPE_TIME, start->type);
        EXPECT_EQ(1765118521, start->time);
        EXPECT_EQ(MP_TYPE_TEXT, odd->type) << e.mode;
        EXPECT_EQ(raw ? "\\\\/Date(1)\\\\/" : "\\/Date(1)\\/", odd->text);
    }
}

// A text that nobody named (a channel answer, which is not cleaned) holds raw UTF-8: its values
// are decoded all the same, its names keep their bytes as in Raw.
TEST_F(ParseEncoding, AnUncleanedTextIsReadAsUtf8) {
    const std::string body = "{\"DisplayName\":\"Das Erste \xC3\x96sterreich\",\"N\xC3\xA4\":\"\\u00e9\"}";
    for (int mode : {MP_TEXT_RAW, MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8}) {
        MP_Global_TextEncoding = mode;
        MP_Numtags = 0;
        MP_Clear_tags();
        char prefix[64] = "Channel5";
        int len = 8, at = 0;
        MP_Parse_item("T:", prefix, body.c_str(), &at, &len);
        std::vector<Tag> tags = table();
        ASSERT_EQ(2u, tags.size());
        EXPECT_EQ("Channel5.N\xC3\xA4", tags[1].name);
        const char* expected[] = {"Das Erste \xC3\x96sterreich", "Das Erste \xD6sterreich", "Das Erste Osterreich",
                                  "Das Erste \xC3\x96sterreich"};
        EXPECT_EQ(expected[mode], tags[0].text) << mode;
    }
}

}  // namespace
