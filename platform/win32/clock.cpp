// clock.cpp - Win32: sleeping, the wall clock with milliseconds, local time, process time.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <ctime>

#include "vp.h"

namespace {
long long counter_now() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}
long long counter_rate() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}
// Taken when the program is loaded, so that process time counts from the start.
const long long process_start = counter_now();
const long long ticks_per_second = counter_rate();

// FILETIME counts 100 ns units since 1601-01-01; this many lie before 1970-01-01.
constexpr unsigned long long kEpochOffset = 116444736000000000ULL;
}  // namespace

void vp_sleep_ms(unsigned ms) { Sleep(ms); }

void vp_time_now(time_t* seconds, unsigned short* millis) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long t = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    t -= kEpochOffset;
    *seconds = static_cast<time_t>(t / 10000000ULL);
    *millis = static_cast<unsigned short>((t % 10000000ULL) / 10000ULL);
}

// The system time is kept at the clock tick already and costs no more than a read of memory
// that the system updates, so the cheap reading is the same one.
void vp_time_now_coarse(time_t* seconds, unsigned short* millis) { vp_time_now(seconds, millis); }

int vp_localtime(time_t t, struct tm* out) { return localtime_s(out, &t) == 0 ? 0 : -1; }

double vp_process_seconds() {
    return static_cast<double>(counter_now() - process_start) / static_cast<double>(ticks_per_second);
}
