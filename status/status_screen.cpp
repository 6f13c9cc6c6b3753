// status_screen.cpp - the monitor's lines: state lines with the age of each block, listing rows
// made safe for a terminal, the whole listing, and the choice of the screen form.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "mp_tags.h"
#include "mp_term_text.h"
#include "status.h"
#include "vp.h"

namespace {
// The longest row: every number at its widest, a name padded to its column and a text of 256
// bytes that each take three as UTF-8, without terminators.
constexpr size_t kRowMax = 4 + 2 + 11 + 1 + 12 + 2 + 11 + 3 + 64 + 1 + 3 * 260 + 1;
static_assert(kRowMax < STATUS_LINE_MAX);
// Both full tables and their header entry, the two state lines and the closing lines.
constexpr size_t kScreenSize = (2 * VR_MAX_TAGS + 1) * kRowMax + 4096;

// The whole listing, composed before it is shown, so that it goes out at once. Only the part in
// use is ever touched.
char screen[kScreenSize];
size_t screen_len = 0;

char now_text[256];
char time_text[256];
char age_text[64];
// A name or text from a block, made safe for the console.
char name_text[sizeof(vr_record::name) + 1];
char value_text[MP_term_text_room(sizeof(vr_record::string))];
char line[STATUS_LINE_MAX];

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

// Appends to a line of STATUS_LINE_MAX bytes, as far as it reaches.
__attribute__((format(printf, 3, 4))) void append(char* dest, size_t* len, const char* format, ...) {
    if (*len + 1 >= STATUS_LINE_MAX) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(dest + *len, STATUS_LINE_MAX - *len, format, args);
    va_end(args);
    if (n < 0) return;
    *len += static_cast<size_t>(n);
    if (*len >= STATUS_LINE_MAX) *len = STATUS_LINE_MAX - 1;
}

// The state word byte by byte. A zero byte shows as nothing, as a terminal shows it, so that
// "Numtags" and a zero reads "Numtags" and the blank of "Invalid " stays visible; other
// control bytes and bytes outside ASCII, which no state word holds, show as '?'.
void append_state_word(char* dest, size_t* len, const char* word) {
    for (int i = 0; i < 8; i++) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c == 0 || *len + 1 >= STATUS_LINE_MAX) continue;
        dest[(*len)++] = c < 32 || c >= 127 ? '?' : static_cast<char>(c);
    }
    dest[*len] = '\0';
}

const char* clock_text(int64_t now) {
    struct tm tm;
    // The screen shows the year in two digits, by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    if (vp_localtime(static_cast<time_t>(now), &tm) != 0 || strftime(now_text, sizeof now_text, "%H:%M %d/%m/%y", &tm) == 0)
        now_text[0] = '\0';
#pragma GCC diagnostic pop
    return now_text;
}

// An age in the unit that keeps it short.
void duration_text(char* dest, size_t size, int64_t seconds) {
    if (seconds < 120)
        snprintf(dest, size, "%lld s", static_cast<long long>(seconds));
    else if (seconds < 120 * 60)
        snprintf(dest, size, "%lld min", static_cast<long long>(seconds / 60));
    else if (seconds < 48 * 3600)
        snprintf(dest, size, "%lld h", static_cast<long long>(seconds / 3600));
    else
        snprintf(dest, size, "%lld d", static_cast<long long>(seconds / 86400));
}
}  // namespace

const char* MP_status_console_text(char* out, const char* field, size_t width, int encoding) {
    // Control bytes would act on the terminal (a text from a server may carry escape sequences).
    // A Raw text never grows; a readable one may take three bytes for each of its own.
    size_t size = encoding == MP_TEXT_RAW ? width + 1 : MP_term_text_room(width);
    return MP_term_text(out, size, field, width, encoding);
}

void MP_status_age_text(char* dest, size_t size, int64_t now, int32_t published, int stale_after) {
    if (published == 0) {
        snprintf(dest, size, "[never published]");
        return;
    }
    char span[32];
    int64_t age = now - static_cast<int64_t>(static_cast<uint32_t>(published));
    if (age < 0) {
        duration_text(span, sizeof span, -age);
        snprintf(dest, size, "[%s ahead]", span);
        return;
    }
    duration_text(span, sizeof span, age);
    if (age > stale_after)
        snprintf(dest, size, "[STALE, %s ago]", span);
    else
        snprintf(dest, size, "[%s ago]", span);
}

const vr_record& MP_status_listed_row(int r) {
    // The merged table, and past its end the MPExtended copy, whose rows carry the same fields.
    if (r <= VR_MAX_TAGS) return MP_status_merged[r];
    int rows1 = MP_status_count1 < 0 ? 0 : MP_status_count1 > VR_MAX_TAGS ? VR_MAX_TAGS : MP_status_count1;
    return MP_status_mpx_table[r - rows1];
}

size_t MP_status_state_line(char* dest, int channel, int64_t now) {
    const bool wifi = channel == 0;
    const vr_record& header = wifi ? MP_status_header1 : MP_status_header2;
    size_t len = 0;
    dest[0] = '\0';
    if (wifi)
        append(dest, &len, "%s WifiRemote State1=", clock_text(now));
    else
        append(dest, &len, "               MPExtended State2=");
    append_state_word(dest, &len, header.name);
    MP_status_time_text(time_text, header.time);
    MP_status_age_text(age_text, sizeof age_text, now, header.time, wifi ? MP_STALE_WIFIREMOTE : MP_STALE_MPEXTENDED);
    append(dest, &len, " Numtags%d=%4d Time=%s Status%d=%s  %s", wifi ? 1 : 2, wifi ? MP_status_count1 : MP_status_count2,
           time_text, wifi ? 1 : 2,
           MP_status_console_text(value_text, header.string, sizeof header.string, MP_status_encoding(channel)), age_text);
    return len;
}

size_t MP_status_row_line(char* dest, int r) {
    const vr_record& row = MP_status_listed_row(r);
    // Names are the same in every encoding; the text is shown as its block's encoding means it.
    MP_status_console_text(name_text, row.name, sizeof row.name);
    MP_status_console_text(value_text, row.string, sizeof row.string, MP_status_encoding(MP_status_row_channel(r)));
    // The name's column is 40 characters wide, counted as the terminal shows them.
    size_t name_len = strlen(name_text);
    size_t columns = MP_term_columns(name_text, name_len);
    int pad = columns < 40 ? static_cast<int>(40 - columns) : 0;
    int n = snprintf(dest, STATUS_LINE_MAX, "%4d  %2d %12d  %3d   %s%*s %-s", r, row.type, row.ival, row.len,
                     name_text, pad, "", value_text);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < STATUS_LINE_MAX ? static_cast<size_t>(n) : STATUS_LINE_MAX - 1;
}

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

void MP_status_print_tags() {
    add("%s\n%s\n", MP_DUMP_HEADER, MP_DUMP_RULE);
    // Unlike the tag listing, row 0 is shown too: the WifiRemote header entry with its count
    // and status line.
    for (int r = 0; r < MP_status_row_total; r++) {
        if (!MP_status_row_listed(MP_status_listed_row(r))) continue;
        MP_status_row_line(line, r);
        add("%s\n", line);
    }
}

const char* MP_status_full_screen(int64_t now, size_t* length) {
    screen_len = 0;
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        MP_status_state_line(line, c, now);
        add("%s\n", line);
    }
    MP_status_print_tags();
    add("Total Numtags=%d\n", MP_status_row_total);
    if (MP_status_filtered()) {
        int matched = 0;
        for (int r = 0; r < MP_status_row_total; r++) matched += MP_status_row_listed(MP_status_listed_row(r));
        add("Filter:");
        for (int i = 0; MP_status_filter_word(i) != nullptr; i++)
            add(" %s", MP_status_console_text(name_text, MP_status_filter_word(i), sizeof(vr_record::name)));
        add(" (%d of %d rows)\n", matched, MP_status_row_total);
    }
    // A block that could not be opened reads as zeros; the reason stays on the screen.
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        const char* problem = MP_status_channel_problem(c);
        if (problem[0] != '\0') add("%s: %s\n", MP_status_block_name[c], problem);
    }
    *length = screen_len;
    return screen;
}

const char* MP_status_compose(size_t* length) {
    MP_status_read_tables();
    time_t now;
    unsigned short millis;
    vp_time_now(&now, &millis);
    return MP_status_full_screen(now, length);
}

void MP_status_show() {
    int rows = 0, cols = 0;
    size_t len = 0;
    if (vp_console_size(&rows, &cols) == 0) {
        MP_status_read_tables();
        time_t now;
        unsigned short millis;
        vp_time_now(&now, &millis);
        const char* text = MP_status_fitted_screen(now, rows, cols, MP_status_keys_on, &len);
        vp_console_draw(text, len);
        return;
    }
    const char* text = MP_status_compose(&len);
    vp_console_show(text, len);
}
