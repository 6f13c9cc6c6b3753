// test_channel.h - test support: the bridge's publication channel 0 on a block of the test's own.
#pragma once

#include <string>

#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

// Starts channel 0 on a fresh block named after base and this process, as a bridge starts its
// own; the block's name goes when the object does.
class TestChannel {
public:
    explicit TestChannel(const char* base) : name_(unique_block_name(base)) {
        CommsStart(0, 1, name_.c_str(), MP_BLOCK_SIZE);
    }
    ~TestChannel() { vp_shm_unlink(name_.c_str()); }
    TestChannel(const TestChannel&) = delete;
    TestChannel& operator=(const TestChannel&) = delete;
    // The published table as readers see it (null when the channel has no view).
    const MP_TagEntry* shown() const { return static_cast<const MP_TagEntry*>(CommsView(0)); }

private:
    std::string name_;
};
