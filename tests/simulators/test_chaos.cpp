// test_chaos.cpp - the simulators' chaos draws: a seed names a run, the mix and the window hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scratch.h"
#include "sim_chaos.h"

namespace {

std::vector<int> draws(uint64_t seed, int n) {
    chaos_reset(seed);
    std::vector<int> out;
    for (int i = 0; i < n; i++) {
        out.push_back(static_cast<int>(chaos_draw()));
        out.push_back(static_cast<int>(chaos_between(0, 1000)));
    }
    return out;
}

bool set(const char* option, const char* value) {
    bool handled = false;
    return chaos_option(option, value, &handled) && handled;
}

}  // namespace

TEST(Chaos, SameSeedSameRunOtherSeedOtherRun) {
    std::vector<int> a = draws(42, 500), b = draws(42, 500), c = draws(43, 500);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(Chaos, DefaultMixDrawsEveryKindAndCountsThem) {
    chaos_reset(7);
    ASSERT_TRUE(set("--chaos-mix", "whole=50,split=10,delay=8,cut=6,garbage=6,oversize=6,lie=6,refuse=2"));
    const int n = 20000;
    for (int i = 0; i < n; i++) chaos_draw();
    long long total = 0;
    for (int k = 0; k < kChaosKinds; k++) {
        long long c = chaos_counted(static_cast<ChaosFault>(k));
        EXPECT_GT(c, 0) << chaos_name(static_cast<ChaosFault>(k));
        total += c;
    }
    EXPECT_EQ(total, n);
    // Shares follow the weights: whole is half of the draws, refusals about one in fifty.
    EXPECT_NEAR(chaos_counted(ChaosFault::Whole), n / 2, n / 20);
    EXPECT_NEAR(chaos_counted(ChaosFault::Refuse), n / 50, n / 100);
}

TEST(Chaos, MixOfOneKindAndBadMixes) {
    chaos_reset(1);
    ASSERT_TRUE(set("--chaos-mix", "cut=1"));
    for (int i = 0; i < 100; i++) EXPECT_EQ(chaos_draw(), ChaosFault::Cut);
    EXPECT_FALSE(set("--chaos-mix", "cut=0"));       // nothing to draw
    EXPECT_FALSE(set("--chaos-mix", "bogus=3"));     // unknown kind
    EXPECT_FALSE(set("--chaos-mix", "split=x"));     // no number
    EXPECT_FALSE(set("--chaos-mix", "split"));       // no weight
    EXPECT_FALSE(set("--chaos", "12ab"));            // seed not a number
    bool handled = true;
    EXPECT_FALSE(chaos_option("--port", "1", &handled));
    EXPECT_FALSE(handled);
    // A refused mix leaves the last good one in force.
    EXPECT_EQ(chaos_draw(), ChaosFault::Cut);
}

TEST(Chaos, OutsideTheWindowEveryAnswerIsWhole) {
    chaos_reset(5);
    ASSERT_TRUE(set("--chaos-mix", "split=1"));
    ASSERT_TRUE(set("--chaos-from", "100000"));
    for (int i = 0; i < 50; i++) EXPECT_EQ(chaos_draw(), ChaosFault::Whole);
    EXPECT_EQ(chaos_counted(ChaosFault::Whole), 0);  // no draw was made
    ASSERT_TRUE(set("--chaos-from", "0"));
    EXPECT_EQ(chaos_draw(), ChaosFault::Split);
}

TEST(Chaos, BetweenStaysInItsBoundsAndBytesVary) {
    chaos_reset(9);
    for (int i = 0; i < 10000; i++) {
        long v = chaos_between(-3, 3);
        ASSERT_GE(v, -3);
        ASSERT_LE(v, 3);
    }
    EXPECT_EQ(chaos_between(5, 5), 5);
    EXPECT_EQ(chaos_between(5, 4), 5);
    char buf[256];
    chaos_bytes(buf, sizeof buf);
    int distinct[256] = {};
    for (char c : buf) distinct[static_cast<unsigned char>(c)] = 1;
    int n = 0;
    for (int d : distinct) n += d;
    EXPECT_GT(n, 100);
}

TEST(Chaos, CountsFileHoldsEveryKind) {
    ScratchDir dir;
    std::string path = dir.path() + "/counts.txt";
    chaos_reset(3);
    ASSERT_TRUE(set("--chaos-mix", "garbage=1"));
    ASSERT_TRUE(set("--chaos-counts", path.c_str()));
    for (int i = 0; i < 4; i++) chaos_draw();
    std::string text = read_file(path);
    EXPECT_NE(text.find("garbage 4\n"), std::string::npos) << text;
    EXPECT_NE(text.find("refuse 0\n"), std::string::npos) << text;
    EXPECT_TRUE(set("--chaos-counts", ""));  // counting into no file again
}
