// mp_timefmt.cpp - time helpers: date texts of time values, second counts, the 16-cell bar.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "mp_log.h"
#include "mp_text.h"
#include "vp.h"

namespace {
constexpr long long latest_time = 2147483647;

// The conversions that strftime offers alike on every platform this runs on. Others (such as
// "%e" or "%-d") end the program through the Windows run-time's invalid-parameter handler, so
// a date format that uses them is refused.
bool portable_date_format(const char* format) {
    for (const char* p = format; *p; p++) {
        if (*p != '%') continue;
        p++;
        if (!*p || !strchr("aAbBcdHIjmMpSUwWxXyYZ%", *p)) return false;
    }
    return true;
}
}  // namespace

// The format texts come from the callers, who pass the matching number of ints.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

void time_fmt(char* dest, long long t) {
    MP_TRACE("time_fmt");
    if (t < 0) t = latest_time;
    struct tm tm;
    if (vp_localtime(static_cast<time_t>(t), &tm) == 0 && MP_asctime_text(&tm, dest) == 0) return;
    // A value whose year has no four digits has no 24-character date text; it is shown as the
    // latest 32-bit time instead.
    MP_errlogf("time_fmt:", "Time value %lld has no date text; %lld is shown", t, latest_time);
    if (vp_localtime(static_cast<time_t>(latest_time), &tm) != 0 || MP_asctime_text(&tm, dest) != 0)
        dest[0] = '\0';
}

void MP_one_time_fmt(char* dest, const char* format, int seconds) {
    MP_TRACE("MP_one_time_fmt");
    sprintf(dest, format, seconds / 3600, seconds % 3600 / 60, seconds % 60);
}

int two_time_fmt(char* dest, const char* format, int a, int b) {
    MP_TRACE("two_time_fmt");
    return sprintf(dest, format, a / 3600, a % 3600 / 60, a % 60, b / 3600, b % 3600 / 60, b % 60);
}

void Tbars(char* dest, int value, int maximum, char fill) {
    MP_TRACE("Tbars");
    memset(dest, '_', 16);
    if (value > 0 && maximum > 0) {
        // In 64 bits, so that a large value cannot overflow before the division.
        long long n = static_cast<long long>(value) * 16 / maximum;
        if (n > 16) n = 16;
        memset(dest, fill, static_cast<size_t>(n));
    }
    dest[16] = '\0';
}

int bar_or_time_fmt(char* dest, const char* format, int a, int b) {
    if (MP_Global_BarChar != 0) {
        Tbars(dest, a, b, MP_Global_BarChar);
        return 16;
    }
    return two_time_fmt(dest, format, a, b);
}

const char* now_fmt() {
    static char text[4096];
    text[0] = '\0';
    if (!portable_date_format(MP_Global_DateFormat)) {
        MP_errlogf("now_fmt:", "Date format \"%.63s\" is not supported", MP_Global_DateFormat);
        return text;
    }
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    struct tm tm;
    // strftime leaves the buffer undefined when the result does not fit.
    if (vp_localtime(now, &tm) != 0 || strftime(text, sizeof text, MP_Global_DateFormat, &tm) == 0)
        text[0] = '\0';
    return text;
}

#pragma GCC diagnostic pop
