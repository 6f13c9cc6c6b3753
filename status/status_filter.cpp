// status_filter.cpp - the monitor's filters: rows listed by the beginnings of their names.
#include <cstring>

#include "status.h"

namespace {
// The words point into the command line, which lasts as long as the program.
const char* words[STATUS_MAX_FILTERS];
size_t word_lengths[STATUS_MAX_FILTERS];
int word_count = 0;
}  // namespace

int MP_status_set_filter(int count, const char* const* given) {
    word_count = 0;
    for (int i = 0; i < count && word_count < STATUS_MAX_FILTERS; i++) {
        if (given[i] == nullptr) continue;
        words[word_count] = given[i];
        word_lengths[word_count] = strlen(given[i]);
        word_count++;
    }
    return word_count;
}

bool MP_status_filtered() { return word_count > 0; }

const char* MP_status_filter_word(int i) { return i >= 0 && i < word_count ? words[i] : nullptr; }

bool MP_status_row_listed(const vr_record& row) {
    if (word_count == 0) return true;
    for (int i = 0; i < word_count; i++) {
        // A name fills at most its field; a longer word begins no name. strncmp stops at the
        // name's zero, and reads no further than the word's length, within the field.
        size_t n = word_lengths[i];
        if (n <= sizeof row.name && strncmp(row.name, words[i], n) == 0) return true;
    }
    return false;
}
