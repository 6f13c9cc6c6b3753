// sim_chaos.h - the simulators' chaos mode: seeded random faults on what they send, counted by kind.
#pragma once

#include <cstdint>

// The faults a simulator may put on one answer or message. Whole is the fault-free case; it is
// drawn and counted like the others so that the mix reads as shares of all answers.
enum class ChaosFault { Whole, Split, Delay, Cut, Garbage, Oversize, Lie, Refuse, Kinds };
inline constexpr int kChaosKinds = static_cast<int>(ChaosFault::Kinds);

// The kinds' names as the mix option and the counts file spell them.
const char* chaos_name(ChaosFault f);

// Takes one chaos option with its value: --chaos SEED, --chaos-mix "split=10,cut=5,...",
// --chaos-from S, --chaos-for S, --chaos-counts FILE. Returns false when the option is not a
// chaos option (handled = false) or its value is wrong (handled = true).
bool chaos_option(const char* option, const char* value, bool* handled);
// The options' help text, for the simulators' --help.
extern const char kChaosHelp[];

// Whether faults are drawn now: chaos is on and the time since start is inside its window.
bool chaos_active();
// Draws the fault for the next answer and counts it; Whole whenever chaos is not active.
ChaosFault chaos_draw();
// A number in [lo, hi] from the seeded sequence.
long chaos_between(long lo, long hi);
// Fills a buffer with random bytes (any value, line ends and zero bytes included).
void chaos_bytes(char* out, int len);
// Counts one fault seen outside chaos_draw (none today; kept for the simulators' own use).
void chaos_count(ChaosFault f);
// Writes the counts file now (also done after every draw that is not Whole).
void chaos_write_counts();
// The counts so far, for a test.
long long chaos_counted(ChaosFault f);
// Starts the sequence afresh from a seed with the default mix; for a test.
void chaos_reset(uint64_t seed);
