// fuzz_checks.h - the checks that every fuzz target makes after each input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp_encoding.h"
#include "mp_tags.h"

// Ends the run with a message when a check fails, so that libFuzzer keeps the input.
inline void fuzz_check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

// The tag table holds at least least_count tags and at most its room, and every name and text
// still ends within its field.
inline void fuzz_check_table(int least_count = 0) {
    fuzz_check(MP_Numtags >= least_count && MP_Numtags <= MP_MAXTAGS, "tag count out of range");
    for (int i = 1; i <= MP_Numtags; ++i) {
        fuzz_check(memchr(MP_Tags[i].name, '\0', sizeof MP_Tags[i].name) != nullptr,
                   "a tag name without its zero");
        fuzz_check(memchr(MP_Tags[i].string, '\0', sizeof MP_Tags[i].string) != nullptr,
                   "a tag text without its zero");
    }
}

inline bool fuzz_valid_utf8(const unsigned char* s, size_t n) {
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        size_t k = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (k == 0 || i + k > n) return false;
        uint32_t cp = k == 1 ? b : b & (0x7Fu >> k);
        for (size_t j = 1; j < k; j++) {
            if ((s[i + j] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + j] & 0x3Fu);
        }
        static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[k] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += k;
    }
    return true;
}

// What the text encoding may store: never a text past 256 bytes; in the readable encodings no
// control byte, in ASCII nothing beyond it, in Windows-1252 none of its five empty places, in
// UTF-8 valid UTF-8 only. Tags stored before the flattening (a bridge's seeded tags) included.
inline void fuzz_check_texts(int mode) {
    for (int i = 1; i <= MP_Numtags; i++) {
        const unsigned char* t = reinterpret_cast<const unsigned char*>(MP_Tags[i].string);
        size_t n = strnlen(MP_Tags[i].string, sizeof MP_Tags[i].string);
        fuzz_check(n <= 256, "a text longer than 256 bytes");
        if (mode == MP_TEXT_RAW) continue;
        for (size_t j = 0; j < n; j++) {
            fuzz_check(t[j] >= 0x20 && t[j] != 0x7F, "a control byte in a readable text");
            if (mode == MP_TEXT_ASCII) fuzz_check(t[j] < 0x80, "a byte beyond ASCII in ASCII");
            if (mode == MP_TEXT_WINDOWS_1252)
                fuzz_check(t[j] != 0x81 && t[j] != 0x8D && t[j] != 0x8F && t[j] != 0x90 && t[j] != 0x9D,
                           "an empty place of Windows-1252");
        }
        if (mode == MP_TEXT_UTF8) fuzz_check(fuzz_valid_utf8(t, n), "invalid UTF-8 in UTF-8 mode");
    }
}
