// fuzz_parse.cpp - libFuzzer target: the flattener over any bytes, storing into the real tag table.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_checks.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"

namespace {

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

    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
    free(text);
    return 0;
}
