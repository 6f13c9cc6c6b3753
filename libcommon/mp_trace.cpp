// mp_trace.cpp - the call-name trace: the stack of function names that the crash report prints.
#include <cstdio>
#include <cstring>

#include "mp_log.h"

namespace {
// Entry i holds the name pushed when the depth was i.
char trace_names[MP_TRACE_ENTRIES][MP_TRACE_NAME_MAX + 1];
int trace_depth = 0;
}  // namespace

void MP_trace_enter(const char* name) {
    // Deeper than the stored entries the depth still counts, so that the matching pops bring it
    // back to where it was, but the name itself is not kept.
    if (trace_depth >= 0 && trace_depth < MP_TRACE_ENTRIES) {
        char* entry = trace_names[trace_depth];
        size_t len = name ? strnlen(name, MP_TRACE_NAME_MAX) : 0;
        if (len) memcpy(entry, name, len);
        entry[len] = '\0';
    }
    trace_depth++;
}

void MP_trace_leave() {
    // A pop without a push would make the next push store below the stack.
    if (trace_depth > 0) trace_depth--;
}

int MP_trace_depth() { return trace_depth; }

void MP_trace_print() {
    // The innermost function comes first; entry 0 ("main") is never written.
    int top = trace_depth;
    if (top > MP_TRACE_ENTRIES) {
        // Only the stored names can be shown; say how many deeper ones were lost.
        char note[64];
        snprintf(note, sizeof note, "(%d deeper names not kept)", top - MP_TRACE_ENTRIES);
        MP_log_line(0, "Called from", note, 1);
        top = MP_TRACE_ENTRIES;
    }
    for (int i = top - 1; i >= 1; i--) MP_log_line(0, "Called from", trace_names[i], 1);
}
