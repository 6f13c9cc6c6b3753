// test_library.cpp - the TV simulator's generated libraries: shape, order, text and sameness.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tvsim.h"

namespace {

Scenario scenario_of(const std::string& line) {
    Scenario s;
    std::string error;
    EXPECT_TRUE(scenario_line(s, line, error)) << error;
    scenario_default(s);
    return s;
}

// Characters, not bytes: a multi-byte UTF-8 character counts once.
size_t characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

bool has_multibyte(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return true;
    return false;
}

// The member names of each top-level object of a compact JSON array, in order; strings are
// stepped over with their escapes, so that a quote or colon inside a value cannot count.
std::vector<std::vector<std::string>> members_of(const std::string& body) {
    std::vector<std::vector<std::string>> objects;
    int depth = 0;
    bool expect_name = false;
    for (size_t i = 0; i < body.size(); i++) {
        char c = body[i];
        if (c == '"') {
            size_t start = ++i;
            while (i < body.size() && body[i] != '"') i += body[i] == '\\' ? 2 : 1;
            if (depth == 2 && expect_name) objects.back().push_back(body.substr(start, i - start));
            expect_name = false;
        } else if (c == '{' || c == '[') {
            if (++depth == 2) objects.emplace_back();
            expect_name = c == '{' && depth == 2;
        } else if (c == '}' || c == ']') {
            depth--;
        } else if (c == ',') {
            expect_name = depth == 2;
        }
    }
    return objects;
}

}  // namespace

TEST(Library, NewestFirstWithTheRecordingsInProgressAtItsHead) {
    Scenario s = scenario_of("library 200 in-progress 3");
    ASSERT_EQ(s.recordings.size(), 200u);
    for (size_t i = 0; i < s.recordings.size(); i++) {
        const SimRecording& r = s.recordings[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.recording, i < 3);
        if (i > 0) {
            EXPECT_LT(r.start, s.recordings[i - 1].start) << "not newest first";
        }
        // In progress: started before the answer and still running; the others ended before it.
        if (r.recording) {
            EXPECT_TRUE(r.start < 0 && r.end > 0);
        } else {
            EXPECT_LT(r.end, 0);
        }
        EXPECT_GE(r.channel, 1);
        EXPECT_LE(r.channel, 7);
        EXPECT_NE(channel_name(s, r.channel).find_first_not_of(' '), std::string::npos);
        EXPECT_FALSE(r.title.empty());
        EXPECT_GE(characters(r.description), 300u);
        EXPECT_LE(characters(r.description), 1500u);
    }
    int accented = 0;
    for (const SimRecording& r : s.recordings) accented += has_multibyte(r.title) && has_multibyte(r.description);
    EXPECT_GT(accented, 20);
}

TEST(Library, SeriesEpisodesFillTheirFiveEpisodeMembersAndOthersLeaveThemEmpty) {
    for (const char* line : {"library 40 series 8", "library 40 series all", "library 40 series none", "library 40"}) {
        SCOPED_TRACE(line);
        Scenario s = scenario_of(line);
        int every = std::string(line).find("all") != std::string::npos    ? 1
                    : std::string(line).find("none") != std::string::npos ? 0
                                                                          : 8;
        std::vector<std::vector<std::string>> objects = members_of(recordings_body(s, 1796658296, 0));
        ASSERT_EQ(objects.size(), 40u);
        for (size_t i = 0; i < s.recordings.size(); i++) {
            const SimRecording& r = s.recordings[i];
            bool episode = every > 0 && (i + 1) % static_cast<size_t>(every) == 0;
            EXPECT_EQ(r.episode, episode) << i;
            bool filled = !r.episode_name.empty() && !r.episode_number.empty() && !r.episode_part.empty() &&
                          !r.series_number.empty();
            EXPECT_EQ(filled, episode) << i;
            // Every object has the same 23 members, "Description" first and "Title" last.
            ASSERT_EQ(objects[i].size(), 23u) << i;
            EXPECT_EQ(objects[i].front(), "Description");
            EXPECT_EQ(objects[i].back(), "Title");
        }
    }
}

TEST(Library, TheSameLineGivesTheSameLibraryAndShortTextsStayShort) {
    Scenario a = scenario_of("library 120 in-progress 2 series 5");
    Scenario b = scenario_of("library 120 in-progress 2 series 5");
    EXPECT_EQ(recordings_body(a, 1796658296, 0), recordings_body(b, 1796658296, 0));
    Scenario brief = scenario_of("library 120 in-progress 2 series 5 short");
    ASSERT_EQ(brief.recordings.size(), 120u);
    for (size_t i = 0; i < 120; i++) {
        EXPECT_EQ(brief.recordings[i].title, a.recordings[i].title);
        EXPECT_LT(characters(brief.recordings[i].description), 100u);
    }
    // A list padded to a size keeps its objects and grows to exactly that size.
    std::string padded = recordings_body(brief, 1796658296, 65000);
    EXPECT_EQ(padded.size(), 65000u);
    EXPECT_EQ(members_of(padded).size(), 120u);
}

TEST(Library, BadLinesAreRefusedWithTheirForm) {
    for (const char* line : {"library", "library -1", "library 10 in-progress 11", "library 10 series some",
                             "library 10 colour blue"}) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(scenario_line(s, line, error)) << line;
        EXPECT_NE(error.find("library takes N"), std::string::npos) << line << ": " << error;
    }
}
