// bench_wfr.cpp - the WifiRemote bridge's work for one received block: decoded and published.
//
// One block of ten messages (five status and five now-playing lines, as a busy server sends
// them between two receives) goes through the receive path (cleaning of multi-byte characters,
// the line splitting, flattening into the tag table and Type decoding) in each text encoding,
// and the table is then published into a 1 MiB block.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "wfr.h"

int MP_Process_incoming(const char*) { return 0; }

namespace {

std::string ten_lines() {
    std::string block;
    for (int i = 0; i < 5; i++) {
        block += "{\"Type\":\"status\",\"IsPlaying\":true,\"IsPaused\":false,\"IsPlayerOnTop\":true,"
                 "\"Title\":\"Evening News\",\"CurrentModule\":\"TV\",\"SelectedItem\":\"BBC One\"}\r\n";
        block += "{\"Type\":\"nowplaying\",\"Duration\":1800,\"File\":\"D:\\\\TV\\\\Evening News.ts\","
                 "\"Position\":" + std::to_string(100 + i) + ",\"Speed\":1,\"MediaInfo\":{\"MediaType\":\"tv\","
                 "\"ChannelId\":12,\"ChannelName\":\"BBC One\",\"CurrentProgram\":{\"Id\":4711,\"Title\":"
                 "\"Evening News\",\"StartTime\":\"2026-12-07T18:00:00\",\"Duration\":1800},\"NextProgram\":"
                 "{\"Id\":4712,\"Title\":\"Weather\",\"Duration\":600}}}\r\n";
    }
    return block;
}

// The block, started once for every run (a channel starts only once in a process), stopped and
// removed when the program ends.
char block_name[64];
void end_publication() {
    CommsStop(0);
    vp_shm_unlink(block_name);
}
void start_publication() {
    if (block_name[0] != '\0') return;
    snprintf(block_name, sizeof block_name, "bench_wfr_%u", vp_getpid());
    CommsStart(0, 1, block_name, MP_BLOCK_SIZE);
    atexit(end_publication);
}

// The encoding is the benchmark's argument (0 Raw, 1 Windows-1252, 2 ASCII, 3 UTF-8).
void BM_DecodeAndPublishTenLines(benchmark::State& state) {
    // The bridge at its default debug level 0, with its seeded tags and its block.
    MP_init_globals();
    MP_read_cfg_file(1);
    MP_Global_TextEncoding = static_cast<int>(state.range(0));
    start_publication();
    const std::string block = ten_lines();
    for (auto _ : state) {
        // The receive loop works on its buffer in place, so every round starts from a fresh copy.
        int room = 0;
        char* into = MP_WifiRemote_receive_room(&room);
        memcpy(into, block.c_str(), block.size());
        char why[256];
        if (MP_WifiRemote_received("TCP[Wifi]:", static_cast<int>(block.size()), why, sizeof why) != WFR_GO_ON)
            state.SkipWithError(why);
        CommsPacket(0, "OK");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
    state.counters["tags"] = MP_Numtags;
    MP_Global_TextEncoding = MP_TEXT_RAW;
}
BENCHMARK(BM_DecodeAndPublishTenLines)->Arg(MP_TEXT_RAW)->Arg(MP_TEXT_WINDOWS_1252)->Arg(MP_TEXT_ASCII)->Arg(MP_TEXT_UTF8)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
