// bench_mpx.cpp - one poll of the MPExtended bridge: a full list of 98 short recordings in the buffer, and libraries of real size from a service on a socket.
//
// The aims:
// - a whole poll of 98 recordings that fits the buffer (framing, the multi-byte filter,
//   flattening into a table that already holds the names, derivation, publication and the log
//   lines at debug level 0) in under 250 microseconds, and in each of the converting text
//   encodings within 1.2 times that of Raw;
// - a whole poll of a library of 200 recordings shaped like the service's own (about 280 KB,
//   read through the 64 KB buffer, the first 98 taken and the rest read and dropped) within 1.5
//   times the poll of the first 98 of them alone; the 1,000-recording poll is measured beside it.
// Publication is measured on its own as well, for its share.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"
#include "tvsim.h"
#include "vp.h"

namespace {

constexpr int kRecordings = 98;
constexpr char kBlock[] = "Vistrel_MPExtended_bench";
constexpr char kTag[] = "TCP[MPEx]:";

std::string date(long long seconds) { return "\"\\/Date(" + std::to_string(seconds * 1000) + "+0100)\\/\""; }

std::string answer_of(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json; charset=utf-8\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A response of short recordings: twenty members each, "Description" first, accented titles,
// three recordings in progress.
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
        return answer_of(body);
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

// The bridge's state as after its first polls: defaults, its credentials known to the log, the
// four summary tags, debug level 0 and its block. The table is emptied first, so that each
// benchmark starts alike.
bool start_bridge(benchmark::State& state) {
    MP_Numtags = 0;
    MP_Clear_tags();
    MP_Extended_defaults();
    MP_Global_Debug = 0;
    // The credentials registered with the log, as reading the settings does: below debug level 3
    // every line is then searched for them.
    MP_Extended_register_secrets();
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("NRecordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
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
    return true;
}

bool setup(benchmark::State& state) {
    if (!start_bridge(state)) return false;
    // The names of the channels are known, as after the first poll: no look-ups, and the
    // whole answer is in the buffer, so nothing is received.
    for (int id = 1; id <= 5; id++) {
        char name[64];
        snprintf(name, sizeof name, "Channel%d.DisplayName", id);
        MP_put_tag(name, MP_TYPE_TEXT, 0, "Das Erste");
    }
    MP_Global_Connected = 1;
    if (response().size() > MPX_RECEIVE_CAPACITY) {
        state.SkipWithError("the response does not fit the receive buffer");
        return false;
    }
    MP_Extended_handle_response(kTag, buffer, receive());
    if (MP_itag("NRecordings") != kRecordings || MP_itag("Recordings") != 3) {
        state.SkipWithError("the list was not taken whole");
        return false;
    }
    return true;
}

// The argument is the text encoding: Raw (0) as the services send texts, or one of the
// conversions, Windows-1252 (1), ASCII (2) or UTF-8 (3), whose polls aim at no more than 1.2
// times Raw's.
void BM_WholePollOf98Recordings(benchmark::State& state) {
    MP_Global_TextEncoding = static_cast<int>(state.range(0));
    if (setup(state)) {
        for (auto _ : state) MP_Extended_handle_response(kTag, buffer, receive());
        state.counters["tags"] = MP_Numtags;
        state.counters["bytes"] = static_cast<double>(response().size());
        MP_Global_Connected = 0;
    }
    MP_Global_TextEncoding = MP_TEXT_RAW;
}

// The table of a full list copied into the block with its status line.
void BM_PublicationOnly(benchmark::State& state) {
    if (!setup(state)) return;
    for (auto _ : state) CommsPacket(0, "OK");
    state.counters["tags"] = MP_Numtags;
    MP_Global_Connected = 0;
}

// The copy into the buffer that stands for the receive, for subtraction.
void BM_ReceiveCopyOnly(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(receive());
}

// The TV service on the far end of a socket pair: it answers every recordings request with the
// library of its scenario and every channel request with that channel, as the simulator does.
class Service {
public:
    explicit Service(int recordings) {
        LibraryShape shape;
        shape.count = recordings;
        shape.in_progress = 3;
        scenario_.recordings = library_recordings(shape);
        scenario_.has_list = true;
        scenario_default(scenario_);
        answer_ = answer_of(recordings_body(scenario_, static_cast<long long>(time(nullptr)), 0));
        ok_ = socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) == 0;
        if (ok_) thread_ = std::thread([this] { serve(); });
    }
    ~Service() {
        if (!ok_) return;
        shutdown(fds_[0], SHUT_RDWR);
        thread_.join();
        close(fds_[0]);
        close(fds_[1]);
    }
    bool ok() const { return ok_; }
    int socket() const { return fds_[0]; }
    size_t size() const { return answer_.size(); }

private:
    void serve() {
        std::string pending;
        char chunk[4096];
        for (;;) {
            ssize_t n = recv(fds_[1], chunk, sizeof chunk, 0);
            if (n <= 0) return;
            pending.append(chunk, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
                size_t at = pending.find("channelId=");
                const std::string& out =
                    at < end ? (channel_ = answer_of(channel_body(scenario_, atoi(pending.c_str() + at + 10))))
                             : answer_;
                pending.erase(0, end + 4);
                for (size_t sent = 0; sent < out.size();) {
                    ssize_t w = send(fds_[1], out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                    if (w <= 0) return;
                    sent += static_cast<size_t>(w);
                }
            }
        }
    }

    Scenario scenario_;
    std::string answer_;
    std::string channel_;
    int fds_[2] = {-1, -1};
    bool ok_ = false;
    std::thread thread_;
};

// One poll as the bridge makes it: the request, the first receive, and the answer's handling,
// which reads the rest of it through the buffer.
void poll_once() {
    MP_Extended_request_recordings(kTag);
    int n = MP_recv(kTag, buffer, MPX_RECEIVE_CAPACITY);
    if (n > 0) MP_Extended_handle_response(kTag, buffer, n);
}

// A whole poll of a library of the given size, as the service shapes it (23 members, long
// descriptions with accented letters, some series episodes, three recordings in progress),
// on a connection that has already asked for the channels' names.
void BM_WholePollOfLibrary(benchmark::State& state) {
    if (!start_bridge(state)) return;
    Service service(static_cast<int>(state.range(0)));
    if (!service.ok()) {
        state.SkipWithError("no socket pair");
        return;
    }
    MP_Global_Socket = service.socket();
    MP_Global_Connected = 1;
    vp_set_recv_timeout(MP_Global_Socket, MPX_ANSWER_LIMIT_MS);
    poll_once();
    int expected = state.range(0) < kRecordings ? static_cast<int>(state.range(0)) : kRecordings;
    if (!MP_Global_Connected || MP_itag("NRecordings") != expected || MP_itag("Recordings") != 3) {
        state.SkipWithError("the library was not taken");
        return;
    }
    for (auto _ : state) poll_once();
    if (!MP_Global_Connected) state.SkipWithError("the connection was given up");
    state.counters["tags"] = MP_Numtags;
    state.counters["bytes"] = static_cast<double>(service.size());
    MP_Global_Connected = 0;
    MP_Global_Socket = VP_INVALID_SOCKET;
}

BENCHMARK(BM_WholePollOf98Recordings)
    ->Arg(MP_TEXT_RAW)
    ->Arg(MP_TEXT_WINDOWS_1252)
    ->Arg(MP_TEXT_ASCII)
    ->Arg(MP_TEXT_UTF8)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublicationOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReceiveCopyOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WholePollOfLibrary)->Arg(98)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
