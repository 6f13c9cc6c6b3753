// lcd_protocol.cpp - LCDd's line protocol: quoted arguments, the answer to hello, the kinds of its lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lcd.h"

size_t lcd_quote(const char* text, size_t len, char* out, size_t size) {
    if (size == 0) return 0;
    size_t o = 0;
    auto put = [&](char c) {
        if (o + 1 < size) out[o] = c;
        o++;
    };
    put('"');
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // LCDd makes a line end, a tab or a carriage return of "\n", "\t" and "\r", and ends
        // the command at a raw line end: a backslash is always escaped, and no control byte
        // is ever sent, not even the C1 controls that some terminals under the text and
        // curses drivers take for the start of a sequence.
        if (c == '"' || c == '\\') {
            put('\\');
            put(static_cast<char>(c));
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            put(' ');
        } else {
            put(static_cast<char>(c));
        }
    }
    put('"');
    if (o + 1 > size) {
        out[0] = '\0';
        return 0;
    }
    out[o] = '\0';
    return o;
}

namespace {

// The number after the word key in the line ("wid 20"), or -1 when the word is not there or
// no number follows it.
long number_after(const char* line, const char* key) {
    size_t key_len = strlen(key);
    for (const char* p = line; (p = strstr(p, key)) != nullptr; p += key_len) {
        bool starts_word = p == line || p[-1] == ' ';
        if (!starts_word || p[key_len] != ' ') continue;
        const char* digits = p + key_len + 1;
        if (*digits < '0' || *digits > '9') return -1;
        long v = 0;
        for (; *digits >= '0' && *digits <= '9'; digits++) {
            v = v * 10 + (*digits - '0');
            if (v > 100000) return -1;
        }
        return (*digits == ' ' || *digits == '\0') ? v : -1;
    }
    return -1;
}

}  // namespace

int lcd_parse_connect(const char* line, LcdDisplay* display, char* why, size_t why_size) {
    if (strncmp(line, "connect ", 8) != 0) {
        snprintf(why, why_size, "the answer to hello is no \"connect\" line");
        return -1;
    }
    long wid = number_after(line, "wid");
    long hgt = number_after(line, "hgt");
    if (wid < 1 || hgt < 1) {
        snprintf(why, why_size, "the answer to hello names no display size");
        return -1;
    }
    LcdDisplay d;
    d.real_width = static_cast<int>(wid);
    d.real_rows = static_cast<int>(hgt);
    // A wider or taller display (a graphic one that LCDd shows text on) gets the first
    // columns and rows.
    d.width = wid > LCD_MAX_WIDTH ? LCD_MAX_WIDTH : static_cast<int>(wid);
    d.rows = hgt > LCD_MAX_ROWS ? LCD_MAX_ROWS : static_cast<int>(hgt);
    long cw = number_after(line, "cellwid");
    long ch = number_after(line, "cellhgt");
    // The cell size only scales the bars: an odd one falls back to the common 5 by 8.
    d.cellwid = cw >= 1 && cw <= 64 ? static_cast<int>(cw) : 5;
    d.cellhgt = ch >= 1 && ch <= 64 ? static_cast<int>(ch) : 8;
    *display = d;
    if (why_size) why[0] = '\0';
    return 0;
}

LcdReply lcd_reply_kind(const char* line) {
    if (strcmp(line, "success") == 0) return LCD_SUCCESS;
    if (strncmp(line, "huh?", 4) == 0) return LCD_HUH;
    if (strncmp(line, "connect ", 8) == 0) return LCD_CONNECT;
    if (strcmp(line, "bye") == 0) return LCD_BYE;
    // Unasked news: a screen of ours shown or left ("listen", "ignore"), keys and menu events
    // for clients that asked for them.
    static const char* const notices[] = {"listen ", "ignore ", "key ", "menuevent "};
    for (const char* n : notices)
        if (strncmp(line, n, strlen(n)) == 0) return LCD_NOTICE;
    return LCD_UNKNOWN;
}

size_t LcdLineReader::take(const char* data, size_t n, bool* complete) {
    *complete = false;
    if (done) {
        len = 0;
        too_long = false;
        done = false;
    }
    for (size_t i = 0; i < n; i++) {
        char c = data[i];
        if (c == '\n') {
            if (len > 0 && line[len - 1] == '\r') len--;
            line[len] = '\0';
            *complete = true;
            done = true;
            return i + 1;
        }
        if (len < kMax) {
            line[len++] = c;
        } else {
            too_long = true;
        }
    }
    line[len] = '\0';
    return n;
}
