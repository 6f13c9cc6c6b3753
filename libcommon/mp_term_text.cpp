// mp_term_text.cpp - tag texts shown on a terminal in their block's text encoding, the columns they
// take, and the encoding that an option, a block's marker or the settings file names.
#include "mp_term_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vistrel_reader.h"

namespace {

constexpr uint32_t kBad = 0xFFFFFFFFu;

// The character of a well-formed UTF-8 sequence at s (avail bytes), with its length; kBad with
// length 1 for a byte that begins none.
uint32_t decode(const unsigned char* s, size_t avail, size_t* used) {
    *used = 1;
    unsigned char b = s[0];
    if (b < 0x80) return b;
    size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (n == 0 || n > avail) return kBad;
    uint32_t cp = b & (0x7Fu >> n);
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80) return kBad;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kBad;
    *used = n;
    return cp;
}

size_t encode(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Characters that act on a terminal rather than show: C0, DEL, C1, and the direction marks and
// overrides that reorder what follows them on the line.
bool acts(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x200E && cp <= 0x200F) ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

struct Range {
    uint32_t first, last;
};
// Combining marks, which take no column of their own.
constexpr Range kCombining[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                {0x064B, 0x065F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D},
                                {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};
// East Asian wide and full-width characters and the emoji blocks, which take two.
constexpr Range kWide[] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
                           {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
                           {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
                           {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                           {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};

template <size_t N>
bool among(const Range (&ranges)[N], uint32_t cp) {
    for (const Range& r : ranges)
        if (cp >= r.first && cp <= r.last) return true;
    return false;
}

size_t columns_of(uint32_t cp) {
    if (cp == kBad) return 1;
    if (among(kCombining, cp)) return 0;
    return among(kWide, cp) ? 2 : 1;
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

namespace {

// A Raw block's text as valid UTF-8, never longer than its field: each well-formed character
// as it is, but one '?' for each that acts on a terminal (C0, DEL, a C1 control in its UTF-8
// form, a direction mark) and for each byte that begins no character (a Latin-1 byte, a
// continuation byte alone, a character cut short). The bridges blank every multi-byte character
// of Raw texts but those of channel answers, which the services send as UTF-8.
void raw_text(char* out, size_t size, const unsigned char* u, size_t n) {
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        size_t used;
        uint32_t cp = decode(u + i, n - i, &used);
        bool shown = cp != kBad && !acts(cp);
        size_t k = shown ? used : 1;
        if (o + k >= size) break;
        if (shown)
            memcpy(out + o, u + i, used);
        else
            out[o] = '?';
        o += k;
        i += used;
    }
    out[o] = '\0';
}

}  // namespace

const char* MP_term_text(char* out, size_t size, const char* field, size_t width, int encoding) {
    if (size == 0) return out;
    auto u = reinterpret_cast<const unsigned char*>(field);
    size_t n = 0;
    while (n < width && field[n] != '\0') n++;
    if (encoding != MP_TEXT_WINDOWS_1252 && encoding != MP_TEXT_ASCII && encoding != MP_TEXT_UTF8) {
        raw_text(out, size, u, n);
        return out;
    }
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        size_t used = 1;
        uint32_t cp = u[i];
        if (cp >= 0x80) {
            if (encoding == MP_TEXT_WINDOWS_1252) {
                cp = MP_cp1252_char(u[i]);
                if (cp == 0) cp = kBad;
            } else if (encoding == MP_TEXT_ASCII) {
                cp = kBad;
            } else {
                cp = decode(u + i, n - i, &used);
            }
        }
        char bytes[4];
        size_t k = 1;
        if (cp == kBad || acts(cp)) bytes[0] = '?';
        else k = encode(cp, bytes);
        if (o + k >= size) break;
        memcpy(out + o, bytes, k);
        o += k;
        i += used;
    }
    out[o] = '\0';
    return out;
}

size_t MP_term_columns(const char* text, size_t len) {
    auto u = reinterpret_cast<const unsigned char*>(text);
    size_t cols = 0;
    for (size_t i = 0; i < len;) {
        size_t used;
        cols += columns_of(decode(u + i, len - i, &used));
        i += used;
    }
    return cols;
}

size_t MP_term_fit(const char* text, size_t len, size_t cols) {
    auto u = reinterpret_cast<const unsigned char*>(text);
    size_t taken = 0;
    size_t i = 0;
    while (i < len) {
        size_t used;
        size_t c = columns_of(decode(u + i, len - i, &used));
        if (taken + c > cols) break;
        taken += c;
        i += used;
    }
    return i;
}

int MP_term_encoding_of_file(const char* path) {
    static constexpr char kKey[] = "Text_Encoding=";
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return MP_TEXT_RAW;
    int encoding = MP_TEXT_RAW;
    // Read as the bridges read it: in pieces of at most 127 characters, each cut at its line
    // feed; a piece that begins with a blank or "/" is no setting.
    char piece[128];
    while (fgets(piece, sizeof piece, f) != nullptr) {
        piece[strcspn(piece, "\n")] = '\0';
        if (strncmp(piece, kKey, sizeof kKey - 1) != 0) continue;
        const char* value = piece + sizeof kKey - 1;
        while (space(*value)) value++;
        size_t len = 0;
        while (value[len] != '\0' && !space(value[len])) len++;
        int e = MP_text_encoding_named(value, len);
        encoding = e < 0 ? MP_TEXT_RAW : e;
    }
    fclose(f);
    return encoding;
}

int MP_term_encoding_named(const char* value) { return MP_text_encoding_named(value, strlen(value)); }

int MP_term_block_encoding(int option, const char* marker, int settings) {
    if (option >= 0 && option < MP_TEXT_ENCODINGS) return option;
    int e = marker != nullptr ? vr_encoding_marked(marker) : -1;
    if (e >= 0) return e;
    return settings >= 0 && settings < MP_TEXT_ENCODINGS ? settings : MP_TEXT_RAW;
}
