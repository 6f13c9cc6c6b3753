// bench_mpx.cpp - one poll of the MPExtended bridge over a full list of 98 recordings, and its parts.
//
// The aim: a whole poll's processing (framing, the multi-byte filter, flattening into a table
// that already holds the names, derivation, publication and the log lines at debug level 0)
// in under 250 microseconds. Publication is measured on its own as well, for its share.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"
#include "vp.h"

namespace {

constexpr int kRecordings = 98;
constexpr char kBlock[] = "Vistrel_MPExtended_bench";

std::string date(long long seconds) { return "\"\\/Date(" + std::to_string(seconds * 1000) + "+0100)\\/\""; }

// A response as the service sends it: twenty members per recording, "Description" first,
// accented titles, three recordings in progress.
const std::string& response() {
    static std::string text = [] {
        long long now = static_cast<long long>(time(nullptr));
        std::string body = "[";
        for (int i = 1; i <= kRecordings; i++) {
            bool rec = i % 33 == 2;
            long long start = rec ? now - 1800 : now - i * 86400LL;
            body += i > 1 ? ",{" : "{";
            body += "\"Description\":\"Recorded from the evening programme, item " + std::to_string(i) + "\"";
            body += ",\"EndTime\":" + date(start + 3600);
            body += ",\"EpisodeName\":\"\",\"EpisodeNum\":\"\",\"EpisodeNumber\":\"\",\"EpisodePart\":\"\"";
            body += ",\"FileName\":\"D:\\\\Recordings\\\\rec" + std::to_string(i) + ".ts\",\"Genre\":\"Documentary\"";
            body += ",\"Id\":" + std::to_string(100 + i) + ",\"IdChannel\":" + std::to_string(i % 5 + 1);
            body += ",\"IdProgram\":" + std::to_string(5000 + i) + ",\"IdSchedule\":-1";
            body += ",\"IsChanged\":false,\"IsManual\":false,\"IsRecording\":";
            body += rec ? "true" : "false";
            body += ",\"KeepUntil\":0,\"KeepUntilDate\":" + date(start + 86400 * 30) + ",\"SeriesNum\":\"\"";
            body += ",\"StartTime\":" + date(start) + ",\"StopTime\":0,\"TimesWatched\":1";
            body += ",\"Title\":\"Caf\xC3\xA9 \xC3\xBC" "ber Nr. " + std::to_string(i) + "\"}";
        }
        body += "]";
        return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json; charset=utf-8\r\n"
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    return text;
}

char buffer[MPX_RECEIVE_CAPACITY + 1];

// What the first receive leaves in the buffer: the response, zeros behind it.
int receive() {
    const std::string& r = response();
    memcpy(buffer, r.data(), r.size());
    buffer[r.size()] = '\0';
    return static_cast<int>(r.size());
}

bool setup(benchmark::State& state) {
    MP_Extended_defaults();
    MP_Global_Debug = 0;
    // The names of the channels are known, as after the first poll: no look-ups.
    MP_Global_Connected = 0;
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("NRecordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
    for (int id = 1; id <= 5; id++) {
        char name[64];
        snprintf(name, sizeof name, "Channel%d.DisplayName", id);
        MP_put_tag(name, MP_TYPE_TEXT, 0, "Das Erste");
    }
    // A channel is started once for the life of the process; the block goes with the program.
    static bool started = [] {
        vp_shm_unlink(kBlock);
        CommsStart(0, 1, kBlock, MP_BLOCK_SIZE);
        atexit([] { vp_shm_unlink(kBlock); });
        return true;
    }();
    if (!started || !CommsView(0)) {
        state.SkipWithError("no publication block");
        return false;
    }
    if (response().size() > MPX_RECEIVE_CAPACITY) {
        state.SkipWithError("the response does not fit the receive buffer");
        return false;
    }
    MP_Extended_handle_response("TCP[MPEx]:", buffer, receive());
    if (MP_itag("NRecordings") != kRecordings || MP_itag("Recordings") != 3) {
        state.SkipWithError("the list was not taken whole");
        return false;
    }
    return true;
}

void BM_WholePollOf98Recordings(benchmark::State& state) {
    if (!setup(state)) return;
    for (auto _ : state) MP_Extended_handle_response("TCP[MPEx]:", buffer, receive());
    state.counters["tags"] = MP_Numtags;
    state.counters["bytes"] = static_cast<double>(response().size());
}

// The table of a full list copied into the block with its status line.
void BM_PublicationOnly(benchmark::State& state) {
    if (!setup(state)) return;
    for (auto _ : state) CommsPacket(0, "OK");
    state.counters["tags"] = MP_Numtags;
}

// The copy into the buffer that stands for the receive, for subtraction.
void BM_ReceiveCopyOnly(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(receive());
}

BENCHMARK(BM_WholePollOf98Recordings)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublicationOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReceiveCopyOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
