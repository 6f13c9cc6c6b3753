// fuzz_parse.cpp - libFuzzer target: the flattener over any bytes, storing into the real tag
// table, and the same bytes cleaned and flattened in every text encoding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_checks.h"
#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"

namespace {

constexpr int kModes[] = {MP_TEXT_RAW, MP_TEXT_WINDOWS_1252, MP_TEXT_ASCII, MP_TEXT_UTF8};
// The message cleaned, as a bridge receives it, and as it came, as a channel answer is read.
constexpr bool kCleaned[] = {true, false};

// The table of the Raw pass, which every readable encoding must match.
struct Stored {
    char name[64];
    int32_t type, ival, time;
    char text[260];
};
Stored raw_table[MP_MAXTAGS];
int raw_count = 0;

void empty_table() {
    MP_Numtags = 0;
    MP_Clear_tags();
}

// The message as a bridge receives it: cleaned in the encoding (in two pieces, as a read may
// part it), named with its characters, flattened into an empty table. An uncleaned message is
// read as a channel answer is, as raw UTF-8.
void flatten(int mode, const char* message, size_t len, bool cleaned, size_t cut) {
    static char text[65537];
    static MP_TextPoint points[65537];
    MP_Global_TextEncoding = mode;
    empty_table();
    memcpy(text, message, len);
    int n = static_cast<int>(len);
    if (cleaned) {
        int held = 0;
        int first = MP_text_clean(text, points, 0, static_cast<int>(cut), false, &held);
        n = MP_text_clean(text, points, first, first + held + static_cast<int>(len - cut), true, &held);
    }
    text[n] = '\0';
    MP_TextNamed named(cleaned ? text : nullptr, points, n);
    MP_Parse("Fuzz:", text);
}

// The table of a readable encoding against Raw's: names, types, numbers, times and order; the
// texts of numbers and dates too.
void compare_with_raw() {
    fuzz_check(MP_Numtags == raw_count, "another tag count than in Raw");
    for (int i = 0; i < raw_count; i++) {
        const MP_TagEntry& e = MP_Tags[i + 1];
        const Stored& r = raw_table[i];
        fuzz_check(strcmp(e.name, r.name) == 0, "another tag name than in Raw");
        fuzz_check(e.type == r.type && e.ival == r.ival && e.time == r.time, "another type, number or time than in Raw");
        if (r.type != MP_TYPE_TEXT && r.text[0] != '[') fuzz_check(strcmp(e.string, r.text) == 0, "another number or date than in Raw");
    }
}

void keep_raw() {
    raw_count = MP_Numtags;
    for (int i = 0; i < raw_count; i++) {
        const MP_TagEntry& e = MP_Tags[i + 1];
        memcpy(raw_table[i].name, e.name, sizeof e.name);
        raw_table[i].type = e.type;
        raw_table[i].ival = e.ival;
        raw_table[i].time = e.time;
        memcpy(raw_table[i].text, e.string, sizeof e.string);
    }
}

// Every encoding, on the message cleaned and as it came.
void in_every_encoding(const char* message, size_t len) {
    if (len > 65536) return;
    size_t cut = len / 2;
    for (bool cleaned : kCleaned) {
        for (int mode : kModes) {
            flatten(mode, message, len, cleaned, cut);
            fuzz_check_texts(mode);
            if (mode == MP_TEXT_RAW) keep_raw();
            else compare_with_raw();
        }
    }
    MP_Global_TextEncoding = MP_TEXT_RAW;
    empty_table();
}

// The prefix of the r-th object: as the MPExtended bridge forms them, one that begins with
// "Tag" (which sends every member into the property reader), or none.
void make_prefix(char* out, size_t size, int r) {
    switch (r % 4) {
    case 0: snprintf(out, size, "Rec%d", r); break;
    case 1: snprintf(out, size, "Channel%d", r); break;
    case 2: snprintf(out, size, "Tag%d", r); break;
    default: out[0] = '\0'; break;
    }
}

// The table keeps its entries once full; start over so that new names are stored again.
void clear_when_full() {
    if (MP_Numtags < MP_MAXTAGS) return;
    MP_Numtags = 0;
    MP_Clear_tags();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Error lines are written (to nowhere) without the write-out of held-back lines that
    // debug level 0 adds to each, which would cost more than the flattening itself.
    MP_log_reset();
    MP_Global_Debug = 1;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "/dev/null");
    MP_open_log();
    MP_Numtags = 0;
    MP_Clear_tags();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text ends at its first zero, in a buffer of exactly that size, so that any read past
    // the zero is a read past the buffer that AddressSanitizer reports.
    size_t len = strnlen(reinterpret_cast<const char*>(data), size);
    char* text = static_cast<char*>(malloc(len + 1));
    memcpy(text, data, len);
    text[len] = '\0';
    int end = static_cast<int>(len);

    MP_Parse("Fuzz:", text);
    clear_when_full();

    // Object by object from each "{", the way the MPExtended bridge walks a recordings list.
    int pos = 0;
    for (int r = 1; pos < end && r <= 200; ++r) {
        const char* brace = strchr(text + pos, '{');
        if (!brace) break;
        int at = static_cast<int>(brace - text);
        char prefix[64];
        make_prefix(prefix, sizeof prefix, r);
        int prefix_len = static_cast<int>(strlen(prefix));
        pos = at;
        MP_lock();
        MP_Parse_item("Fuzz:", prefix, text, &pos, &prefix_len);
        MP_unlock();
        fuzz_check(pos > at, "MP_Parse_item did not move forward");
        fuzz_check(strlen(prefix) <= 63, "the prefix outgrew its buffer");
        clear_when_full();
    }

    // The property reader on its own, from the first "{" or ",".
    pos = static_cast<int>(strcspn(text, "{,"));
    int start = pos;
    MP_Parse_tags("Fuzz:", "Properties.", text, &pos);
    fuzz_check(pos >= start, "MP_Parse_tags moved backwards");
    fuzz_check_table();
    clear_when_full();

    in_every_encoding(text, len);

    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
    free(text);
    return 0;
}
