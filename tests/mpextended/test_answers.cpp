// test_answers.cpp - the real Vistrel_MPExtended: one answer, one outcome, whatever the pieces it arrives in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "mpx.h"
#include "mpx_fixture.h"
#include "vp.h"

namespace {

std::string json_date(long long seconds) { return "\"\\/Date(" + std::to_string(seconds * 1000) + "+0100)\\/\""; }

long long now_seconds() {
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    return static_cast<long long>(now);
}

// A recording object as the service sends it, "Description" first, with members of its own
// behind the ones that the bridge reads.
std::string recording(const std::string& description, const std::string& title, bool in_progress, int channel,
                      const std::string& more = "") {
    long long now = now_seconds();
    return "{\"Description\":\"" + description + "\"" + more + ",\"EndTime\":" + json_date(now + 1800) +
           ",\"IdChannel\":" + std::to_string(channel) + ",\"IsRecording\":" + (in_progress ? "true" : "false") +
           ",\"StartTime\":" + json_date(now - 600) + ",\"Title\":\"" + title + "\"}";
}

std::string list(const std::vector<std::string>& objects) {
    std::string body = "[";
    for (size_t i = 0; i < objects.size(); i++) body += (i ? "," : "") + objects[i];
    return body + "]";
}

// The tag lines that each answer stored, by answer: the log split at each "Got a message",
// without the times of the lines.
std::vector<std::vector<std::string>> stores_by_answer(const std::vector<std::string>& log) {
    std::vector<std::vector<std::string>> answers;
    for (const std::string& line : log) {
        if (line.find("Got a message (") != std::string::npos) answers.emplace_back();
        size_t at = line.find(" put_tag ");
        if (at != std::string::npos && !answers.empty()) answers.back().push_back(line.substr(at));
    }
    return answers;
}

class MpxAnswers : public MpxEndToEnd {
protected:
    // Waits until the published table satisfies the check and returns it (empty when it never did).
    template <typename Check>
    std::vector<MP_TagEntry> published(Check check, int ms) {
        std::vector<MP_TagEntry> seen;
        wait_until([&] {
            std::vector<MP_TagEntry> t = block_->tags();
            if (t.size() <= 1 || !check(t)) return false;
            seen = t;
            return true;
        }, ms);
        return seen;
    }
};

// A new list whose answer the service closes after two of its objects, though its length
// announced them all: the block keeps every tag of the last whole list, and its status says why.
TEST_F(MpxAnswers, CloseAfterTwoObjectsOfANewListKeepsTheLastWholeList) {
    std::vector<std::string> a, b;
    for (int i = 1; i <= 5; i++) {
        a.push_back(recording("first list", "A" + std::to_string(i), i == 1, 1));
        b.push_back(recording("second list", "B" + std::to_string(i), i == 1, 2));
    }
    std::string second = list(b);
    size_t two = second.find(b[2]);
    ASSERT_NO_FATAL_FAILURE(start("list 1 " + list(a) + "\nlist 2 " + second + "\non 2 cut " + std::to_string(two) +
                                      " close\n",
                                  "Debug=1\nMPExtended_Wait=1\n"));
    std::vector<MP_TagEntry> whole = published([](const std::vector<MP_TagEntry>& t) {
        return status_of(t[0]) == "OK" && tag_named(t, "Recording1.ChannelName").found;
    }, 20000);
    ASSERT_FALSE(whole.empty()) << "the first list was never published";
    ASSERT_EQ(tag_named(whole, "Rec3.Title").text, "A3");
    std::vector<MP_TagEntry> after = published([](const std::vector<MP_TagEntry>& t) {
        return status_of(t[0]) != "OK" && status_of(t[0]) != "Connecting.....";
    }, 20000);
    ASSERT_FALSE(after.empty()) << "the cut answer was never reported";
    EXPECT_EQ(status_of(after[0]), "MP_recv Failed: Connection closed during an answer");
    ASSERT_EQ(after.size(), whole.size()) << "the table gained tags";
    for (size_t i = 1; i < whole.size(); i++)
        EXPECT_EQ(memcmp(&after[i], &whole[i], sizeof(MP_TagEntry)), 0) << whole[i].name << ": " << after[i].string;
    EXPECT_EQ(tag_named(after, "Rec1.Title").text, "A1");
    EXPECT_EQ(tag_named(after, "Recording1.Title").text, "A1");
}

// A new list whose recording in progress is on a channel that the table does not know: the
// channel's answer stops half way, and the conversation is given up after the answer limit
// (shortened here). Nothing of the new list or of what was derived from it reaches the block:
// it keeps every tag of the last whole list beside the failure status.
TEST_F(MpxAnswers, ChannelAnswerThatBreaksOffKeepsTheLastWholeList) {
    TestLimits limits("answer=1500,reconnect=500");
    std::vector<std::string> a, b;
    for (int i = 1; i <= 3; i++) {
        a.push_back(recording("first list", "A" + std::to_string(i), i == 1, 1));
        b.push_back(recording("second list", "B" + std::to_string(i), i == 1, 9));
    }
    ASSERT_NO_FATAL_FAILURE(start("list 1 " + list(a) + "\nlist 2 " + list(b) + "\nchannel-stall 9\n",
                                  "Debug=1\nMPExtended_Wait=1\n"));
    std::vector<MP_TagEntry> whole = published([](const std::vector<MP_TagEntry>& t) {
        return status_of(t[0]) == "OK" && tag_named(t, "Recording1.ChannelName").found;
    }, 20000);
    ASSERT_FALSE(whole.empty()) << "the first list was never published";
    ASSERT_EQ(tag_named(whole, "Recording1.Title").text, "A1");
    std::vector<MP_TagEntry> after = published([](const std::vector<MP_TagEntry>& t) {
        return status_of(t[0]) != "OK" && status_of(t[0]) != "Connecting.....";
    }, 20000);
    ASSERT_FALSE(after.empty()) << "the broken channel answer was never reported";
    EXPECT_EQ(status_of(after[0]), "MP_recv Failed: Error at socket(): 10060");
    ASSERT_EQ(after.size(), whole.size()) << "the table gained tags";
    for (size_t i = 1; i < whole.size(); i++)
        EXPECT_EQ(memcmp(&after[i], &whole[i], sizeof(MP_TagEntry)), 0) << whole[i].name << ": " << after[i].string;
    EXPECT_GE(line_index(sim_.events(), "channel-stall 9"), 0) << "the channel answer did not stall";
}

// Lists that a scan reads in ways that a reader of JSON would not: the same answer, once in one
// piece and once cut before its second object with a pause, stores the same tags with the same
// values, those of a scan of the whole text. Each list is served whole, then cut.
TEST_F(MpxAnswers, SameListStoresTheSameTagsWholeOrCut) {
    struct Variant {
        const char* what;
        std::string body;
        std::string cut_before;  // the piece boundary lies in front of this text
        int cut_into;            // ... moved this many bytes into it
        std::string recordings;  // NRecordings as a scan of the whole text gives it
    };
    const std::vector<Variant> variants = {
        // The second escaped quote of the description is taken as its end, and the scan stops
        // at the brace inside the text that follows.
        {"escaped quotes and a brace in a description",
         list({recording("12\\\"\\\" screen {see} notes", "R1", false, 1), recording("d", "R2", true, 2),
               recording("d", "R3", false, 3)}),
         ",{\"Description\"", 0, "One"},
        // An empty array ends the scan of its object; the next "{" is the one in its title.
        {"an empty array and a brace in a title",
         list({recording("d", "Mord {im} Zug", false, 1, ",\"Genres\":[]"), recording("d", "R2", true, 2),
               recording("d", "R3", false, 3)}),
         ",{\"Description\"", 0, "One"},
        // A lead byte without its continuation, stray continuation bytes, and a four-byte
        // character that the cut divides.
        {"text that is not valid UTF-8",
         list({recording("caf\xC3 \x80\x80 \xF0\x9F\x93\xBA end", "R1 \xE2\x82", false, 1),
               recording("\xF0", "R2", false, 2), recording("d", "R3", false, 3)}),
         "\xF0\x9F\x93\xBA", 2, "Three"},
    };
    std::string scenario;
    for (size_t v = 0; v < variants.size(); v++) {
        int whole = static_cast<int>(2 * v + 1);
        size_t cut = variants[v].body.find(variants[v].cut_before);
        ASSERT_NE(cut, std::string::npos);
        cut += static_cast<size_t>(variants[v].cut_into);
        scenario += "list " + std::to_string(whole) + " " + variants[v].body + "\n";
        scenario += "list " + std::to_string(whole + 1) + " " + variants[v].body + "\n";
        scenario += "on " + std::to_string(whole + 1) + " split-at " + std::to_string(cut) + " 200\n";
    }
    ASSERT_NO_FATAL_FAILURE(start(scenario, "Debug=3\nMPExtended_Wait=0\n"));
    ASSERT_TRUE(answers(static_cast<int>(2 * variants.size()) + 1, 30000));
    bridge_.stop();
    std::vector<std::vector<std::string>> stored = stores_by_answer(log());
    ASSERT_GE(stored.size(), 2 * variants.size());
    for (size_t v = 0; v < variants.size(); v++) {
        SCOPED_TRACE(variants[v].what);
        const std::vector<std::string>& whole = stored[2 * v];
        const std::vector<std::string>& cut = stored[2 * v + 1];
        EXPECT_EQ(whole, cut);
        EXPECT_EQ(line_count(whole, "name=" + std::string(29, ' ') + "NRecordings, string=" + variants[v].recordings), 1);
        EXPECT_EQ(line_count(whole, "Recording1.SoFar"), 0) << "a recording was taken for one in progress";
    }
}

// 98 recordings that the table holds beside the tags derived from them are stored at every
// poll, without a word about a full table: recordings of twenty members each, and a library in
// which every third recording is a series episode of 23.
TEST_F(MpxAnswers, NinetyEightRecordingsThatFitBesideTheirDerivedTagsAreAllStored) {
    std::vector<std::string> objects;
    for (int i = 1; i <= 98; i++) {
        std::string more;
        for (int m = 1; m <= 14; m++) more += ",\"Extra" + std::to_string(m) + "\":\"v" + std::to_string(i) + "\"";
        objects.push_back(recording("Recorded from the evening programme", "Programme " + std::to_string(i), i <= 2,
                                    i % 7 + 1, more));
    }
    const std::string twenty = list(objects);
    const struct {
        const char* what;
        std::string scenario;
        std::string last_title;
    } shapes[] = {{"twenty members each", "list 1 " + twenty + "\nlist 2 " + twenty + "\nlist 3 " + twenty + "\n",
                   "Programme 98"},
                  {"every third a series episode", "library 98 in-progress 2 series 3 short\n", ""}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        for (const char* file : {"port.txt", "events.txt", "requests.txt", kMpxLog}) remove(file);
        ASSERT_NO_FATAL_FAILURE(start(shape.scenario, "Debug=1\nMPExtended_Wait=1\n"));
        ASSERT_TRUE(answers(3, 30000)) << "fewer than three answers";
        // The second answer has been processed whole once the third has gone out.
        std::vector<MP_TagEntry> t = published([](const std::vector<MP_TagEntry>& tags) {
            return tag_named(tags, "Recording2.ChannelName").found;
        }, 10000);
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(tag_named(t, "NRecordings").text, "NinetyEight");
        EXPECT_TRUE(tag_named(t, "Rec98.Title").found);
        if (!shape.last_title.empty()) {
            EXPECT_EQ(tag_named(t, "Rec98.Title").text, shape.last_title);
        }
        EXPECT_EQ(tag_named(t, "Recordings").text, "Two");
        EXPECT_EQ(line_count(log(), "Tag table nearly full"), 0);
        bridge_.stop();
        sim_.stop();
        block_.reset();
    }
}

// 98 recordings whose tags, with the derived ones and the five members of the service's channel
// answer, fill the table to its last entry, or to the one before it: all of them are published
// at the first poll, without a word about a full table. The first is in progress on a channel
// that the table does not know yet. Both ways of taking a list: whole in the buffer, and
// passing through it.
TEST_F(MpxAnswers, NinetyEightRecordingsThatFillTheTableWithTheirChannelAnswerAreAllPublished) {
    for (size_t description : {size_t{1}, size_t{700}})
    for (int total : {MP_MAXTAGS, MP_MAXTAGS - 1}) {
        SCOPED_TRACE(std::string(description > 1 ? "larger than the buffer, " : "in the buffer, ") +
                     std::to_string(total) + " entries");
        // The four summary tags, nine Recording1 tags, eight cleared slots and five channel members.
        const int members = total - 4 - 9 - 8 - 5;
        std::vector<std::string> objects;
        for (int i = 1; i <= 98; i++) {
            std::string more;
            int own = members / 98 + (i <= members % 98 ? 1 : 0);
            for (int m = 1; m <= own - 6; m++) more += ",\"X" + std::to_string(m) + "\":" + std::to_string(i);
            objects.push_back(recording(std::string(description, 'd'), "Programme " + std::to_string(i), i == 1, 5, more));
        }
        const std::string body = list(objects);
        ASSERT_EQ(body.size() > MPX_RECEIVE_CAPACITY, description > 1);
        for (const char* file : {"port.txt", "events.txt", "requests.txt", kMpxLog}) remove(file);
        ASSERT_NO_FATAL_FAILURE(start("list 1 " + body + "\nlist 2 " + body + "\n", "Debug=1\nMPExtended_Wait=1\n"));
        std::vector<MP_TagEntry> t = published([](const std::vector<MP_TagEntry>& tags) {
            return status_of(tags[0]) == "OK" && tag_named(tags, "Recording1.ChannelName").found;
        }, 20000);
        ASSERT_FALSE(t.empty()) << "the first list was never published";
        EXPECT_EQ(tag_named(t, "NRecordings").text, "NinetyEight");
        EXPECT_EQ(tag_named(t, "Rec98.Title").text, "Programme 98");
        EXPECT_EQ(tag_named(t, "Recording1.ChannelName").text, "Das Erste");
        EXPECT_EQ(static_cast<int>(t.size()) - 1, total);
        ASSERT_TRUE(answers(2, 20000)) << "fewer than two answers";
        EXPECT_EQ(line_count(log(), "Tag table nearly full"), 0);
        bridge_.stop();
        sim_.stop();
        block_.reset();
    }
}

// A list larger than the buffer, read in each text encoding: accented letters, JSON escapes, a
// character outside Windows-1252 and one beyond the 16-bit range, at the head of the list and
// behind the buffer's first window, and a letter at the 256-byte limit of a text. Every encoding
// publishes the same tags in the same order; only the texts differ, as each writes them.
TEST_F(MpxAnswers, RecordingsInEachTextEncoding) {
    const std::string filler(1500, 'f');
    const std::string at_limit = std::string(255, 'x') + "\xC3\xA9 behind the limit";
    std::vector<std::string> objects;
    for (int i = 1; i <= 60; i++) {
        std::string title = "Programme " + std::to_string(i);
        if (i == 1) title = "Tatort: Sch\xC3\xBCsse im Morgengrauen";
        if (i == 45) title = "Caf\\u00e9 \\\"Zentral\\\" \\u2013 Nord\\\\S\\u00fcd";
        if (i == 60) title = "\xC5\x81\xC3\xB3" "d\xC5\xBA \xF0\x9F\x8E\xAC";
        objects.push_back(recording(i == 2 ? at_limit : filler, title, i == 1, 1));
    }
    const std::string body = list(objects);
    ASSERT_GT(body.size(), 2u * MPX_RECEIVE_CAPACITY - 40000);
    struct Mode {
        const char* name;
        const char* first;   // Rec1.Title, also Recording1.Title
        const char* escaped; // Rec45.Title
        const char* foreign; // Rec60.Title
        std::string limit;   // Rec2.Description
    };
    const Mode modes[] = {
        {"Raw", "Tatort: Sch sse im Morgengrauen", "Caf\\u00e9 \\\"Zentral\\\" \\u2013 Nord\\\\S\\u00fcd", "  d   ",
         std::string(255, 'x') + " "},
        {"Windows-1252", "Tatort: Sch\xFCsse im Morgengrauen", "Caf\xE9 \"Zentral\" \x96 Nord\\S\xFC" "d",
         "L\xF3" "dz ?", std::string(255, 'x') + "\xE9"},
        {"ASCII", "Tatort: Schusse im Morgengrauen", "Cafe \"Zentral\" - Nord\\Sud", "Lodz ?",
         std::string(255, 'x') + "e"},
        {"UTF-8", "Tatort: Sch\xC3\xBCsse im Morgengrauen", "Caf\xC3\xA9 \"Zentral\" \xE2\x80\x93 Nord\\S\xC3\xBC" "d",
         "\xC5\x81\xC3\xB3" "d\xC5\xBA \xF0\x9F\x8E\xAC", std::string(255, 'x')},
    };
    std::vector<std::string> raw_names;
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.name);
        for (const char* file : {"port.txt", "events.txt", "requests.txt", kMpxLog}) remove(file);
        ASSERT_NO_FATAL_FAILURE(start("list 1 " + body + "\nlist 2 " + body + "\n",
                                      std::string("Debug=0\nMPExtended_Wait=1\nText_Encoding=") + m.name + "\n"));
        std::vector<MP_TagEntry> t = published([](const std::vector<MP_TagEntry>& tags) {
            return tag_named(tags, "Recording1.ChannelName").found;
        }, 20000);
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(tag_named(t, "NRecordings").text, "Sixty");
        EXPECT_EQ(tag_named(t, "Rec1.Title").text, m.first);
        EXPECT_EQ(tag_named(t, "Recording1.Title").text, m.first);
        EXPECT_EQ(tag_named(t, "Rec45.Title").text, m.escaped);
        EXPECT_EQ(tag_named(t, "Rec60.Title").text, m.foreign);
        EXPECT_EQ(tag_named(t, "Rec2.Description").text, m.limit);
        EXPECT_EQ(tag_named(t, "Rec3.Description").text, filler.substr(0, 256));
        std::vector<std::string> names;
        for (size_t i = 1; i < t.size(); i++) names.push_back(t[i].name);
        if (raw_names.empty()) raw_names = names;
        EXPECT_EQ(raw_names, names);
        bridge_.stop();
        sim_.stop();
        block_.reset();
    }
}

// An interim "100 Continue" ahead of the answer is passed over: the answer behind it is taken,
// on the same connection.
TEST_F(MpxAnswers, InterimContinueAheadOfTheAnswerIsPassedOver) {
    ASSERT_NO_FATAL_FAILURE(start("on 1 continue\n", "Debug=3\nMPExtended_Wait=1\n"));
    ASSERT_TRUE(answers(2, 20000));
    std::vector<MP_TagEntry> t = published([](const std::vector<MP_TagEntry>& tags) {
        return tag_named(tags, "NRecordings").text == "Five";
    }, 10000);
    ASSERT_FALSE(t.empty()) << "the answer behind the interim one was not taken";
    EXPECT_EQ(status_of(t[0]), "OK");
    EXPECT_EQ(accepts(), 1);
    EXPECT_EQ(line_count(log(), "Interim answer of 25 bytes passed over"), 1);
}

}  // namespace
