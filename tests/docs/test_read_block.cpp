// test_read_block.cpp - the readers' example program against the running bridges and against absent or unpublished blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "mpx_harness.h"
#include "other_user.h"
#include "scratch.h"
#include "vistrel_reader.h"
#include "vp.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

struct Output {
    int code = -1;
    std::string text;
};

// Runs the example program with its arguments, its output captured in a file.
Output read_block(const std::vector<std::string>& args = {}) {
    std::vector<const char*> argv{"read_block"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    Output out;
    out.code = vp_run_to_file(VISTREL_READ_BLOCK, argv.data(), "read_block.out");
    out.text = read_file("read_block.out");
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

// One printed tag line: number, type word, integer value, name, text.
struct Printed {
    bool found = false;
    std::string type;
    int ival = 0;
    std::string text;
};

// The tag lines of the output, in their order.
std::vector<std::pair<std::string, Printed>> printed_tags(const std::string& text) {
    std::vector<std::pair<std::string, Printed>> tags;
    for (const std::string& l : lines_of(text)) {
        std::istringstream in(l);
        int index = 0;
        Printed p;
        std::string name;
        if (!(in >> index >> p.type >> p.ival >> name)) continue;
        std::string rest;
        std::getline(in, rest);
        size_t start = rest.find_first_not_of(' ');
        p.text = start == std::string::npos ? "" : rest.substr(start);
        p.found = true;
        tags.emplace_back(name, p);
    }
    return tags;
}

Printed printed(const std::string& text, const std::string& name) {
    for (auto& [n, p] : printed_tags(text))
        if (n == name) return p;
    return {};
}

std::string field(const std::string& text, const std::string& label) {
    for (const std::string& l : lines_of(text))
        if (l.compare(0, label.size(), label) == 0) return l.substr(label.size());
    return "<no " + label + ">";
}

TEST(ReadBlock, PrintsTheMPExtendedTableAsTheBridgePublishesIt) {
    ScratchDir dir;
    ASSERT_EQ(0, vp_net_start());
    TvSim sim;
    ASSERT_TRUE(sim.start("recording -5400 1800 yes 5 Das Boot\n"
                          "recording -86400 -84600 no 1 Morning Show\n"
                          "channel 5 Das Erste\n"));
    Bridge bridge;
    ASSERT_TRUE(bridge.start("MPExtended_Wait=1\n", sim.port));
    Block block;
    ASSERT_TRUE(block.mapped());
    std::vector<MP_TagEntry> seen;
    ASSERT_TRUE(wait_until([&] {
        seen = block.tags();
        return tag_named(seen, "Recording1.ChannelName").found && status_of(seen[0]) == "OK";
    }, 20000));

    // Without an argument the program reads the MPExtended block.
    Output out = read_block();
    ASSERT_EQ(0, out.code) << out.text;
    EXPECT_EQ(run_block_name("Vistrel_MPExtended"), field(out.text, "Block:  "));
    EXPECT_EQ("Numtags", field(out.text, "State:  "));
    EXPECT_EQ("OK", field(out.text, "Status: "));
    // The bridge names its encoding in the block, Raw by default.
    EXPECT_EQ("Raw", field(out.text, "Text:   "));
    EXPECT_EQ(std::to_string(seen[0].len), field(out.text, "Tags:   "));

    Printed title = printed(out.text, "Rec1.Title");
    EXPECT_TRUE(title.found && title.type == "text" && title.text == "Das Boot") << out.text;
    EXPECT_EQ("Morning Show", printed(out.text, "Rec2.Title").text);
    EXPECT_EQ("Das Boot", printed(out.text, "Recording1.Title").text);
    Printed channel = printed(out.text, "Recording1.ChannelName");
    EXPECT_TRUE(channel.type == "int" && channel.ival == 0 && channel.text == "Das Erste");
    EXPECT_EQ("Das Erste", printed(out.text, "Channel5.DisplayName").text);
    Printed planned = printed(out.text, "Recording1.Duration");
    EXPECT_TRUE(planned.type == "time" && planned.text == "2:00:00") << planned.text;
    Printed count = printed(out.text, "NRecordings");
    EXPECT_TRUE(count.ival == 2 && count.text == "Two");
    EXPECT_EQ("false", printed(out.text, "Recording2.IsRecording").text);

    // Every published tag is printed, in the table's order, with its type and value. The
    // simulator's times are counted from each answer, so the date texts move from poll to poll.
    std::vector<std::pair<std::string, Printed>> tags = printed_tags(out.text);
    ASSERT_EQ(seen.size() - 1, tags.size());
    const char* words[4] = {"int", "text", "?", "time"};
    for (size_t i = 1; i < seen.size(); i++) {
        const auto& [name, p] = tags[i - 1];
        EXPECT_EQ(seen[i].name, name);
        EXPECT_EQ(words[seen[i].type], p.type) << name;
        EXPECT_EQ(seen[i].ival, p.ival) << name;
        if (seen[i].type != MP_TYPE_TIME) {
            EXPECT_EQ(seen[i].string, p.text) << name;
        }
    }

    Output named = read_block({"Vistrel_MPExtended"});
    EXPECT_EQ(0, named.code);
    EXPECT_EQ("Das Boot", printed(named.text, "Rec1.Title").text);
}

TEST(ReadBlock, PrintsTheWifiRemoteNowPlayingMembers) {
    ScratchDir dir;
    ASSERT_EQ(0, vp_net_start());
    vp_shm_unlink(run_block_name("Vistrel_WIFIRemote").c_str());
    Program sim;
    sim.pid = vp_spawn_detached(VISTREL_VISTREL_WIFISIM, "vistrel_wifisim --port 0 --port-file port.txt");
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(wait_until([] { return atoi(read_file("port.txt").c_str()) > 0; }, 20000));
    write_file(VP_PLUGINS "MP.cfg", "WifiRemote_Port=" + std::to_string(atoi(read_file("port.txt").c_str())) + "\n");
    Program bridge;
    bridge.pid = vp_spawn_detached(VISTREL_VISTREL_WIFIREMOTE, "Vistrel_WIFIRemote");
    ASSERT_GT(bridge.pid, 0);

    Output out;
    bool playing = wait_until([&] {
        out = read_block({"Vistrel_WIFIRemote"});
        return out.code == 0 && printed(out.text, "MediaInfo.ChannelName").found &&
               printed(out.text, "Properties.Play.Current.Title").found;
    }, 20000);
    bridge.stop();
    sim.stop();
    vp_shm_unlink(run_block_name("Vistrel_WIFIRemote").c_str());
    ASSERT_TRUE(playing) << out.code << "\n" << out.text;

    EXPECT_EQ("OK", field(out.text, "Status: "));
    EXPECT_EQ("Evening News", printed(out.text, "Properties.Play.Current.Title").text);
    EXPECT_EQ("BBC One", printed(out.text, "MediaInfo.ChannelName").text);
    EXPECT_EQ("nowplaying", printed(out.text, "Type").text);
    Printed duration = printed(out.text, "Duration");
    EXPECT_TRUE(duration.type == "int" && duration.ival == 1800) << duration.text;
    Printed position = printed(out.text, "Position");
    EXPECT_TRUE(position.type == "int" && position.ival > 0 && position.ival < 1800);
    EXPECT_EQ(std::to_string(position.ival), position.text);
    // The prefix of the nested object ends with it: the next object's members stand alone.
    EXPECT_EQ("Weather", printed(out.text, "NextProgram.Title").text);
    // The seeded tags come first.
    std::vector<std::pair<std::string, Printed>> tags = printed_tags(out.text);
    ASSERT_GE(tags.size(), 2u);
    EXPECT_EQ("Position", tags[0].first);
    EXPECT_EQ("Duration", tags[1].first);
}

TEST(ReadBlock, ExitCodesForAMissingAnUnpublishedBlockAndWrongUse) {
    ScratchDir dir;
    std::string name = unique_block_name("VistrelReadBlock");
    vp_shm_unlink(name.c_str());
    Output missing = read_block({name});
    EXPECT_EQ(1, missing.code);
    EXPECT_EQ("", missing.text);
    vr_block block{};
    EXPECT_NE(0, vr_open(&block, name.c_str())) << "the program must not make the block";

    // A block that a reader made before its bridge opened it: zeros, nothing published. Its
    // name, with a blank and quotes in it, reaches the program as one argument, intact.
    std::string odd = "Odd \"name\" " + name;
    vp_shm handle;
    ASSERT_EQ(0, vp_shm_open(odd.c_str(), MP_BLOCK_SIZE, &handle));
    Output empty = read_block({odd});
    EXPECT_EQ(3, empty.code);
    EXPECT_EQ(odd, field(empty.text, "Block:  "));
    EXPECT_EQ("empty (no bridge has opened the block yet)", field(empty.text, "State:  "));
    EXPECT_EQ("", printed_tags(empty.text).empty() ? "" : "tags printed");
    vp_shm_close(handle);
    vp_shm_unlink(odd.c_str());

    EXPECT_EQ(4, read_block({"a", "b"}).code);
    EXPECT_EQ(4, read_block({"--help"}).code);
    const char* none[] = {"none", nullptr};
    EXPECT_EQ(-1, vp_run_to_file("no-such-dir/no-such-program", none, "none.out"));
}

#ifndef _WIN32
// What the program writes on its error output for the block of that name; its exit code in code.
std::string error_output(const std::string& name, int* code) {
    fflush(stderr);
    int saved = dup(2);
    int file = open("read_block.err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (saved < 0 || file < 0) return "<no error output>";
    dup2(file, 2);
    close(file);
    *code = read_block({name}).code;
    dup2(saved, 2);
    close(saved);
    return read_file("read_block.err");
}

// An object of the block's name that the reader does not trust is refused with the reason in
// words, as each refusal of the header's open means it, and nothing of it is printed.
TEST(ReadBlock, SaysWhyItDoesNotReadAnObjectOfTheName) {
    ScratchDir dir;
    std::string base = unique_block_name("VistrelRefused");
    struct Case {
        std::string name;
        bool made;
        const char* reason;
    };
    std::vector<Case> cases = {
        {base + "Shared", make_raw_block(base + "Shared", 0666, MP_BLOCK_SIZE, "Numtags"), "other users may open it"},
        {base + "Short", make_raw_block(base + "Short", 0600, 4096, "Numtags"), "it is smaller than a block"},
        {base + "Linked", make_raw_block(base + "Linked", 0600, MP_BLOCK_SIZE, "Numtags"),
         "it is no plain shared-memory object with a single name"},
    };
    // A second name for the same object.
    EXPECT_EQ(0, link(("/dev/shm/" + base + "Linked").c_str(), ("/dev/shm/" + base + "Linked2").c_str()));
    if (can_act_as_other_user())
        cases.push_back({base + "Foreign",
                         as_other_user([&] { return make_raw_block(base + "Foreign", 0600, MP_BLOCK_SIZE, "Numtags"); }),
                         "it belongs to another user"});
    for (const Case& c : cases) {
        EXPECT_TRUE(c.made) << c.name;
        int code = -1;
        EXPECT_EQ("read_block: not reading block " + c.name + ": " + c.reason + "\n", error_output(c.name, &code));
        EXPECT_EQ(1, code) << c.name;
        EXPECT_EQ("", read_file("read_block.out")) << c.name;
    }
    for (const Case& c : cases) vp_shm_unlink(c.name.c_str());
    vp_shm_unlink((base + "Linked2").c_str());
}
#endif

}  // namespace
