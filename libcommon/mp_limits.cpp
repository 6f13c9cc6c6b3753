// mp_limits.cpp - the pauses and limits in force, and the test seam that shortens them.
#include "mp_limits.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp_log.h"

MP_Limits MP_Global_Limits;

namespace {
struct Field {
    const char* name;
    int MP_Limits::*value;
};
constexpr Field kFields[] = {
    {"reconnect", &MP_Limits::reconnect_pause_ms}, {"send", &MP_Limits::send_ms},
    {"answer", &MP_Limits::answer_ms},             {"whole", &MP_Limits::whole_answer_ms},
    {"silence", &MP_Limits::silence_ms},           {"poll", &MP_Limits::poll_ms},
    {"lcd_retry", &MP_Limits::lcd_retry_ms},       {"lcd_answer", &MP_Limits::lcd_answer_ms},
};

// One item "name=ms" of length len; true when it named a limit and held a sound value.
bool apply(const char* item, size_t len, MP_Limits* limits) {
    const char* eq = static_cast<const char*>(memchr(item, '=', len));
    if (!eq) return false;
    size_t name_len = static_cast<size_t>(eq - item);
    const char* digits = eq + 1;
    size_t digits_len = len - name_len - 1;
    if (digits_len == 0 || digits_len > 8) return false;
    long value = 0;
    for (size_t i = 0; i < digits_len; i++) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        value = value * 10 + (digits[i] - '0');
    }
    if (value < 1 || value > MP_LIMIT_MAX_MS) return false;
    for (const Field& f : kFields) {
        if (strlen(f.name) == name_len && memcmp(f.name, item, name_len) == 0) {
            limits->*f.value = static_cast<int>(value);
            return true;
        }
    }
    return false;
}
}  // namespace

int MP_limits_parse(const char* text, MP_Limits* limits, char* why, size_t size) {
    if (size > 0) why[0] = '\0';
    int rc = 0;
    const char* p = text;
    for (;;) {
        const char* end = strchr(p, ',');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (len > 0 && !apply(p, len, limits) && rc == 0) {
            rc = -1;
            // The item comes from outside; only its first 40 printable bytes are repeated.
            char shown[41];
            size_t n = 0;
            for (size_t i = 0; i < len && n < sizeof shown - 1; i++)
                shown[n++] = p[i] >= 0x20 && p[i] < 0x7f ? p[i] : '?';
            shown[n] = '\0';
            snprintf(why, size, "\"%s\" is no limit: name=ms, with reconnect, send, answer, whole, silence, "
                                "poll, lcd_retry or lcd_answer and 1 to %d ms", shown, MP_LIMIT_MAX_MS);
        }
        if (!end) break;
        p = end + 1;
    }
    return rc;
}

void MP_limits_from_environment() {
    const char* text = getenv(MP_LIMITS_VARIABLE);
    if (!text || !*text) return;
    char why[256];
    if (MP_limits_parse(text, &MP_Global_Limits, why, sizeof why) != 0)
        MP_errlogf("MP_limits", "%s: %s", MP_LIMITS_VARIABLE, why);
    const MP_Limits& l = MP_Global_Limits;
    MP_logf(1, "MP_limits",
            "Test limits in force (ms): reconnect %d, send %d, answer %d, whole %d, silence %d, poll %d, lcd_retry %d, "
            "lcd_answer %d",
            l.reconnect_pause_ms, l.send_ms, l.answer_ms, l.whole_answer_ms, l.silence_ms, l.poll_ms, l.lcd_retry_ms,
            l.lcd_answer_ms);
}
