// bench_parse.cpp - flattening a full recordings list into the tag table, and the parts of its cost.
//
// The aim: the 98 recordings of a full list (about 2,000 tags) flattened and stored in under
// 250 microseconds. The store and the log line that each store composes are measured on their
// own as well, so that the scan's own share is the difference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"

namespace {

constexpr int kRecordings = 98;  // the most that the MPExtended bridge flattens in one poll

// One member as the tag table receives it: name, type, integer and text.
struct Member {
    std::string name;
    int type;
    int ival;
    std::string text;
};

struct Recordings {
    std::string body;             // the compact JSON array
    std::vector<Member> members;  // every store that flattening it makes, full names included
};

std::string date(long long ms) { return "\\/Date(" + std::to_string(ms) + "+0100)\\/"; }

// A list shaped like the TV service's: twenty members per recording, three of them dates, the
// title last so that each object's scan steps over its "}" onto the next one.
const Recordings& recordings() {
    static Recordings list = [] {
        Recordings l;
        l.body = "[";
        for (int r = 1; r <= kRecordings; ++r) {
            long long start = 1449957634567LL + r * 3600000LL;
            std::vector<Member> m = {
                {"Description", 1, 0, "An evening programme about item " + std::to_string(r)},
                {"EndTime", 1, 0, date(start + 3600000)},
                {"EpisodeName", 1, 0, "Part " + std::to_string(r % 7)},
                {"EpisodeNumber", 0, r % 13, std::to_string(r % 13)},
                {"FileName", 1, 0, "D:\\\\Recordings\\\\Show " + std::to_string(r) + ".ts"},
                {"Genre", 1, 0, "Documentary"},
                {"Id", 0, 4000 + r, std::to_string(4000 + r)},
                {"IdChannel", 0, r % 11, std::to_string(r % 11)},
                {"IdProgram", 0, 90000 + r, std::to_string(90000 + r)},
                {"IdSchedule", 0, -1, "-1"},
                {"IsChanged", 1, 0, "false"},
                {"IsManual", 1, 0, "false"},
                {"IsRecording", 1, r == 3, r == 3 ? "true" : "false"},
                {"KeepUntil", 0, 0, "0"},
                {"KeepUntilDate", 1, 0, date(start + 86400000LL * 30)},
                {"SeriesNum", 0, 2, "2"},
                {"StartTime", 1, 0, date(start)},
                {"StopTime", 0, 0, "0"},
                {"TimesWatched", 0, r % 3, std::to_string(r % 3)},
                {"Title", 1, 0, "Show number " + std::to_string(r)},
            };
            l.body += r > 1 ? ",{" : "{";
            for (size_t i = 0; i < m.size(); ++i) {
                const Member& x = m[i];
                bool quoted = x.type == 1 && x.text != "true" && x.text != "false";
                l.body += (i ? ",\"" : "\"") + x.name + "\":" + (quoted ? "\"" + x.text + "\"" : x.text);
                l.members.push_back({"Rec" + std::to_string(r) + "." + x.name, x.type, x.ival, x.text});
            }
            l.body += "}";
        }
        l.body += "]";
        return l;
    }();
    return list;
}

void empty_table() {
    MP_Numtags = 0;
    MP_Clear_tags();
}

// The bridge's own loop: each object under "Rec%d", inside the tag lock.
void flatten(const char* body) {
    int pos = 1;
    for (int r = 1; r <= kRecordings; ++r) {
        char prefix[64];
        snprintf(prefix, sizeof prefix, "Rec%d", r);
        int prefix_len = static_cast<int>(strlen(prefix));
        MP_lock();
        MP_Parse_item("TCP[MPEx]:", prefix, body, &pos, &prefix_len);
        MP_unlock();
    }
}

// Debug level 0, as the bridges run: every store's log line is composed but not written.
bool setup(benchmark::State& state) {
    MP_log_reset();
    MP_Global_Debug = 0;
    empty_table();
    flatten(recordings().body.c_str());
    if (MP_Numtags != static_cast<int>(recordings().members.size())) {
        state.SkipWithError("the list did not flatten into one tag per member");
        return false;
    }
    return true;
}

void BM_FlattenIntoEmptyTable(benchmark::State& state) {
    if (!setup(state)) return;
    const char* body = recordings().body.c_str();
    for (auto _ : state) {
        state.PauseTiming();
        empty_table();
        state.ResumeTiming();
        flatten(body);
    }
    state.counters["tags"] = MP_Numtags;
}

void BM_FlattenIntoFilledTable(benchmark::State& state) {
    if (!setup(state)) return;
    const char* body = recordings().body.c_str();
    for (auto _ : state) flatten(body);
    state.counters["tags"] = MP_Numtags;
}

// The same stores made directly: the tag table's share of a flattening.
void BM_StoresOnlyIntoFilledTable(benchmark::State& state) {
    if (!setup(state)) return;
    const std::vector<Member>& members = recordings().members;
    for (auto _ : state) {
        MP_lock();
        for (const Member& m : members) MP_put_tag(m.name.c_str(), m.type, m.ival, m.text.c_str());
        MP_unlock();
    }
}

// One held-back level-2 line per store in the tag table's format, composed with MP_logf: what
// the store's line would cost through printf (the store composes it without).
void BM_StoreLogLinesOnly(benchmark::State& state) {
    if (!setup(state)) return;
    const std::vector<Member>& members = recordings().members;
    for (auto _ : state) {
        int entry = 1;
        for (const Member& m : members)
            MP_logf(2, "put_tag", "entry=%4d, type=%2d, ival=%6d, name=%40s, string=%s", ++entry, m.type,
                    m.ival, m.name.c_str(), m.text.c_str());
    }
}

// Every name of the filled table looked up once, in an order unrelated to the table's: the
// lookups that cannot take the entry after the last one found.
void BM_LookupsOutOfOrder(benchmark::State& state) {
    if (!setup(state)) return;
    const std::vector<Member>& members = recordings().members;
    std::vector<const char*> names;
    for (size_t i = 0; i < members.size(); ++i)
        names.push_back(members[(i * 7919) % members.size()].name.c_str());
    int found = 0;
    for (auto _ : state)
        for (const char* n : names) found += MP_get_tag(n, nullptr, nullptr, nullptr) > 0;
    benchmark::DoNotOptimize(found);
    state.counters["lookups"] = static_cast<double>(names.size());
}

// The list with letters beyond ASCII in its descriptions and titles, as a received text is
// flattened in each text encoding (the argument): cleaned of its multi-byte characters once,
// named with their characters, then flattened into the filled table, the texts converted in the
// readable encodings. Raw is the cost that the others are held to.
void BM_FlattenInEncoding(benchmark::State& state) {
    if (!setup(state)) return;
    std::string text = recordings().body;
    for (size_t at = text.find("item "); at != std::string::npos; at = text.find("item ", at))
        text.replace(at, 5, "\xC3\xA9l\xC3\xA9ment \xE2\x80\x93 ");
    for (size_t at = text.find("Show number"); at != std::string::npos; at = text.find("Show number", at))
        text.replace(at, 11, "Sch\xC3\xBCsse Nr.");
    MP_Global_TextEncoding = static_cast<int>(state.range(0));
    static MP_TextPoint points[1 << 16];
    if (text.size() >= sizeof points / sizeof points[0]) {
        state.SkipWithError("the list outgrew the code points");
        return;
    }
    int n = MP_text_clean(text.data(), points, 0, static_cast<int>(text.size()), true, nullptr);
    text.resize(static_cast<size_t>(n));
    {
        MP_TextNamed named(text.c_str(), points, n);
        for (auto _ : state) flatten(text.c_str());
    }
    state.counters["tags"] = MP_Numtags;
    MP_Global_TextEncoding = MP_TEXT_RAW;
}

BENCHMARK(BM_FlattenIntoEmptyTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlattenInEncoding)->Arg(MP_TEXT_RAW)->Arg(MP_TEXT_WINDOWS_1252)->Arg(MP_TEXT_ASCII)->Arg(MP_TEXT_UTF8)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlattenIntoFilledTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoresOnlyIntoFilledTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreLogLinesOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupsOutOfOrder)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
