// mpx_harness.h - end-to-end support for the MPExtended bridge: its block, the bridge and the simulator.
#pragma once

#include <string>
#include <vector>

#include "isolate.h"
#include "mp_tags.h"
#include "vp.h"

// The bridge's block in this test process (the tests' main gives each its own names).
inline const char* mpx_block() {
    static const std::string name = run_block_name("Vistrel_MPExtended");
    return name.c_str();
}

// A started program, ended however the test ends.
struct Program {
    long pid = -1;
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() { stop(); }
    void stop();
};

// The bridge: ended, and its block removed, however the test ends, before the scratch
// directory that holds its open log file goes.
struct Bridge : Program {
    ~Bridge();
    // Writes plugins/MP.cfg (the settings, then the port) and starts the real bridge.
    bool start(const std::string& settings, int port);
};

// The test's own mapping of the bridge's block, as the monitor holds it.
class Block {
public:
    Block();
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    bool mapped() const { return view_ != nullptr; }
    // A reader copies the header first and trusts the count only under "Numtags".
    MP_TagEntry header() const;
    // The header and every tag that the header counts (none while the state is not "Numtags").
    std::vector<MP_TagEntry> tags() const;
    std::vector<MP_TagEntry> tags(int count) const;

private:
    vp_shm handle_ = VP_NO_SHM;
    void* view_ = nullptr;
};

std::string state_of(const MP_TagEntry& h);
std::string status_of(const MP_TagEntry& h);

// One published tag by its exact name.
struct TagValue {
    bool found = false;
    int type = -1;
    int ival = 0;
    std::string text;
};
TagValue tag_named(const std::vector<MP_TagEntry>& tags, const std::string& name);

// The simulator, started in the working directory with a scenario of its own.
struct TvSim : Program {
    int port = 0;
    // Writes scenario.txt and starts the simulator on a free port; false when it did not come up.
    bool start(const std::string& scenario, const std::string& options = "");
    // Its event lines without their time stamps, and the time stamp (ms) of each.
    std::vector<std::string> events() const;
    std::vector<long long> event_times() const;
    // Every request that it received, byte for byte.
    std::string requests() const;
};

// The index of the first line that contains the part (from `from` on), or -1.
int line_index(const std::vector<std::string>& lines, const std::string& part, int from = 0);
// How many lines contain the part.
int line_count(const std::vector<std::string>& lines, const std::string& part);
// The bridge's log.
inline const char* const kMpxLog = VP_PLUGINS "Vistrel_MPExtended.log";
