// clock.cpp - POSIX: sleeping, the wall clock with milliseconds, local time, process time.
#include <cerrno>
#include <ctime>

#include "vp.h"

namespace {
timespec monotonic_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}
// Taken when the program is loaded, so that process time counts from the start.
const timespec process_start = monotonic_now();
}  // namespace

void vp_sleep_ms(unsigned ms) {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

void vp_time_now(time_t* seconds, unsigned short* millis) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *seconds = ts.tv_sec;
    *millis = static_cast<unsigned short>(ts.tv_nsec / 1000000);
}

void vp_time_now_coarse(time_t* seconds, unsigned short* millis) {
    timespec ts;
#ifdef CLOCK_REALTIME_COARSE
    // Read from the kernel's last tick without asking the hardware clock: several times
    // cheaper than CLOCK_REALTIME, at the tick's resolution.
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
#else
    clock_gettime(CLOCK_REALTIME, &ts);
#endif
    *seconds = ts.tv_sec;
    *millis = static_cast<unsigned short>(ts.tv_nsec / 1000000);
}

int vp_localtime(time_t t, struct tm* out) { return localtime_r(&t, out) ? 0 : -1; }

double vp_process_seconds() {
    timespec now = monotonic_now();
    return static_cast<double>(now.tv_sec - process_start.tv_sec) +
           static_cast<double>(now.tv_nsec - process_start.tv_nsec) / 1e9;
}
