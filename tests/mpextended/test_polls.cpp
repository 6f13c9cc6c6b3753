// test_polls.cpp - the real Vistrel_MPExtended polling the TV-service simulator: requests, tags, misbehaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "mpx_fixture.h"
#include "vp.h"

namespace {

const std::string kRecordingsLine =
    "GET /MpExtended/TVAccessService/json/GetRecordings?sort=3&order=1 HTTP/1.1\r\n";
const std::string kChannelLine = "GET /MpExtended/TVAccessService/json/GetChannelBasicById?channelId=";

std::string request(const std::string& line, const std::string& b64) {
    return line + "Host: 127.0.0.1:40505\r\nAuthorization: Basic " + b64 +
           "\r\nAccept: application/json; charset=utf-8\r\n\r\n";
}

// The requests as the simulator received them, one per element.
std::vector<std::string> split_requests(const std::string& all) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = all.find("\r\n\r\n", start)) != std::string::npos; start = end + 4)
        out.push_back(all.substr(start, end + 4 - start));
    return out;
}

// The bridge at debug level 3, polling every second.
class MpxPolls : public MpxEndToEnd {
protected:
    void start(const std::string& scenario, const std::string& settings = "") {
        MpxEndToEnd::start(scenario, "Debug=3\nMPExtended_Wait=1\n" + settings);
    }
    // Waits until the simulator has been asked for the recordings n times.
    bool polls(int n, int ms = 20000) { return answers(n, ms); }
    // Waits until the published table satisfies the check, which sees the tags by name, and
    // keeps that table in seen_: the next poll may change it a moment later.
    template <typename Check>
    bool published(Check check, int ms = 20000) {
        return wait_until([&] {
            std::vector<MP_TagEntry> t = block_->tags();
            if (t.size() <= 1 || !check(t)) return false;
            seen_ = t;
            return true;
        }, ms);
    }
    std::vector<MP_TagEntry> seen_;
};

// A tag's type, integer value and text in one comparable text.
std::string shown(const std::vector<MP_TagEntry>& t, const std::string& name) {
    TagValue v = tag_named(t, name);
    if (!v.found) return name + " missing";
    return std::to_string(v.type) + "/" + std::to_string(v.ival) + "/" + v.text;
}

TEST_F(MpxPolls, ThreeRecordingsWithTheSecondInProgress) {
    ASSERT_NO_FATAL_FAILURE(start(
        "user guest\npassword s3cret!\n"
        "recording -86400 -84600 no 1 Morning Show\n"
        "recording -5400 1800 yes 5 Caf\xC3\xA9 Cr\xC3\xA8me\n"
        "recording -172800 -169200 no 7 Late Film\n"
        "channel 5 Das Erste\n",
        "MPExtended_UserName=guest\nMPExtended_Password=s3cret!\n"));
    ASSERT_TRUE(polls(3)) << "fewer than three polls";
    ASSERT_TRUE(published([](auto& p) { return tag_named(p, "Recording1.ChannelName").found; }));

    // The requests byte for byte: the recordings, the unknown channel once, then only the
    // recordings again, all on one connection.
    std::vector<std::string> r = split_requests(sim_.requests());
    ASSERT_GE(r.size(), 4u);
    const std::string b64 = "Z3Vlc3Q6czNjcmV0IQ==";
    EXPECT_EQ(r[0], request(kRecordingsLine, b64));
    EXPECT_EQ(r[1], request(kChannelLine + "5 HTTP/1.1\r\n", b64));
    for (size_t i = 2; i < r.size(); i++) EXPECT_EQ(r[i], request(kRecordingsLine, b64)) << i;
    EXPECT_EQ(accepts(), 1);

    std::vector<MP_TagEntry> t = tags();
    EXPECT_EQ(status_of(t[0]), "OK");
    EXPECT_EQ(shown(t, "NRecordings"), "1/3/Three");
    EXPECT_EQ(shown(t, "IsRecording"), "1/1/true");
    EXPECT_EQ(shown(t, "Recordings"), "1/1/One");
    EXPECT_EQ(shown(t, "IRecordings"), "0/1/1");
    EXPECT_EQ(shown(t, "Recording1.Entry"), "0/2/Two");
    EXPECT_EQ(shown(t, "Recording1.IsRecording"), "1/0/true");
    // Each multi-byte character is one blank.
    EXPECT_EQ(shown(t, "Recording1.Title"), "1/0/Caf  Cr me");
    EXPECT_EQ(shown(t, "Rec1.Title"), "1/0/Morning Show");
    EXPECT_EQ(shown(t, "Rec3.Title"), "1/0/Late Film");
    EXPECT_EQ(shown(t, "Recording1.Duration"), "3/0/2:00:00");
    // The list is made and read within a second or two of each other.
    std::string so_far = shown(t, "Recording1.SoFar");
    EXPECT_TRUE(so_far >= "3/0/1:30:00" && so_far <= "3/0/1:30:02") << so_far;
    EXPECT_EQ(shown(t, "Recording1.IdChannel"), "0/0/5");
    EXPECT_EQ(shown(t, "Recording1.ChannelName"), "0/0/Das Erste");
    EXPECT_EQ(shown(t, "Channel5.DisplayName"), "1/0/Das Erste");
    TagValue start = tag_named(t, "Recording1.StartTime");
    EXPECT_EQ(start.type, 3);
    EXPECT_EQ(start.text, tag_named(t, "Rec2.StartTime").text);
    EXPECT_EQ(start.text.size(), 24u) << start.text;
    for (int d = 2; d <= 9; d++)
        EXPECT_EQ(shown(t, "Recording" + std::to_string(d) + ".IsRecording"), "1/0/false") << d;
    EXPECT_FALSE(tag_named(t, "Recording10.IsRecording").found);
    EXPECT_EQ(line_count(log(), "**Error**"), 0);
}

TEST_F(MpxPolls, ElapsedAndPlannedTimesAndChannelLookups) {
    ASSERT_NO_FATAL_FAILURE(start(
        "recording -46800 3600 yes 5 Long Night\n"
        "recording 3600 7200 yes 7 Tomorrow\n"
        "recording -600 -1200 yes 5 Backwards\n"
        "recording -60 93540 yes 9 Marathon\n"
        "channel 5 Das Erste\nchannel 7 France 2\nchannel 9\n"));
    ASSERT_TRUE(polls(3));
    ASSERT_TRUE(published([](auto& p) { return tag_named(p, "Recording4.ChannelName").found; }));
    std::vector<MP_TagEntry> t = tags();
    // Thirteen hours elapsed and a start in the future both show no time so far.
    EXPECT_EQ(shown(t, "Recording1.SoFar"), "3/0/0:00:00");
    EXPECT_EQ(shown(t, "Recording1.Duration"), "3/0/14:00:00");
    EXPECT_EQ(shown(t, "Recording2.SoFar"), "3/0/0:00:00");
    EXPECT_EQ(shown(t, "Recording2.Duration"), "3/0/1:00:00");
    std::string so_far = shown(t, "Recording3.SoFar");
    EXPECT_TRUE(so_far >= "3/0/0:10:00" && so_far <= "3/0/0:10:02") << so_far;
    EXPECT_EQ(shown(t, "Recording3.Duration"), "3/0/0:00:00") << "an end before the start";
    EXPECT_EQ(shown(t, "Recording4.Duration"), "3/0/26:00:00");
    EXPECT_EQ(shown(t, "Recording4.Entry"), "0/4/Four");
    EXPECT_EQ(shown(t, "Recordings"), "1/4/Four");
    EXPECT_EQ(shown(t, "IRecordings"), "0/4/4");
    for (int d = 5; d <= 9; d++)
        EXPECT_EQ(shown(t, "Recording" + std::to_string(d) + ".IsRecording"), "1/0/false") << d;
    EXPECT_EQ(shown(t, "Recording1.ChannelName"), "0/0/Das Erste");
    EXPECT_EQ(shown(t, "Recording2.ChannelName"), "0/0/France 2");
    EXPECT_EQ(shown(t, "Recording3.ChannelName"), "0/0/Das Erste");
    EXPECT_EQ(shown(t, "Recording4.ChannelName"), "0/0/");

    // Channel 5 serves two recordings with one request; a known name is not asked again,
    // and the empty answer of channel 9 is asked again at every poll.
    std::vector<std::string> ev = sim_.events();
    EXPECT_EQ(count_prefix(ev, "channel 5 "), 1);
    EXPECT_EQ(count_prefix(ev, "channel 7 "), 1);
    int polls_done = count_prefix(ev, "answer ");
    int nine = count_prefix(ev, "channel 9 ");
    EXPECT_GE(nine, 2);
    EXPECT_LE(nine, polls_done);
    EXPECT_GE(line_count(log(), "TCP[MPEx]: Empty channel Message"), 2);
}

// A channel answer is read as the service sends it, raw UTF-8, in every text encoding: its name
// is written as each encoding writes letters, escapes undone, and the recording in progress takes
// it; every encoding publishes the same tags in the same order.
TEST_F(MpxPolls, ChannelNamesInEachTextEncoding) {
    struct Expected {
        const char* name;
        const char* channel;
    };
    const Expected modes[] = {
        {"Raw", "\xC3\x96sterreich \xC2\xAB" "Eins\xC2\xBB \\\"live\\\""},
        {"Windows-1252", "\xD6sterreich \xAB" "Eins\xBB \"live\""},
        {"ASCII", "Osterreich <<Eins>> \"live\""},
        {"UTF-8", "\xC3\x96sterreich \xC2\xAB" "Eins\xC2\xBB \"live\""},
    };
    std::vector<std::string> raw_names;
    for (const Expected& m : modes) {
        SCOPED_TRACE(m.name);
        block_.reset();
        bridge_.stop();
        sim_.stop();
        for (const char* f : {"port.txt", "events.txt", "requests.txt"}) remove(f);
        ASSERT_NO_FATAL_FAILURE(start("recording -1800 1800 yes 5 Evening News\n"
                                      "channel 5 \xC3\x96sterreich \xC2\xAB" "Eins\xC2\xBB \"live\"\n",
                                      std::string("Text_Encoding=") + m.name + "\n"));
        ASSERT_TRUE(published([](auto& p) { return tag_named(p, "Recording1.ChannelName").found; }));
        std::vector<MP_TagEntry> t = seen_;
        EXPECT_EQ(std::string("1/0/") + m.channel, shown(t, "Channel5.DisplayName"));
        EXPECT_EQ(std::string("0/0/") + m.channel, shown(t, "Recording1.ChannelName"));
        std::vector<std::string> names;
        for (size_t i = 1; i < t.size(); i++) names.push_back(t[i].name);
        if (raw_names.empty()) raw_names = names;
        EXPECT_EQ(raw_names, names);
    }
}

TEST_F(MpxPolls, BodyInThreePiecesCutInsideCharacters) {
    ASSERT_NO_FATAL_FAILURE(start("on 1 split 3 300 mid\n"));
    ASSERT_TRUE(polls(2));
    ASSERT_TRUE(published([](auto& p) { return tag_named(p, "Recording1.ChannelName").found; }));
    std::vector<std::string> ev = sim_.events();
    EXPECT_EQ(count_prefix(ev, "piece "), 3);

    std::vector<std::string> l = log();
    int first = line_index(l, "Got a message");
    int processed = line_index(l, "start=", first);
    ASSERT_GE(first, 0);
    int waits = 0;
    for (int i = first; i < processed; i++)
        waits += l[static_cast<size_t>(i)].find("Waiting for extra data in process_MP_Extended") !=
                 std::string::npos;
    EXPECT_EQ(waits, 2);

    std::vector<MP_TagEntry> t = tags();
    EXPECT_EQ(shown(t, "NRecordings"), "1/5/Five");
    EXPECT_EQ(shown(t, "Recording1.Title"), "1/0/Tatort: Sch sse im Morgengrauen");
    EXPECT_EQ(shown(t, "Rec2.Title"), "1/0/Caf  Society");
    EXPECT_EQ(shown(t, "Rec3.Title"), "1/0/Les Mis rables");
    EXPECT_EQ(shown(t, "Rec4.Title"), "1/0/Nachrichten  ber  sterreich");
    EXPECT_EQ(shown(t, "Rec5.Title"), "1/0/Das Boot");
    EXPECT_EQ(shown(t, "Recording1.ChannelName"), "0/0/Das Erste");
    // The default settings: user admin and the built-in password.
    std::vector<std::string> r = split_requests(sim_.requests());
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], request(kRecordingsLine, "YWRtaW46dnN0cmw="));
}

TEST_F(MpxPolls, EmptyListNoRecordingObjectsAndTooManyRecordings) {
    std::string many = "[";
    for (int i = 1; i <= 120; i++)
        many += (i > 1 ? ",{" : "{") + std::string("\"Description\":\"d\",\"Title\":\"t") +
                std::to_string(i) + "\"}";
    many += "]";
    ASSERT_NO_FATAL_FAILURE(start("on 2 body []\non 3 body [{\"Foo\":1}]\non 4 body " + many + "\n"));
    // The default list first: one recording in progress.
    ASSERT_TRUE(published([](auto& p) { return shown(p, "Recordings") == "1/1/One"; }));
    // "[]": not recording; the counts stay; the clearing starts above the one in progress.
    ASSERT_TRUE(published([](auto& p) { return shown(p, "IsRecording") == "1/0/false"; }));
    std::vector<MP_TagEntry> t = seen_;
    EXPECT_EQ(shown(t, "NRecordings"), "1/5/Five");
    EXPECT_EQ(shown(t, "Recordings"), "1/1/One");
    EXPECT_EQ(shown(t, "IRecordings"), "0/1/1");
    EXPECT_EQ(shown(t, "Recording1.IsRecording"), "1/0/true");
    EXPECT_EQ(shown(t, "Recording2.IsRecording"), "1/0/false");
    // A list without recording objects: none found, the counts of those in progress stay.
    ASSERT_TRUE(published([](auto& p) { return shown(p, "NRecordings") == "1/0/None"; }));
    t = seen_;
    EXPECT_EQ(shown(t, "IsRecording"), "1/0/false");
    EXPECT_EQ(shown(t, "Recordings"), "1/1/One");
    // 120 recordings: the first 98 are taken and everything is derived from them; none of
    // them is in progress.
    ASSERT_TRUE(published([](auto& p) { return shown(p, "NRecordings") == "1/98/NinetyEight"; }));
    t = seen_;
    EXPECT_FALSE(tag_named(t, "Rec99.Title").found);
    EXPECT_EQ(shown(t, "NRecordings"), "1/98/NinetyEight");
    // Rec1.IsRecording of the first list is still in the table (tags are never removed), so
    // the first of the 98 counts as in progress, now with the title of the new list.
    EXPECT_EQ(shown(t, "Recordings"), "1/1/One");
    EXPECT_EQ(shown(t, "Recording1.Title"), "1/0/t1");
    ASSERT_TRUE(wait_until([&] { return line_index(log(), "Too many recordings in message") >= 0; }, 5000));
    std::vector<std::string> l = log();
    EXPECT_EQ(line_count(l, "TCP[MPEx]: Empty Message"), 1);
    EXPECT_EQ(line_count(l, "**Error**"), 0) << "a large library is no fault";
}

// Answers without a usable length and a service that closes in the middle of an answer end
// the conversation with a status that says why, never "OK", and the connection is made afresh
// 5 s later; odd lengths that still frame an answer, and an answer larger than the buffer, are
// taken on the same connection.
TEST_F(MpxPolls, MisbehavingAnswersAreSurvived) {
    TestLimits limits("reconnect=1000");
    ASSERT_NO_FATAL_FAILURE(start("on 1 no-length\non 2 length abc\non 3 length -5\non 4 length 100\n"
                                  "on 5 pad 70000\non 6 close-mid\n"));
    // The statuses as the block shows them, in the order they come, each with the number of
    // connections the simulator had accepted when it was seen.
    std::vector<std::string> statuses;
    std::vector<int> accepts;
    ASSERT_TRUE(wait_until([&] {
        std::string now = status_of(block_->header());
        std::vector<std::string> ev = sim_.events();
        if (statuses.empty() || statuses.back() != now) {
            statuses.push_back(now);
            accepts.push_back(count_prefix(ev, "accept "));
        }
        return count_prefix(ev, "answer ") >= 7;
    }, 40000)) << "the bridge did not come back after the misbehaviour";
    ASSERT_TRUE(published([](auto& p) { return shown(p, "NRecordings") == "1/5/Five"; }));
    EXPECT_EQ(status_of(tags()[0]), "OK");
    auto seen = [&](const std::string& status) {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    };
    EXPECT_TRUE(seen("Unusable answer: No Content-Length"));
    EXPECT_TRUE(seen("MP_recv Failed: Connection closed during an answer"));
    // "OK" follows a conversation given up only on a new connection.
    for (size_t i = 1; i < statuses.size(); i++) {
        if (statuses[i] == "OK" && statuses[i - 1] != "OK" && statuses[i - 1] != "Connecting.....") {
            EXPECT_GT(accepts[i], accepts[i - 1]) << "a conversation given up was reported as success after "
                                                  << statuses[i - 1];
        }
    }

    std::vector<std::string> l = log();
    EXPECT_EQ(line_count(l, "TCP[MPEx]: No Content-Length"), 2);
    EXPECT_EQ(line_count(l, "TCP[MPEx]: Empty Message"), 1) << "a negative length is an empty body";
    EXPECT_EQ(line_count(l, "does not fit"), 0);
    EXPECT_EQ(line_count(l, "TCP[MPEx]: Connection closed in process_MP_Extended"), 1);

    // Three conversations were given up (no length twice, the close), each followed by a
    // connection a reconnect pause (1 s here) later; the long answer was taken on the same connection as its neighbours.
    std::vector<std::string> ev = sim_.events();
    std::vector<long long> at = sim_.event_times();
    EXPECT_EQ(count_prefix(ev, "accept "), 4);
    int closed = line_index(ev, "closed by client 1");
    int again = line_index(ev, "accept 2");
    ASSERT_GE(closed, 0);
    ASSERT_GT(again, closed);
    EXPECT_GE(at[static_cast<size_t>(again)] - at[static_cast<size_t>(closed)], 900);
    EXPECT_LT(line_index(ev, "answer 5 "), line_index(ev, "accept 4"));
    EXPECT_GT(line_index(ev, "answer 5 "), line_index(ev, "accept 3"));
}

// A server that takes the request and never answers is given up after the answer limit with
// an error line; the next connection polls as usual.
TEST_F(MpxPolls, SilentServerIsGivenUp) {
    TestLimits limits("answer=2000,reconnect=500");
    ASSERT_NO_FATAL_FAILURE(start("on 1 stall\n"));
    ASSERT_TRUE(polls(2, 40000));
    ASSERT_TRUE(published([](auto& p) { return shown(p, "Recordings") == "1/1/One"; }));
    std::vector<std::string> l = log();
    int given_up = line_index(l, "No answer from MPExtended for 2000 ms; reconnecting");
    ASSERT_GE(given_up, 0);
    EXPECT_NE(l[static_cast<size_t>(given_up)].find("**Error**"), std::string::npos);
    EXPECT_GE(line_index(l, "TCP[MPEx]: MP_recv Failed: Error at socket(): 10060"), 0);
    std::vector<std::string> ev = sim_.events();
    EXPECT_GE(line_index(ev, "closed by client 1"), 0);
    EXPECT_GE(line_index(ev, "accept 2"), 0);
}

}  // namespace
