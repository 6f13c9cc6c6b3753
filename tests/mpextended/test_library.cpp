// test_library.cpp - the real Vistrel_MPExtended against realistic libraries and answers of awkward sizes.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mpx_fixture.h"
#include "tvsim.h"
#include "vp.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kWords[] = {"None", "One", "Two", "Three", "Four", "Five"};

// A text as the bridge shows it: every multi-byte UTF-8 character becomes one blank.
std::string shown_text(const std::string& utf8) {
    std::string out;
    for (unsigned char c : utf8) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c >= 0xC0) out += ' ';
    }
    return out;
}

// The simulator's content for a scenario, read with the simulator's own reader, so that the
// test knows the titles and channels that it serves.
Scenario content_of(const std::string& scenario) {
    Scenario s;
    std::string error;
    size_t start = 0;
    while (start < scenario.size()) {
        size_t end = scenario.find('\n', start);
        if (end == std::string::npos) end = scenario.size();
        EXPECT_TRUE(scenario_line(s, scenario.substr(start, end - start), error)) << error;
        start = end + 1;
    }
    scenario_default(s);
    return s;
}

// A tag's type, integer value and text in one comparable text.
std::string shown(const std::vector<MP_TagEntry>& t, const std::string& name) {
    TagValue v = tag_named(t, name);
    if (!v.found) return name + " missing";
    return std::to_string(v.type) + "/" + std::to_string(v.ival) + "/" + v.text;
}

// One published status line and when the test first saw it.
struct Seen {
    std::string status;
    Clock::time_point at;
};

// The bridge against a library whose content the test knows.
class MpxLibrary : public MpxEndToEnd {
protected:
    void start(const std::string& scenario, const std::string& settings) {
        content_ = content_of(scenario);
        MpxEndToEnd::start(scenario, settings);
    }
    // The title and channel name that the simulator serves for the recording at list position n.
    std::string title(int n) { return shown_text(content_.recordings[static_cast<size_t>(n) - 1].title); }
    std::string channel(int n) {
        return channel_name(content_, content_.recordings[static_cast<size_t>(n) - 1].channel);
    }
    int channel_id(int n) { return content_.recordings[static_cast<size_t>(n) - 1].channel; }

    // A library larger than the bridge's receive buffer, newest first, three in progress at its
    // head: every poll on one connection yields the recordings at its head and the tags of
    // those in progress.
    void expect_large_library_read_whole(int count) {
        std::string scenario = "library " + std::to_string(count) + " in-progress 3\n";
        ASSERT_NO_FATAL_FAILURE(start(scenario, "Debug=1\nMPExtended_Wait=1\n"));
        ASSERT_GE(content_.recordings.size(), 98u);
        ASSERT_TRUE(answers(4, 60000)) << "fewer than four answers in 60 s";
        // The fourth answer may still be on its way; three polls were processed whole.
        EXPECT_TRUE(wait_until([&] { return line_count(log(), "start=") >= 9; }, 15000))
            << "the recordings in progress were not derived at each of three polls";
        std::vector<MP_TagEntry> t = tags();
        EXPECT_EQ(accepts(), 1) << "the polls did not stay on one connection";
        EXPECT_EQ(line_count(log(), "does not fit"), 0);
        EXPECT_EQ(status_of(t[0]), "OK");
        EXPECT_EQ(shown(t, "Rec1.Title"), "1/0/" + title(1));
        EXPECT_EQ(shown(t, "Rec2.Title"), "1/0/" + title(2));
        EXPECT_EQ(shown(t, "IsRecording"), "1/1/true");
        EXPECT_EQ(shown(t, "Recordings"), "1/3/Three");
        EXPECT_EQ(shown(t, "IRecordings"), "0/3/3");
        for (int k = 1; k <= 3; k++) {
            std::string r = "Recording" + std::to_string(k);
            EXPECT_EQ(shown(t, r + ".Entry"), "0/" + std::to_string(k) + "/" + kWords[k]);
            EXPECT_EQ(shown(t, r + ".IsRecording"), "1/0/true");
            EXPECT_EQ(shown(t, r + ".Title"), "1/0/" + title(k));
            EXPECT_EQ(shown(t, r + ".ChannelName"), "0/0/" + channel(k));
            EXPECT_EQ(shown(t, "Channel" + std::to_string(channel_id(k)) + ".DisplayName"), "1/0/" + channel(k));
        }
        for (int d = 4; d <= 9; d++)
            EXPECT_EQ(shown(t, "Recording" + std::to_string(d) + ".IsRecording"), "1/0/false") << d;
    }

    // Watches the published status line from now until done(seen) holds, or until ms have
    // passed: every change, with when it was seen.
    template <class Done>
    std::vector<Seen> watch_status(Done done, int ms) {
        std::vector<Seen> seen;
        wait_until([&] {
            MP_TagEntry h = block_->header();
            if (state_of(h) != std::string("Numtags\0", 8)) return false;
            std::string s = status_of(h);
            if (seen.empty() || seen.back().status != s) seen.push_back({s, Clock::now()});
            return done(seen);
        }, ms);
        return seen;
    }

    Scenario content_;
};

TEST_F(MpxLibrary, LibraryOf200RecordingsLargerThanTheBufferIsReadOnOneConnection) {
    expect_large_library_read_whole(200);
}

TEST_F(MpxLibrary, LibraryOf1500RecordingsOfOver2MBIsReadOnOneConnection) {
    expect_large_library_read_whole(1500);
}

// 98 series episodes fill 23 tags each, more than the table holds beside the tags that a display
// shows; those are kept, and the shortage is reported once.
TEST_F(MpxLibrary, SeriesEpisodesThatFillTheTableLeaveTheDisplayTagsStored) {
    ASSERT_NO_FATAL_FAILURE(start("library 98 series all in-progress 2 short\n", "Debug=1\nMPExtended_Wait=1\n"));
    ASSERT_TRUE(content_.recordings[0].episode && content_.recordings[97].episode);
    ASSERT_TRUE(answers(4, 40000)) << "fewer than four answers in 40 s";
    // Three polls are processed whole once the fourth answer is on its way, and a fourth
    // publication follows it within the pause.
    EXPECT_TRUE(wait_until([&] { return line_count(log(), "start=") >= 6; }, 15000))
        << "the recordings in progress were not derived at each of three polls";
    std::vector<MP_TagEntry> t = tags();
    EXPECT_EQ(accepts(), 1);
    EXPECT_EQ(status_of(t[0]), "OK");
    EXPECT_EQ(shown(t, "IsRecording"), "1/1/true");
    EXPECT_EQ(shown(t, "Recordings"), "1/2/Two");
    EXPECT_EQ(shown(t, "IRecordings"), "0/2/2");
    for (int k = 1; k <= 2; k++) {
        std::string r = "Recording" + std::to_string(k);
        EXPECT_EQ(shown(t, r + ".Title"), "1/0/" + title(k));
        EXPECT_EQ(shown(t, r + ".ChannelName"), "0/0/" + channel(k));
        EXPECT_EQ(shown(t, "Channel" + std::to_string(channel_id(k)) + ".DisplayName"), "1/0/" + channel(k));
    }
    for (int d = 3; d <= 9; d++)
        EXPECT_EQ(shown(t, "Recording" + std::to_string(d) + ".IsRecording"), "1/0/false") << d;
    std::vector<std::string> l = log();
    EXPECT_EQ(line_count(l, "Tag table nearly full"), 1);
    int at = line_index(l, "Tag table nearly full");
    if (at >= 0) {
        EXPECT_NE(l[static_cast<size_t>(at)].find("**Error**"), std::string::npos) << l[static_cast<size_t>(at)];
    }
}

// A list of 100 that fits the buffer: the first 98 are taken, and everything is derived from
// them; the one in progress at position 100 is not among them. The excess is the normal state
// of a large library: said once per connection, not at every poll.
TEST_F(MpxLibrary, MoreThan98RecordingsAreDerivedFromTheFirst98) {
    ASSERT_NO_FATAL_FAILURE(start("recording -1800 1800 yes 5 Tatort: Sch\xC3\xBCsse im Morgengrauen\n"
                                  "recording -900 2700 yes 3 Das Boot\n"
                                  "generate 97\n"
                                  "recording -300 3300 yes 7 Sp\xC3\xA4te Nachricht\n",
                                  "Debug=1\nMPExtended_Wait=1\n"));
    ASSERT_EQ(content_.recordings.size(), 100u);
    ASSERT_TRUE(answers(2, 40000)) << "fewer than two answers in 40 s";
    // The first answer has been processed whole once the second has gone out.
    std::vector<MP_TagEntry> t;
    EXPECT_TRUE(wait_until([&] {
        t = tags();
        return shown(t, "IsRecording") == "1/1/true";
    }, 5000)) << "IsRecording " << shown(t, "IsRecording");
    EXPECT_EQ(shown(t, "NRecordings"), "1/98/NinetyEight");
    EXPECT_EQ(shown(t, "Recordings"), "1/2/Two");
    EXPECT_EQ(shown(t, "IRecordings"), "0/2/2");
    EXPECT_EQ(shown(t, "Recording1.Entry"), "0/1/One");
    EXPECT_EQ(shown(t, "Recording1.Title"), "1/0/Tatort: Sch sse im Morgengrauen");
    EXPECT_EQ(shown(t, "Recording1.ChannelName"), "0/0/Das Erste");
    EXPECT_EQ(shown(t, "Recording2.Entry"), "0/2/Two");
    EXPECT_EQ(shown(t, "Recording2.Title"), "1/0/Das Boot");
    EXPECT_EQ(shown(t, "Recording2.ChannelName"), "0/0/ZDF");
    EXPECT_FALSE(tag_named(t, "Recording3.Title").found) << "position 100 was derived";
    EXPECT_EQ(shown(t, "Recording3.IsRecording"), "1/0/false");
    EXPECT_EQ(shown(t, "Rec98.Title"), "1/0/Archive programme 96");
    EXPECT_FALSE(tag_named(t, "Rec99.Title").found);
    // Said once on this connection, over at least three polls (four answers processed once the
    // fifth has gone out).
    ASSERT_TRUE(answers(5, 15000));
    EXPECT_EQ(accepts(), 1);
    EXPECT_EQ(line_count(log(), "Too many recordings in message"), 1);
}

// Answers whose whole size is 4,096 bytes or a multiple of it, each arriving in one piece: each
// is taken as soon as it is there, so that the polls follow each other a second apart.
TEST_F(MpxLibrary, AnswersOfExactMultiplesOf4096BytesAreTakenAtOnce) {
    ASSERT_NO_FATAL_FAILURE(start("library 2 in-progress 1\n"
                                  "on 1 total 4096\non 2 total 8192\non 3 total 65536\non * total 12288\n",
                                  "Debug=1\nMPExtended_Wait=1\n"));
    // With a pause of 1 s, five answers take about five seconds; a bridge that waits for bytes
    // that are not coming takes 10 s for each.
    EXPECT_TRUE(answers(5, 15000)) << count_prefix(sim_.events(), "answer ") << " answers in 15 s";
    std::vector<std::string> ev = sim_.events();
    EXPECT_EQ(line_index(ev, "sent as it is"), -1) << "the simulator could not make an answer of that size";
    EXPECT_GE(line_index(ev, "answer 1 total"), 0);
    EXPECT_GE(line_index(ev, "answer 3 total"), 0);
    EXPECT_EQ(accepts(), 1);
    EXPECT_EQ(line_count(log(), "No answer from MPExtended"), 0);
    std::vector<MP_TagEntry> t = tags();
    EXPECT_EQ(status_of(t[0]), "OK");
    EXPECT_EQ(shown(t, "Recording1.Title"), "1/0/" + title(1));
    EXPECT_EQ(shown(t, "NRecordings"), "1/2/Two");
}

// A stall in the middle of a recordings answer gives the connection up with a failure status,
// and "OK" is not published from the stall until the next connection attempt 5 s after the
// give-up. A channel answer that stalls is given up the same way; the processing tests cover it
// in process, where the answer limit is short.
TEST_F(MpxLibrary, StallInTheMiddleOfAnAnswerPublishesAFailureAndNeverOK) {
    // The answer limit and the reconnect pause shortened: the stall is given up after 1.5 s.
    TestLimits limits("answer=1500,reconnect=1000");
    ASSERT_NO_FATAL_FAILURE(start("library 3 in-progress 1\non 1 stall-mid\n", "Debug=1\nMPExtended_Wait=1\n"));
    // Every status until the one after the give-up: the first attempt's answer stalls, and
    // the next attempt, a reconnect pause on, is served whole.
    const std::string failed = "MP_recv Failed: Error at socket(): 10060";
    size_t failure = 0;
    std::vector<Seen> seen = watch_status([&](const std::vector<Seen>& so_far) {
        for (size_t i = 0; i + 1 < so_far.size(); i++)
            if (so_far[i].status == failed) return failure = i, true;
        return false;
    }, 40000);
    std::string shown_seen;
    for (const Seen& s : seen) shown_seen += " [" + s.status + "]";
    ASSERT_GE(seen.size(), 2u) << "statuses seen:" << shown_seen;
    ASSERT_EQ(seen[failure].status, failed) << "statuses seen:" << shown_seen;
    EXPECT_GE(line_index(sim_.events(), "stall 1"), 0);
    for (size_t i = 0; i < failure; i++) EXPECT_NE(seen[i].status, "OK") << "statuses seen:" << shown_seen;
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(seen[failure + 1].at - seen[failure].at);
    EXPECT_GE(gap.count(), 800) << "the next attempt came too soon after the give-up";
}

}  // namespace
