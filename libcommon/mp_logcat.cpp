// mp_logcat.cpp - bounded appenders that compose frequent log texts without printf.
#include <cstring>

#include "mp_log.h"

// These run once per tag store and per field, so they are not traced: a push and pop would
// cost more than the work itself.

char* MP_cat_text(char* pos, char* end, const char* text) {
    if (pos >= end) return pos;
    size_t room = static_cast<size_t>(end - pos) - 1;
    size_t len = text ? strnlen(text, room) : 0;
    memcpy(pos, text ? text : "", len);
    pos += len;
    *pos = '\0';
    return pos;
}

char* MP_cat_int(char* pos, char* end, int value, int width) {
    if (pos >= end) return pos;
    char digits[12];
    int n = MP_digits_reversed(digits, value);

    char* last = end - 1;
    for (int pad = width - n; pad > 0 && pos < last; pad--) *pos++ = ' ';
    while (n > 0 && pos < last) *pos++ = digits[--n];
    *pos = '\0';
    return pos;
}

char* MP_cat_padded(char* pos, char* end, const char* text, int width) {
    if (pos >= end) return pos;
    if (!text) text = "";
    size_t len = width > 0 ? strnlen(text, static_cast<size_t>(width)) : 0;
    char* last = end - 1;
    for (int pad = width - static_cast<int>(len); pad > 0 && pos < last; pad--) *pos++ = ' ';
    return MP_cat_text(pos, end, text);
}
