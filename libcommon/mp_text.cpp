// mp_text.cpp - text helpers: base64, the UTF-8 filter, escape-aware searches, copies, number words.
#include "mp_text.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "mp_log.h"

char MP_Global_DateFormat[64] = "%H:%M %d/%m/%y";
char MP_Global_BarChar = 0;

namespace {
constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Whether start lies within the text (its terminator included), found without reading past
// the terminator and without walking the whole text.
bool within(const char* text, int start) {
    return strnlen(text, static_cast<size_t>(start)) == static_cast<size_t>(start);
}


constexpr const char* unit_words[20] = {
    "None",    "One",     "Two",       "Three",    "Four",     "Five",    "Six",
    "Seven",   "Eight",   "Nine",      "Ten",      "Eleven",   "Twelve",  "Thirteen",
    "Fourteen", "Fifteen", "Sixteen", "Seventeen", "Eighteen", "Nineteen"};
constexpr const char* tens_words[10] = {"",      "",      "Twenty",  "Thirty", "Forty",
                                        "Fifty", "Sixty", "Seventy", "Eighty", "Ninety"};
}  // namespace

size_t MP_next_lead(const char* text, size_t from, size_t len) {
    constexpr uint64_t kTopBits = 0x8080808080808080ULL;
    size_t p = from;
    while (p < len) {
        uint64_t group;
        if (len - p >= sizeof group) {
            memcpy(&group, text + p, sizeof group);
            if ((group & kTopBits) == 0) {
                p += sizeof group;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[p]) >= 0xC0) return p;
        p++;
    }
    return len;
}

void base64_encode(const unsigned char* data, unsigned int length, int* out_length, char* out) {
    MP_TRACE("base64_encode");
    // Four characters for every started group of three bytes; the count must fit the int.
    if (length > static_cast<unsigned int>(INT_MAX / 4) * 3 || (!data && length)) {
        MP_errlogf("base64_encode:", "Input of %u bytes cannot be encoded", length);
        *out_length = 0;
        out[0] = '\0';
        return;
    }
    int total = static_cast<int>((length + 2) / 3 * 4);
    *out_length = total;
    char* o = out;
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned int v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        o[0] = base64_alphabet[(v >> 18) & 63];
        o[1] = base64_alphabet[(v >> 12) & 63];
        o[2] = base64_alphabet[(v >> 6) & 63];
        o[3] = base64_alphabet[v & 63];
        o += 4;
    }
    unsigned int left = length - i;
    if (left) {
        unsigned int v = data[i] << 16;
        if (left == 2) v |= data[i + 1] << 8;
        o[0] = base64_alphabet[(v >> 18) & 63];
        o[1] = base64_alphabet[(v >> 12) & 63];
        o[2] = left == 2 ? base64_alphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
    out[total] = '\0';
}

void remove_utf8(char* text) {
    MP_TRACE("remove_utf8");
    if (!text) return;
    size_t len = strlen(text);
    // Nothing moves before the first lead byte, so the text up to there is only looked at.
    size_t r = MP_next_lead(text, 0, len);
    size_t w = r;
    while (r < len) {
        // A lead byte: the whole sequence becomes one blank. Only continuation bytes belong to
        // it: a lead byte followed by a plain character (text in another encoding, or damaged
        // on the way) must not swallow that character, which may be the brace or quote that
        // holds a message together. A sequence that runs past the end simply ends the pass.
        unsigned char b = static_cast<unsigned char>(text[r]);
        text[w++] = ' ';
        size_t n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : b < 0xFC ? 5 : 6;
        size_t k = 1;
        while (k < n && r + k < len && (static_cast<unsigned char>(text[r + k]) & 0xC0) == 0x80) k++;
        r += k;
        if (r >= len) break;
        // The plain run up to the next lead byte moves down as one block.
        size_t next = MP_next_lead(text, r, len);
        memmove(text + w, text + r, next - r);
        w += next - r;
        r = next;
    }
    text[w] = '\0';
}

int strfind(const char* text, char sought, int start) {
    MP_TRACE("strfind");
    if (!text) return 0;
    if (start < 0) {
        MP_errlogf("strfind:", "Search start %d lies before the text", start);
        return 0;
    }
    if (!within(text, start)) return 0;
    for (int p = start; text[p]; p++) {
        char c = text[p];
        if (c == '\\') {
            // A backslash hides itself and the next character; one at the very end (or just
            // before it) ends the search.
            if (text[p + 1] == '\0' || text[p + 2] == '\0') return 0;
            p += 2;
            c = text[p];
        }
        if (c == sought) return p + 1;
    }
    return 0;
}

int strfindstr(const char* text, const char* pattern, int n) {
    MP_TRACE("strfindstr");
    if (!text || !pattern) return -1;
    size_t count = static_cast<size_t>(n);
    if (count == 0) return text[0] ? 0 : -1;
    for (int i = 0; text[i]; i++)
        if (text[i] == pattern[0] && strncmp(text + i, pattern, count) == 0) return i;
    return -1;
}

void strcpytonl(char* dest, const char* src) {
    MP_TRACE("strcpytonl");
    // A forward copy, so the source may be the destination itself.
    size_t i = 0;
    for (; src[i] && src[i] != '\n'; i++) dest[i] = src[i];
    dest[i] = '\0';
}

int substrcpy(char* dest, const char* src, char delimiter) {
    MP_TRACE("substrcpy");
    int i = 0;
    for (; src[i] && src[i] != delimiter; i++) dest[i] = src[i];
    dest[i] = '\0';
    return i;
}

int MP_extract_line(const char* text, int start, char* dest) {
    MP_TRACE("MP_extract_line");
    dest[0] = '\0';
    if (start < 0) {
        MP_errlogf("MP_extract_line:", "Line start %d lies before the text", start);
        return 0;
    }
    if (!within(text, start)) return 0;
    int p = start;
    while (text[p] == '\r' || text[p] == '\n') p++;
    int n = 0;
    while (text[p] && text[p] != '\r' && text[p] != '\n') dest[n++] = text[p++];
    dest[n] = '\0';
    return n;
}

const char* MP_nr_to_string(int n) {
    MP_TRACE("MP_nr_to_string");
    // Longest result: "SeventyThree", 12 characters.
    static char words[13];
    if (n > 99) return strcpy(words, "FarTooBig");
    if (n < 0) return strcpy(words, "Negative");
    if (n < 20) return strcpy(words, unit_words[n]);
    char* end = MP_cat_text(words, words + sizeof words, tens_words[n / 10]);
    if (n % 10) MP_cat_text(end, words + sizeof words, unit_words[n % 10]);
    return words;
}

bool MP_is_dotted_address(const char* host) {
    MP_TRACE("MP_is_dotted_address");
    if (host == nullptr) return false;
    const char* p = host;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *p++ != '.') return false;
        // One decimal part: 1 to 3 digits worth 0 to 255.
        int value = 0, digits = 0;
        for (; digits < 4 && p[digits] >= '0' && p[digits] <= '9'; digits++) value = value * 10 + (p[digits] - '0');
        if (digits == 0 || digits > 3 || value > 255) return false;
        p += digits;
    }
    return *p == '\0';
}
