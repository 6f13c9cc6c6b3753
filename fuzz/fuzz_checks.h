// fuzz_checks.h - the checks that every fuzz target makes after each input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
