// test_block_names.cpp - two runs side by side: two MPExtended bridges under two block-name
// suffixes, and the readers' header, the viewer, the example reader and the monitor each
// reading the block of the run that they are told.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "isolate.h"
#include "mpx_harness.h"
#include "scratch.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace fs = std::filesystem;

namespace {

// One run: its folder, simulator and bridge, under a suffix of its own.
struct SideRun {
    std::string suffix;
    TvSim sim;
    Program bridge;
};

// The integer value of a tag in a listing whose lines carry the tag's name as a word, with the
// integer value as the word before the length (id type ival len name ...): vistrel_peek's form.
int listed_ival(const std::string& listing, const std::string& name) {
    size_t at = listing.find(" " + name + " ");
    if (at == std::string::npos) return -1;
    size_t line = listing.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    int id = 0, type = 0, ival = -1, len = 0;
    if (sscanf(listing.c_str() + line, "%d %d %d %d", &id, &type, &ival, &len) != 4) return -1;
    return ival;
}

int block_recordings(const std::string& name) {
    static vr_record table[VR_TABLE_RECORDS];
    vr_block block;
    if (vr_open(&block, name.c_str()) != 0) return -1;
    int count = vr_snapshot(&block, table, VR_TABLE_RECORDS, VR_TRIES);
    vr_close(&block);
    if (count <= 0) return -1;
    const vr_record* r = vr_find(table, count, "NRecordings");
    return r ? r->ival : -1;
}

TEST(BlockNames, TwoRunsSideBySideEachReadByWhatIsToldItsSuffix) {
    ScratchDir dir;
    ASSERT_EQ(0, vp_net_start());
    const std::string base = run_block_name("");
    SideRun runs[2];
    const int recordings[2] = {3, 5};
    for (int i = 0; i < 2; i++) {
        SideRun& r = runs[i];
        r.suffix = base + (i == 0 ? "a" : "b");
        std::string folder = dir.path() + "/run" + std::to_string(i);
        fs::create_directories(folder + "/plugins");
        fs::current_path(folder);
        ASSERT_TRUE(r.sim.start("library " + std::to_string(recordings[i]) + " in-progress 1\n"));
        write_file(VP_PLUGINS "MP.cfg", "MPExtended_Wait=1\nMPExtended_Port=" + std::to_string(r.sim.port) + "\n");
        set_env(VR_SUFFIX_VARIABLE, r.suffix.c_str());
        r.bridge.pid = vp_spawn_detached(VISTREL_VISTREL_MPEXTENDED, "Vistrel_MPExtended");
        ASSERT_GT(r.bridge.pid, 0);
    }
    fs::current_path(dir.path());
    struct Cleanup {
        SideRun* runs;
        ~Cleanup() {
            for (int i = 0; i < 2; i++) {
                runs[i].bridge.stop();
                // The monitor opens (and so makes) the WifiRemote block of its run too.
                for (const char* base : {"Vistrel_MPExtended", "Vistrel_WIFIRemote"})
                    vp_shm_unlink((base + runs[i].suffix).c_str());
            }
        }
    } cleanup{runs};

    // Two blocks, each with its own run's recordings.
    for (int i = 0; i < 2; i++) {
        std::string name = "Vistrel_MPExtended" + runs[i].suffix;
        EXPECT_TRUE(wait_until([&] { return block_recordings(name) == recordings[i]; }, 20000)) << name;
    }
    vp_image_query_load();
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(runs[i].suffix);
        set_env(VR_SUFFIX_VARIABLE, runs[i].suffix.c_str());
        // The readers' header forms the name of the run.
        char name[VR_NAME_MAX];
        ASSERT_EQ(0, vr_block_name(name, sizeof name, VR_MPEXTENDED));
        EXPECT_EQ(recordings[i], block_recordings(name));
        // Each bridge serves its own run's block and not the other's.
        EXPECT_TRUE(vp_proc_serves(static_cast<uint32_t>(runs[i].bridge.pid), name));
        EXPECT_FALSE(vp_proc_serves(static_cast<uint32_t>(runs[1 - i].bridge.pid), name));

        const char* peek[] = {"vistrel_peek", "Vistrel_MPExtended", nullptr};
        ASSERT_EQ(0, vp_run_to_file(VISTREL_VISTREL_PEEK, peek, "peek.out")) << read_file("peek.out");
        EXPECT_EQ(recordings[i], listed_ival(read_file("peek.out"), "NRecordings")) << read_file("peek.out");

        const char* reader[] = {"read_block", "Vistrel_MPExtended", nullptr};
        ASSERT_EQ(0, vp_run_to_file(VISTREL_READ_BLOCK, reader, "read.out")) << read_file("read.out");
        std::string read = read_file("read.out");
        EXPECT_NE(std::string::npos, read.find("Block:  Vistrel_MPExtended" + runs[i].suffix)) << read;

#ifndef _WIN32
        // The monitor, for three seconds with its listing on a file: it finds the run's bridge
        // running (no program file here, so it would otherwise say why it starts none) and lists
        // that run's block.
        std::string status = VISTREL_VISTREL_STATUS;
        const char* monitor[] = {"timeout", "3", status.c_str(), "NRecordings", nullptr};
        vp_run_to_file("/usr/bin/timeout", monitor, "monitor.out");
        std::string shown = read_file("monitor.out");
        EXPECT_EQ(std::string::npos, shown.find("Not starting Vistrel_MPExtended")) << shown;
        EXPECT_NE(std::string::npos, shown.find("Not starting Vistrel_WIFIRemote")) << shown;
        EXPECT_EQ(recordings[i], listed_ival(shown, "NRecordings")) << shown;
#endif
    }
    set_env(VR_SUFFIX_VARIABLE, base.c_str());
}

}  // namespace
