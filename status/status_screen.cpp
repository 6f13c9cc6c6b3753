// status_screen.cpp - the monitor's screen: both headers, the merged listing and the total.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "status.h"
#include "vp.h"

namespace {
// The longest row: every number at its widest, a name and a text without terminators.
constexpr size_t kRowMax = 4 + 2 + 11 + 1 + 12 + 2 + 11 + 3 + 64 + 1 + 260 + 1;
// Both full tables and their header entry, the two state lines and the closing lines.
constexpr size_t kScreenSize = (2 * MP_MAXTAGS + 1) * kRowMax + 4096;

// The whole screen, composed before it is shown, so that it goes out at once. Only the part in
// use is ever touched.
char screen[kScreenSize];
size_t screen_len = 0;

char now_text[256];
char time_text1[256];
char time_text2[256];
// A name or text from a block, made safe for the console.
char name_text[sizeof(MP_TagEntry::name) + 1];
char value_text[sizeof(MP_TagEntry::string) + 1];

__attribute__((format(printf, 1, 2))) void add(const char* format, ...) {
    if (screen_len + 1 >= kScreenSize) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(screen + screen_len, kScreenSize - screen_len, format, args);
    va_end(args);
    if (n < 0) return;
    screen_len += static_cast<size_t>(n);
    if (screen_len >= kScreenSize) screen_len = kScreenSize - 1;
}

// Copies a field up to its zero or its end. Control bytes would act on the terminal (a text
// from a server may carry escape sequences), so they show as '?'.
const char* console_text(char* out, const char* field, size_t width) {
    size_t n = 0;
    for (; n < width && field[n] != '\0'; n++) {
        unsigned char c = static_cast<unsigned char>(field[n]);
        out[n] = c < 32 || c == 127 ? '?' : field[n];
    }
    out[n] = '\0';
    return out;
}

// The state word byte by byte. A zero byte shows as nothing, as a terminal shows it, so that
// "Numtags" and a zero reads "Numtags" and the blank of "Invalid " stays visible; other
// control bytes and bytes outside ASCII, which no state word holds, show as '?'.
void add_state_word(const char* word) {
    for (int i = 0; i < 8; i++) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c == 0 || screen_len + 1 >= kScreenSize) continue;
        screen[screen_len++] = c < 32 || c >= 127 ? '?' : static_cast<char>(c);
    }
}

// Row r of the listing: the merged table, and past its end the MPExtended copy, whose rows
// carry the same fields.
const MP_TagEntry& listed_row(int r) {
    if (r <= MP_MAXTAGS) return MP_status_merged[r];
    int rows1 = MP_status_count1 < 0 ? 0 : MP_status_count1 > MP_MAXTAGS ? MP_MAXTAGS : MP_status_count1;
    return MP_status_mpx_table[r - rows1];
}
}  // namespace

void MP_status_time_text(char* dest, int64_t seconds) {
    // The run-time's ctime form, local time, without its line feed. A value that the run-time
    // cannot convert (it gives no text) is shown as its number rather than read through null.
    time_t t = static_cast<time_t>(seconds);
    const char* text = ctime(&t);
    if (text == nullptr) {
        snprintf(dest, 256, "(%lld)", static_cast<long long>(seconds));
        return;
    }
    size_t n = strcspn(text, "\n");
    snprintf(dest, 256, "%.*s", static_cast<int>(n < 255 ? n : 255), text);
}

const char* MP_status_now_text() {
    time_t now;
    unsigned short millis;
    vp_time_now(&now, &millis);
    struct tm tm;
    // The screen shows the year in two digits, by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    if (vp_localtime(now, &tm) != 0 || strftime(now_text, sizeof now_text, "%H:%M %d/%m/%y", &tm) == 0)
        now_text[0] = '\0';
#pragma GCC diagnostic pop
    return now_text;
}

void MP_status_print_tags() {
    add("%s\n%s\n", MP_DUMP_HEADER, MP_DUMP_RULE);
    // Unlike the tag listing, row 0 is shown too: the WifiRemote header entry with its count
    // and status line.
    for (int r = 0; r < MP_status_row_total; r++) {
        const MP_TagEntry& row = listed_row(r);
        add("%4d  %2d %12d  %3d   %-40s %-s\n", r, row.type, row.ival, row.len,
            console_text(name_text, row.name, sizeof row.name),
            console_text(value_text, row.string, sizeof row.string));
    }
}

const char* MP_status_compose(size_t* length) {
    screen_len = 0;
    MP_status_read_tables();
    MP_status_time_text(time_text1, MP_status_header1.time);
    MP_status_time_text(time_text2, MP_status_header2.time);

    add("%s WifiRemote State1=", MP_status_now_text());
    add_state_word(MP_status_header1.name);
    add(" Numtags1=%4d Time=%s Status1=%s\n", MP_status_count1, time_text1,
        console_text(value_text, MP_status_header1.string, sizeof MP_status_header1.string));
    add("               MPExtended State2=");
    add_state_word(MP_status_header2.name);
    add(" Numtags2=%4d Time=%s Status2=%s\n", MP_status_count2, time_text2,
        console_text(value_text, MP_status_header2.string, sizeof MP_status_header2.string));
    MP_status_print_tags();
    add("Total Numtags=%d\n", MP_status_row_total);
    // A block that could not be opened reads as zeros; the reason stays on the screen.
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        const char* problem = MP_status_channel_problem(c);
        if (problem[0] != '\0') add("%s: %s\n", MP_status_block_name[c], problem);
    }
    *length = screen_len;
    return screen;
}

void MP_status_show() {
    size_t len = 0;
    const char* text = MP_status_compose(&len);
    vp_console_show(text, len);
}
