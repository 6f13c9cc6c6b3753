// status_fit.cpp - the screen that fits a terminal window, and paging through its rows by keys.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "mp_tags.h"
#include "mp_term_text.h"
#include "status.h"
#include "vp.h"

int MP_status_first = 0;
int MP_status_shown_first = 0;
int MP_status_page_rows = 0;

namespace {
// The largest window drawn; a larger one shows the screen in its top left part.
constexpr int kMaxRows = 500;
constexpr int kMaxCols = 1000;

// Each line holds STATUS_LINE_MAX bytes at most, however many columns its letters take.
char fit[kMaxRows * (STATUS_LINE_MAX + 1)];
size_t fit_len = 0;
int lines_drawn = 0;
int line_room = 0;    // the rows that may still take lines
size_t line_width = 0;

char state[STATUS_CHANNELS][STATUS_LINE_MAX];
size_t state_len[STATUS_CHANNELS];
char line[STATUS_LINE_MAX];

// One line, cut to the window's width in columns, never inside a character.
void put_line(const char* text, size_t len) {
    if (lines_drawn >= line_room) return;
    len = MP_term_fit(text, len, line_width);
    if (len > STATUS_LINE_MAX) len = STATUS_LINE_MAX;
    if (lines_drawn > 0) fit[fit_len++] = '\n';
    memcpy(fit + fit_len, text, len);
    fit_len += len;
    lines_drawn++;
}

// A line wider than the window goes on in the next rows, broken after its last blank that
// leaves at least half a row, else at the width. Returns the bytes of the row that begins at
// at, and where the next row begins.
size_t wrap(const char* text, size_t len, size_t at, size_t* next) {
    // The bytes of the row's width in columns: a letter may take more than one byte.
    size_t width = MP_term_fit(text + at, len - at, line_width);
    // A character wider than the row still takes a row of its own.
    if (width == 0) width = MP_term_fit(text + at, len - at, 2);
    if (width == 0) width = 1;
    if (at + width == len) {
        *next = len;
        return len - at;
    }
    for (size_t k = at + width; k > at + width / 2; k--) {
        if (text[k] == ' ') {
            *next = k + 1;
            return k - at;
        }
    }
    *next = at + width;
    return width;
}

int rows_of(const char* text, size_t len) {
    int rows = 0;
    size_t at = 0;
    do {
        wrap(text, len, at, &at);
        rows++;
    } while (at < len);
    return rows;
}

void put_wrapped(const char* text, size_t len) {
    size_t at = 0;
    do {
        size_t from = at;
        size_t n = wrap(text, len, from, &at);
        put_line(text + from, n);
    } while (at < len);
}

__attribute__((format(printf, 2, 3))) void closing(size_t* n, const char* format, ...) {
    if (*n + 1 >= sizeof line) return;
    va_list args;
    va_start(args, format);
    int k = vsnprintf(line + *n, sizeof line - *n, format, args);
    va_end(args);
    if (k > 0) *n += static_cast<size_t>(k) < sizeof line - *n ? static_cast<size_t>(k) : sizeof line - *n - 1;
}

int clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }
}  // namespace

const char* MP_status_fitted_screen(int64_t now, int rows, int cols, bool keys, size_t* length) {
    rows = clamp(rows, 1, kMaxRows);
    // The last column stays free: a full row would wrap on some consoles.
    line_width = static_cast<size_t>(clamp(cols - 1, 1, kMaxCols - 1));
    fit_len = 0;
    lines_drawn = 0;
    // The last row is kept for the closing line.
    line_room = rows - 1;

    int top = 2;
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        state_len[c] = MP_status_state_line(state[c], c, now);
        top += rows_of(state[c], state_len[c]);
        if (MP_status_channel_problem(c)[0] != '\0') top++;
    }
    int listed = 0;
    for (int r = 0; r < MP_status_row_total; r++) listed += MP_status_row_listed(MP_status_listed_row(r));
    int page = rows - 1 - top;
    if (page < 0) page = 0;
    int first = clamp(MP_status_first, 0, listed - page > 0 ? listed - page : 0);
    MP_status_shown_first = first;
    MP_status_page_rows = page;

    for (int c = 0; c < STATUS_CHANNELS; c++) put_wrapped(state[c], state_len[c]);
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        const char* problem = MP_status_channel_problem(c);
        if (problem[0] == '\0') continue;
        int n = snprintf(line, sizeof line, "%s: %s", MP_status_block_name[c], problem);
        if (n > 0) put_line(line, static_cast<size_t>(n));
    }
    put_line(MP_DUMP_HEADER, sizeof MP_DUMP_HEADER - 1);
    put_line(MP_DUMP_RULE, sizeof MP_DUMP_RULE - 1);
    int index = 0, shown = 0;
    for (int r = 0; r < MP_status_row_total && shown < page; r++) {
        if (!MP_status_row_listed(MP_status_listed_row(r))) continue;
        if (index++ < first) continue;
        put_line(line, MP_status_row_line(line, r));
        shown++;
    }

    // The closing line takes the last row.
    line_room = rows;
    size_t n = 0;
    closing(&n, "Total Numtags=%d", MP_status_row_total);
    if (MP_status_filtered()) closing(&n, ", %d match", listed);
    int hidden = listed - shown;
    if (hidden == 0)
        closing(&n, keys ? "  all shown; q quits" : "  all shown");
    else if (keys)
        closing(&n, "  %d not shown: j/k PgUp/PgDn Home/End, q quits", hidden);
    else
        closing(&n, "  %d not shown: filter by names, or write to a file", hidden);
    put_line(line, n);

    *length = fit_len;
    return fit;
}

bool MP_status_page(int key) {
    int page = MP_status_page_rows > 1 ? MP_status_page_rows : 1;
    int from = MP_status_shown_first;
    switch (key) {
        case 'j':
        case VP_KEY_DOWN: MP_status_first = from + 1; break;
        case 'k':
        case VP_KEY_UP: MP_status_first = from - 1; break;
        case ' ':
        case 'f':
        case VP_KEY_PAGE_DOWN: MP_status_first = from + page; break;
        case 'b':
        case VP_KEY_PAGE_UP: MP_status_first = from - page; break;
        case 'g':
        case VP_KEY_HOME: MP_status_first = 0; break;
        case 'G':
        case VP_KEY_END: MP_status_first = STATUS_LAST; break;
        default: return false;
    }
    if (MP_status_first < 0) MP_status_first = 0;
    return true;
}
