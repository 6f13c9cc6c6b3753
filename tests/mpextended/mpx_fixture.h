// mpx_fixture.h - the end-to-end tests' fixture: the simulator, the real bridge and the test's view of its block.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "mpx_harness.h"
#include "scratch.h"
#include "vp.h"

// How many lines begin with the prefix.
inline int count_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const std::string& l : lines) n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// Everything in a scratch directory. The members end in reverse order: block, bridge,
// simulator, then the directory that holds the bridge's open log. A failed test shows the
// simulator's last events.
class MpxEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vp_net_start(), 0); }
    void TearDown() override {
        if (!HasFailure()) return;
        std::vector<std::string> ev = sim_.events();
        printf("Simulator events (%zu, the last 15):\n", ev.size());
        for (size_t i = ev.size() > 15 ? ev.size() - 15 : 0; i < ev.size(); i++)
            printf("  %.150s\n", ev[i].c_str());
    }
    void start(const std::string& scenario, const std::string& settings) {
        ASSERT_TRUE(sim_.start(scenario)) << "the simulator did not come up";
        ASSERT_TRUE(bridge_.start(settings, sim_.port));
        // Mapped only now: the start removes the name of any earlier block.
        block_.emplace();
        ASSERT_TRUE(block_->mapped());
    }
    // Waits until the simulator has answered the recordings request n times.
    bool answers(int n, int ms) {
        return wait_until([&] { return count_prefix(sim_.events(), "answer ") >= n; }, ms);
    }
    int accepts() { return count_prefix(sim_.events(), "accept "); }
    std::vector<MP_TagEntry> tags() { return block_->tags(); }
    std::vector<std::string> log() { return read_lines(kMpxLog); }

    ScratchDir dir_;
    TvSim sim_;
    Bridge bridge_;
    std::optional<Block> block_;
};
