// sim_chaos.cpp - seeded fault draws for the simulators, their mix, their window and their counts.
#include "sim_chaos.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_files.h"
#include "vp.h"

namespace {

constexpr const char* kNames[kChaosKinds] = {"whole", "split", "delay", "cut",
                                             "garbage", "oversize", "lie", "refuse"};
// The default mix: about half of all answers are whole, the rest spread over the faults, with
// refusals rare since each one keeps the service away for seconds.
constexpr std::array<int, kChaosKinds> kDefaultMix = {50, 10, 8, 6, 6, 6, 6, 2};

bool enabled = false;
uint64_t state = 0;
std::array<int, kChaosKinds> mix = kDefaultMix;
double from_s = 0;
double for_s = 0;  // 0: for ever
const char* counts_path = nullptr;
long long counts[kChaosKinds];

// splitmix64: a small generator whose whole state is the seed, so that a seed names a run.
uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool parse_mix(const char* text) {
    int m[kChaosKinds] = {};
    const char* p = text;
    while (*p) {
        size_t len = strcspn(p, "=");
        if (p[len] != '=') return false;
        int kind = -1;
        for (int k = 0; k < kChaosKinds; k++)
            if (strlen(kNames[k]) == len && strncmp(p, kNames[k], len) == 0) kind = k;
        if (kind < 0) return false;
        char* end = nullptr;
        long w = strtol(p + len + 1, &end, 10);
        if (end == p + len + 1 || w < 0 || w > 1000000 || (*end != ',' && *end != '\0')) return false;
        m[kind] = static_cast<int>(w);
        p = *end == ',' ? end + 1 : end;
    }
    long total = 0;
    for (int w : m) total += w;
    if (total == 0) return false;
    for (int k = 0; k < kChaosKinds; k++) mix[static_cast<size_t>(k)] = m[k];
    return true;
}

}  // namespace

const char kChaosHelp[] =
    "Chaos mode (seeded random faults; the same seed gives the same sequence of draws):\n"
    "  --chaos SEED       draw a fault for every answer: whole, split (at a random byte, with a\n"
    "                     pause), delay, cut (a random part, then close), garbage (random bytes\n"
    "                     first), oversize (beyond the bridge's receive buffer), lie (a false\n"
    "                     length), refuse (close, and stop listening for a few seconds)\n"
    "  --chaos-mix LIST   weights, e.g. whole=50,split=10,delay=8,cut=6,garbage=6,oversize=6,\n"
    "                     lie=6,refuse=2 (the default); kinds left out weigh 0\n"
    "  --chaos-from S     faults begin S seconds after the start (0)\n"
    "  --chaos-for S      and last S seconds; afterwards every answer is sane (0: for ever)\n"
    "  --chaos-counts F   keep the count of each kind drawn in F, one \"kind count\" line each\n";

const char* chaos_name(ChaosFault f) { return kNames[static_cast<int>(f)]; }

void chaos_reset(uint64_t seed) {
    enabled = true;
    state = seed;
    mix = kDefaultMix;
    memset(counts, 0, sizeof counts);
}

bool chaos_option(const char* option, const char* value, bool* handled) {
    *handled = true;
    if (strcmp(option, "--chaos") == 0) {
        char* end = nullptr;
        unsigned long long seed = strtoull(value, &end, 10);
        if (end == value || *end) return false;
        enabled = true;
        state = seed;
        return true;
    }
    if (strcmp(option, "--chaos-mix") == 0) return parse_mix(value);
    if (strcmp(option, "--chaos-from") == 0) return (from_s = atof(value)) >= 0;
    if (strcmp(option, "--chaos-for") == 0) return (for_s = atof(value)) >= 0;
    if (strcmp(option, "--chaos-counts") == 0) return (counts_path = *value ? value : nullptr), true;
    *handled = false;
    return false;
}

bool chaos_active() {
    if (!enabled) return false;
    double t = vp_process_seconds();
    return t >= from_s && (for_s <= 0 || t < from_s + for_s);
}

long chaos_between(long lo, long hi) {
    if (hi <= lo) return lo;
    return lo + static_cast<long>(next() % static_cast<uint64_t>(hi - lo + 1));
}

void chaos_bytes(char* out, int len) {
    for (int i = 0; i < len; i++) out[i] = static_cast<char>(next() & 0xFF);
}

ChaosFault chaos_draw() {
    if (!chaos_active()) return ChaosFault::Whole;
    long total = 0;
    for (int w : mix) total += w;
    long r = chaos_between(0, total - 1);
    int k = 0;
    while (k < kChaosKinds - 1 && r >= mix[static_cast<size_t>(k)]) r -= mix[static_cast<size_t>(k++)];
    ChaosFault f = static_cast<ChaosFault>(k);
    chaos_count(f);
    return f;
}

void chaos_count(ChaosFault f) {
    counts[static_cast<int>(f)]++;
    chaos_write_counts();
}

long long chaos_counted(ChaosFault f) { return counts[static_cast<int>(f)]; }

void chaos_write_counts() {
    if (!counts_path) return;
    // Written under another name and renamed, so that a reader never sees half a file.
    std::string text;
    for (int k = 0; k < kChaosKinds; k++)
        text += std::string(kNames[k]) + " " + std::to_string(counts[k]) + "\n";
    sim_write_whole("simulator", counts_path, text);
}
