// lcd_report.cpp - the program's one way to write a line: the bridges' log family, or the console alone.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "lcd.h"

namespace {

constexpr char kLabel[] = "LCD";

MP_PRINTF(1, 0) const char* compose(const char* format, va_list args) {
    static char text[MP_LOG_LINE_SIZE];
    if (vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
    return text;
}

// Without a log the console gets the line with a time stamp of its own.
void console(const char* label, const char* text) {
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    struct tm tm;
    if (vp_localtime(now, &tm) == 0)
        printf("%02d:%02d:%02d %s %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec, label, text);
    else
        printf("%s %s\n", label, text);
    fflush(stdout);
}

}  // namespace

void lcd_report(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const char* text = compose(format, args);
    va_end(args);
    if (MP_log_is_open())
        MP_log_line(level, kLabel, text, level == 1 ? MP_Global_Debug : 0);
    else if (level <= 0 || (level == 1 && MP_Global_Debug != 0) || MP_Global_Debug >= level)
        console(kLabel, text);
}

void lcd_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const char* text = compose(format, args);
    va_end(args);
    if (MP_log_is_open())
        MP_errlog(kLabel, text);
    else
        console("**Error**LCD", text);
}
