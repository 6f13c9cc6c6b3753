// test_e2e.cpp - the real Vistrel_WIFIRemote against the plug-in simulator: bytes, tags, timing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mp_tags.h"
#include "isolate.h"
#include "scratch.h"
#include "vp.h"

namespace {

// The bridge's block in this test process.
const char* block_name() {
    static const std::string name = run_block_name("Vistrel_WIFIRemote");
    return name.c_str();
}
const std::string kRequestStatus = "{\"Type\":\"requeststatus\"}\r\n\r\n";
const std::string kRequestNowPlaying = "{\"Type\":\"requestnowplaying\"}\r\n\r\n";

// One line of the simulator's journal: milliseconds, event word, text.
struct Event {
    long long ms;
    std::string what;
    std::string text;
    size_t line;  // its place in the journal: the order of two events stamped in one millisecond
};

std::string computer_name() {
    char name[256];
    return vp_computer_name(name, sizeof name) == 0 ? name : "Computer Name not Known";
}

std::string identify_head() {
    return "{\"Type\":\"identify\",\"Name\":\"" + computer_name() +
           "\",\"Application\":\"Vistrelbox MP Client\",\"Version\":\"1.0.6.18\","
           "\"AutologinKey\":null,\"Authenticate\":";
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

void end_process(long& pid) {
    if (pid <= 0) return;
    vp_proc_kill(static_cast<uint32_t>(pid));
    wait_until([&] { return !vp_proc_alive(static_cast<uint32_t>(pid)); }, 10000);
    pid = -1;
}

// A scratch directory with the simulator and the bridge: the simulator listens on a free port,
// which then goes into the settings file that both read. Both end, and the block goes, however
// the test ends.
class WfrEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vp_net_start());
        vp_shm_unlink(block_name());
    }
    void TearDown() override {
        stop();
        if (HasFailure()) printf("Simulator journal:\n%s", read_file("journal.txt").c_str());
    }

    void start(const std::string& cfg, const std::string& sim_options) {
        stop();
        for (const char* f : {"port.txt", "journal.txt", "raw.bin", VP_PLUGINS "Vistrel_WIFIRemote.log"})
            remove(f);
        write_file(VP_PLUGINS "MP.cfg", "Debug=3\n" + cfg);
        std::string command = "vistrel_wifisim --port 0 --port-file port.txt --journal journal.txt "
                              "--raw raw.bin --cfg " VP_PLUGINS "MP.cfg " + sim_options;
        sim_ = vp_spawn_detached(VISTREL_VISTREL_WIFISIM, command.c_str());
        ASSERT_GT(sim_, 0);
        ASSERT_TRUE(wait_until([] { return atoi(read_file("port.txt").c_str()) > 0; }, 20000));
        write_file(VP_PLUGINS "MP.cfg", read_file(VP_PLUGINS "MP.cfg") + "WifiRemote_Port=" +
                                            std::to_string(atoi(read_file("port.txt").c_str())) + "\n");
        bridge_ = vp_spawn_detached(VISTREL_VISTREL_WIFIREMOTE, "Vistrel_WIFIRemote");
        ASSERT_GT(bridge_, 0);
    }
    void stop() {
        end_process(bridge_);
        end_process(sim_);
        vp_shm_unlink(block_name());
    }

    std::vector<Event> journal() const {
        std::vector<Event> events;
        for (const std::string& line : read_lines("journal.txt")) {
            size_t a = line.find(' ');
            size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
            if (b == std::string::npos) continue;
            events.push_back({atoll(line.c_str()), line.substr(a + 1, b - a - 1), line.substr(b + 1), events.size()});
        }
        return events;
    }
    // The events of that kind whose text contains part.
    std::vector<Event> events(const std::string& what, const std::string& part = "") const {
        std::vector<Event> found;
        for (const Event& e : journal())
            if (e.what == what && e.text.find(part) != std::string::npos) found.push_back(e);
        return found;
    }
    bool wait_event(const std::string& what, const std::string& part, size_t count, int ms) {
        return wait_until([&] { return events(what, part).size() >= count; }, ms);
    }
    std::string raw() const { return read_file("raw.bin"); }
    int log_count(const std::string& part) const {
        int n = 0;
        for (const std::string& line : read_lines(VP_PLUGINS "Vistrel_WIFIRemote.log"))
            if (line.find(part) != std::string::npos) n++;
        return n;
    }

    // The published table as a reader copies it: header first, then the tags it counts.
    std::vector<MP_TagEntry> block() const {
        std::vector<MP_TagEntry> tags;
        vp_shm shm = VP_NO_SHM;
        void* view = nullptr;
        if (vp_shm_open(block_name(), MP_BLOCK_SIZE, &shm) != 0) return tags;
        if (vp_shm_map(shm, MP_BLOCK_SIZE, 1, &view) == 0) {
            MP_TagEntry header;
            memcpy(&header, view, sizeof header);
            if (memcmp(header.name, "Numtags", 8) == 0 && header.len >= 0 && header.len <= MP_MAXTAGS) {
                tags.resize(static_cast<size_t>(header.len) + 1);
                memcpy(tags.data(), view, tags.size() * sizeof(MP_TagEntry));
            }
            vp_shm_unmap(view, MP_BLOCK_SIZE);
        }
        vp_shm_close(shm);
        return tags;
    }
    // A tag's text as published, or "<none>".
    std::string tag(const std::string& name) const {
        std::vector<MP_TagEntry> tags = block();
        for (size_t i = 1; i < tags.size(); i++)
            if (name == tags[i].name) return std::string(tags[i].string, strnlen(tags[i].string, 257));
        return "<none>";
    }
    bool wait_tag(const std::string& name, const std::string& text, int ms) {
        return wait_until([&] { return tag(name) == text; }, ms);
    }
    // The block's last bytes, where the bridge names the encoding of its texts.
    std::string marker() const {
        vp_shm shm = VP_NO_SHM;
        void* view = nullptr;
        std::string text;
        if (vp_shm_open(block_name(), MP_BLOCK_SIZE, &shm) != 0) return text;
        if (vp_shm_map(shm, MP_BLOCK_SIZE, 1, &view) == 0) {
            const char* at = static_cast<const char*>(view) + MP_BLOCK_SIZE - 64;
            text.assign(at, strnlen(at, 64));
            vp_shm_unmap(view, MP_BLOCK_SIZE);
        }
        vp_shm_close(shm);
        return text;
    }
    // The published status line, whatever the state of the block ("" before the first).
    std::string status() const {
        vp_shm shm = VP_NO_SHM;
        void* view = nullptr;
        std::string text;
        if (vp_shm_open(block_name(), MP_BLOCK_SIZE, &shm) != 0) return text;
        if (vp_shm_map(shm, MP_BLOCK_SIZE, 1, &view) == 0) {
            MP_TagEntry header;
            memcpy(&header, view, sizeof header);
            text.assign(header.string, strnlen(header.string, 257));
            vp_shm_unmap(view, MP_BLOCK_SIZE);
        }
        vp_shm_close(shm);
        return text;
    }

    ScratchDir dir_;
    long sim_ = -1;
    long bridge_ = -1;
};

TEST_F(WfrEndToEnd, IdentifyInTheVariantThatTheWelcomeNames) {
    // The credentials hold characters that must be escaped to keep the message valid JSON; the
    // simulator reads them from the same settings file and accepts them only when they arrive
    // intact.
    const std::string cfg = "WifiRemote_UserName=Vie\\wer\nWifiRemote_Password=se\"cret\nWifiRemote_Passcode=9\"1\n";
    const std::string tails[4] = {
        "null}\r\n\r\n",
        "{ \"AuthMethod\":\"userpass\",\"Password\":\"se\\\"cret\",\"User\":\"Vie\\\\wer\"}}\r\n\r\n",
        "{ \"AuthMethod\":\"passcode\",\"PassCode\":\"9\\\"1\"}}\r\n\r\n",
        "{ \"AuthMethod\":\"userpass\",\"Password\":\"se\\\"cret\",\"User\":\"Vie\\\\wer\",\"passcode\":\"9\\\"1\"}}\r\n\r\n"};
    for (int method = 0; method < 4; method++) {
        SCOPED_TRACE(method);
        ASSERT_NO_FATAL_FAILURE(start(cfg, "--chatter 0 --auth " + std::to_string(method)));
        ASSERT_TRUE(wait_event("AUTH", "", 1, 20000));
        EXPECT_EQ(1u, events("AUTH", "ok").size());
        std::string expected = identify_head() + tails[method];
        EXPECT_EQ(expected, raw().substr(0, expected.size()));
        EXPECT_EQ(1u, count_of(raw(), "\"Type\":\"identify\""));
    }
}

TEST_F(WfrEndToEnd, NoIdentifyForABlankBeforeTheDigit) {
    write_file("welcome.txt", "{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\": 2}\r\n");
    ASSERT_NO_FATAL_FAILURE(start("", "--chatter 0 --welcome-file welcome.txt"));
    ASSERT_TRUE(wait_until([&] { return log_count("no identify sent") == 1; }, 20000));
    EXPECT_EQ("", raw());
    // The line is flattened up to the value that begins with a blank.
    EXPECT_TRUE(wait_tag("Server_Version", "14", 5000));
}

// The rounds of status requests go out a poll spacing apart (5 s; 1.5 s here).
TEST_F(WfrEndToEnd, PropertiesStatusAndNowPlayingReachTheBlockOnePollSpacingApart) {
    TestLimits limits("poll=1500");
    // Beside two short ones, twelve properties of 40 characters: ten of them take the first
    // request past 500 characters, so the last two go into the second request.
    std::string cfg = "Properties=Play.Current.Genre\nProperties=TV.View.title\n";
    std::string first = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Title\",\"#Play.Current.Genre\",\"#TV.View.title\"";
    std::string second = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Channel\"";
    for (int i = 0; i < 12; i++) {
        std::string name = "Play.Current.Extra" + std::to_string(10 + i) + std::string(20, 'x');
        cfg += "Properties=" + name + "\n";
        (i < 10 ? first : second) += ",\"#" + name + "\"";
    }
    first += "]}\r\n\r\n";
    second += "]}\r\n\r\n";
    ASSERT_GT(first.size(), 500u);
    ASSERT_NO_FATAL_FAILURE(start(cfg, "--auth 1 --auth-delay 2000 --chatter 700"));

    // Before authentication the seeded tags stand, empty.
    ASSERT_TRUE(wait_event("RECV", "\"Type\":\"identify\"", 1, 20000));
    ASSERT_TRUE(wait_tag("Type", "welcome", 5000));
    EXPECT_EQ("", tag("Properties.Play.Current.Genre"));
    EXPECT_EQ("0", tag("Position"));
    EXPECT_EQ("0", tag("Duration"));

    ASSERT_TRUE(wait_event("RECV", "requeststatus", 2, 30000));
    std::vector<Event> auth = events("AUTH");
    std::vector<Event> status = events("RECV", "requeststatus");
    ASSERT_EQ(1u, auth.size());
    EXPECT_EQ("ok", auth[0].text);
    // After the authentication: later in the journal, which may stamp both with one millisecond
    // on a busy machine.
    EXPECT_GT(status[0].line, auth[0].line);
    // The simulator stamps each request as it reads it, a few milliseconds late now and then.
    EXPECT_GE(status[1].ms - status[0].ms, 1400);
    EXPECT_EQ(2u, events("RECV", "\"Type\":\"properties\"").size());

    // Both requests byte for byte; each status request is followed by the now-playing one.
    std::string bytes = raw();
    EXPECT_NE(std::string::npos, bytes.find(first + second));
    EXPECT_NE(std::string::npos, bytes.find(kRequestStatus + kRequestNowPlaying));
    EXPECT_EQ(count_of(bytes, kRequestStatus), count_of(bytes, kRequestStatus + kRequestNowPlaying));

    ASSERT_TRUE(wait_event("SEND", "\"Type\":\"nowplaying\"", 2, 10000));
    EXPECT_TRUE(wait_tag("MediaInfo.CurrentProgram.Title", "Evening News", 5000));
    EXPECT_EQ("News", tag("Properties.Play.Current.Genre"));
    EXPECT_EQ("Evening News", tag("Properties.TV.View.title"));
    EXPECT_EQ("BBC One", tag("Properties.Play.Current.Channel"));
    EXPECT_EQ("", tag("Properties.Play.Current.Extra21xxxxxxxxxxxxxxxxxxxx"));
    EXPECT_EQ("1800", tag("Duration"));
    EXPECT_EQ("BBC One", tag("MediaInfo.ChannelName"));
    EXPECT_EQ("2026-12-07T18:00:00", tag("MediaInfo.CurrentProgram.StartTime"));
    EXPECT_EQ("Weather", tag("NextProgram.Title"));
    EXPECT_EQ("Evening News", tag("Title"));
    EXPECT_EQ("true", tag("IsPlaying"));
    // The item plays on: the second round's later position is the one published.
    std::vector<Event> played = events("SEND", "\"Type\":\"nowplaying\"");
    auto position_in = [](const std::string& text) {
        size_t at = text.find("\"Position\":");
        return at == std::string::npos ? -1 : atoi(text.c_str() + at + 11);
    };
    int earlier = position_in(played[0].text), later = position_in(played[1].text);
    EXPECT_GE(earlier, 100);
    EXPECT_GT(later, earlier);
    EXPECT_TRUE(wait_tag("Position", std::to_string(later), 5000)) << tag("Position");
    std::vector<MP_TagEntry> tags = block();
    ASSERT_FALSE(tags.empty());
    EXPECT_STREQ("OK", tags[0].string);
}

TEST_F(WfrEndToEnd, MessagesSplitAcrossReceivesAndLedByLineEndsStayWhole) {
    ASSERT_NO_FATAL_FAILURE(start("Properties=Play.Current.Genre\n", "--chatter 0 --auth 2 --split 300 --lead-crlf --garbage"));
    ASSERT_TRUE(wait_event("RECV", "\"Type\":\"properties\"", 1, 20000));
    ASSERT_TRUE(wait_tag("Properties.Play.Current.Genre", "News", 10000));
    EXPECT_EQ(1u, events("AUTH", "ok").size());
    EXPECT_EQ(1u, count_of(raw(), "\"Type\":\"identify\""));
    EXPECT_NE(std::string::npos, raw().find("\"PassCode\":\"4826\"}}\r\n\r\n"));
    EXPECT_EQ("true", tag("Success"));
    EXPECT_EQ("Evening News", tag("Properties.Play.Current.Title"));
    EXPECT_EQ("Type comes second", tag("Note"));
    EXPECT_EQ(1, log_count("**** Unhandled Message does not contain type"));
    // Every message was cut in two, and no half of one was taken for a message.
    EXPECT_GE(events("SPLIT").size(), 6u);
    EXPECT_EQ(0, log_count("TCP[Wifi]: ome\""));
}

TEST_F(WfrEndToEnd, SeveralMessagesInOneBlock) {
    ASSERT_NO_FATAL_FAILURE(start("", "--chatter 0 --glue --garbage"));
    ASSERT_TRUE(wait_event("RECV", "\"Type\":\"properties\"", 1, 20000));
    ASSERT_TRUE(wait_tag("Properties.Play.Current.Title", "Evening News", 10000));
    EXPECT_EQ(1u, count_of(raw(), "\"Type\":\"identify\""));
    EXPECT_EQ("true", tag("Success"));
    EXPECT_EQ("true", tag("IsPlayerOnTop"));
    EXPECT_EQ(1, log_count("TCP[Wifi]: this is no message at all"));
    // Without Properties= lines the first request is its opening and end, and it goes alone.
    EXPECT_NE(std::string::npos,
              raw().find("{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Title\"]}\r\n\r\n"));
    EXPECT_EQ(std::string::npos, raw().find("#Play.Current.Channel"));
}

TEST_F(WfrEndToEnd, ReconnectsFiveSecondsAfterTheServerCloses) {
    ASSERT_NO_FATAL_FAILURE(start("", "--chatter 0 --close-after 2"));
    ASSERT_TRUE(wait_event("ACCEPT", "2", 1, 30000));
    ASSERT_TRUE(wait_event("RECV", "\"Type\":\"identify\"", 2, 10000));
    std::vector<Event> closes = events("CLOSE");
    std::vector<Event> accepts = events("ACCEPT");
    ASSERT_GE(closes.size(), 1u);
    EXPECT_GE(accepts[1].ms - closes[0].ms, 4500);
    // A close that meets the bridge's unread properties request may arrive as a reset.
    EXPECT_TRUE(wait_until([&] {
        return log_count("TCP[Wifi]: Connection closed") + log_count("TCP[Wifi]: MP_recv Failed: Error at socket(): ") >= 1;
    }, 5000));
    // The second welcome brings a second identify and, after it, the properties request again
    // (the first connection closed before the bridge could send it).
    ASSERT_TRUE(wait_event("RECV", "\"Type\":\"properties\"", 1, 10000));
    EXPECT_GE(events("RECV", "\"Type\":\"properties\"")[0].ms, accepts[1].ms);
}

// A message whose size, line end included, is 4,096 bytes or a multiple of it, after which the
// plug-in says nothing for a while: it is acted on as soon as it has arrived.
// A plug-in that is busy and says nothing for a while, its requests unanswered, is still a live
// plug-in: the bridge keeps asking on the same connection and takes its messages when they come
// again. Only a silence of the silence limit (a minute; 5 s here, the quiet 3.5 s beside polls a
// second apart) gives the connection up.
TEST_F(WfrEndToEnd, PlugInQuietForLessThanTheSilenceLimitKeepsItsConnection) {
    TestLimits limits("silence=5000,poll=1000");
    ASSERT_NO_FATAL_FAILURE(start("", "--chatter 0 --quiet 3500"));
    ASSERT_TRUE(wait_event("QUIET", "", 1, 20000)) << "the properties reply never went";
    long long quiet_from = events("QUIET").front().ms;
    // Two rounds of requests go unanswered, then a round after the quiet is answered.
    ASSERT_TRUE(wait_until([&] {
        for (const Event& e : events("SEND", "\"Type\":\"status\""))
            if (e.ms >= quiet_from + 3500) return true;
        return false;
    }, 30000)) << "no status answer after the quiet";
    EXPECT_GE(events("RECV", "requeststatus").size(), 2u);
    EXPECT_TRUE(wait_until([&] {
        std::string type = tag("Type");
        return type == "status" || type == "nowplaying";
    }, 10000)) << "the answers after the quiet were not published";
    EXPECT_EQ(events("ACCEPT").size(), 1u) << "the bridge gave the quiet plug-in up";
    EXPECT_EQ(log_count("No message from WifiRemote"), 0);
    EXPECT_EQ(status(), "OK");
}

TEST_F(WfrEndToEnd, MessagesOfExactMultiplesOf4096BytesAreActedOnAtOnce) {
    for (int size : {4096, 8192}) {
        SCOPED_TRACE(size);
        ASSERT_NO_FATAL_FAILURE(start("", "--chatter 0 --exact " + std::to_string(size)));
        ASSERT_TRUE(wait_event("SEND", "\"Filler\":", 1, 20000));
        std::vector<Event> exact = events("SEND", "\"Filler\":");
        ASSERT_EQ(1u, exact.size());
        EXPECT_EQ(static_cast<size_t>(size), exact[0].text.size() + 2) << "the line end is CR LF";
        EXPECT_TRUE(wait_tag("Properties.Play.Current.Title", "Evening News", 8000))
            << "the message's tags were not published";
        // Nothing followed it before its tags were published.
        std::vector<Event> sent = events("SEND");
        EXPECT_EQ(exact[0].ms, sent.back().ms) << sent.back().text.substr(0, 80);
        EXPECT_EQ("OK", status());
    }
}

// A plug-in that stops reading while it keeps the bridge answering: the bridge's sends find no
// room, and after the send limit it gives the connection up with a failure status and connects
// again.
TEST_F(WfrEndToEnd, PlugInThatStopsReadingIsGivenUpAfterTheSendLimit) {
    // Long properties requests (two of about 4 KB for every authenticationresponse) fill the
    // buffers between the two within a few of the plug-in's messages.
    // At debug level 0 the bridge does not log each of those requests twice.
    std::string cfg = "Debug=0\n";
    TestLimits limits("send=2000,reconnect=500");
    for (int i = 0; i < 60; i++)
        cfg += "Properties=Play.Current.Extra" + std::to_string(100 + i) + std::string(60, 'x') + "\n";
    ASSERT_NO_FATAL_FAILURE(start(cfg, "--chatter 0 --stop-reading"));
    ASSERT_TRUE(wait_event("STOP", "reading", 1, 20000));
    ASSERT_TRUE(wait_until([&] { return status() == "MP_Send Failed: Error at send(): 10060"; }, 30000))
        << "status: " << status();
    EXPECT_TRUE(wait_event("ACCEPT", "2", 1, 15000)) << "no connection after the give-up";
    EXPECT_GE(events("CLOSE", "peer").size(), 1u);
}

// The same messages in each text encoding: the same tag names in the same order, texts as each
// encoding writes them, and the block says which. The plug-in sends every message in two halves,
// and the second message is parted inside a letter, which the bridge carries to the next block.
TEST_F(WfrEndToEnd, EachTextEncodingStoresTheSameTagsWithItsOwnTexts) {
    const std::string first =
        "{\"Type\":\"extra\",\"Recorded\":\"D:\\\\TV\\\\Die Br\xC3\xBC" "cke.ts\",\"Programme\":{\"Title\":\"El Ni\xC3\xB1o "
        "\xE2\x80\x93 Wetter im Wandel\",\"Plot\":\"Nachrichten \\\"live\\\" aus dem Studio.\\u000d\\u000aUntertitel "
        "\\ud83d\\ude00\"}}";
    // Padded so that the half ends with the lead byte of the u umlaut in Zurich.
    std::string second;
    for (int pad = 0; pad < 80; pad++) {
        second = "{\"Type\":\"extra\",\"Place\":\"\xC5\x81\xC3\xB3" "d\xC5\xBA \xE2\x82\xAC" "5 \xC2\xAB" "Krimi\xC2\xBB Z\xC3\xBC"
                 "rich\",\"Pad\":\"" + std::string(static_cast<size_t>(pad), 'x') + "\"}";
        size_t half = (second.size() + 2) / 2;
        if (second.compare(half - 1, 2, "\xC3\xBC") == 0) break;
    }
    ASSERT_EQ(0, second.compare((second.size() + 2) / 2 - 1, 2, "\xC3\xBC"));
    write_file("extra.txt", first + "\n" + second + "\n");

    struct Expected {
        const char* name;
        const char* recorded;
        const char* title;
        const char* plot;
        const char* place;
    };
    const Expected modes[] = {
        {"Raw", "D:\\\\TV\\\\Die Br cke.ts", "El Ni o   Wetter im Wandel",
         "Nachrichten \\\"live\\\" aus dem Studio.\\u000d\\u000aUntertitel \\ud83d\\ude00", "  d   5  Krimi  Z rich"},
        {"Windows-1252", "D:\\TV\\Die Br\xFC" "cke.ts", "El Ni\xF1o \x96 Wetter im Wandel",
         "Nachrichten \"live\" aus dem Studio.  Untertitel ?", "L\xF3" "dz \x80" "5 \xAB" "Krimi\xBB Z\xFCrich"},
        {"ASCII", "D:\\TV\\Die Brucke.ts", "El Nino - Wetter im Wandel",
         "Nachrichten \"live\" aus dem Studio.  Untertitel ?", "Lodz EUR5 <<Krimi>> Zurich"},
        {"UTF-8", "D:\\TV\\Die Br\xC3\xBC" "cke.ts", "El Ni\xC3\xB1o \xE2\x80\x93 Wetter im Wandel",
         "Nachrichten \"live\" aus dem Studio.  Untertitel \xF0\x9F\x98\x80",
         "\xC5\x81\xC3\xB3" "d\xC5\xBA \xE2\x82\xAC" "5 \xC2\xAB" "Krimi\xC2\xBB Z\xC3\xBC" "rich"},
    };
    std::vector<std::string> raw_names;
    for (const Expected& m : modes) {
        SCOPED_TRACE(m.name);
        ASSERT_NO_FATAL_FAILURE(start(std::string("Text_Encoding=") + m.name + "\n", "--chatter 0 --split 50 --extra-file extra.txt"));
        // The properties reply comes after both messages; the periodic requests 5 s later.
        ASSERT_TRUE(wait_tag("Properties.Play.Current.Title", "Evening News", 20000));
        std::vector<MP_TagEntry> tags = block();
        std::vector<std::string> names;
        for (size_t i = 1; i < tags.size(); i++) {
            names.push_back(tags[i].name);
            if (names.back() == "Properties.Play.Current.Title") break;
        }
        if (raw_names.empty()) raw_names = names;
        EXPECT_EQ(raw_names, names);
        EXPECT_EQ(m.recorded, tag("Recorded"));
        EXPECT_EQ(m.title, tag("Programme.Title"));
        EXPECT_EQ(m.plot, tag("Programme.Plot"));
        EXPECT_EQ(m.place, tag("Place"));
        EXPECT_EQ(std::string("VistrelText=") + m.name, marker());
        EXPECT_GE(events("SPLIT").size(), 4u);
    }
}

}  // namespace
