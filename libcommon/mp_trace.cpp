// mp_trace.cpp - the call-name trace: the stack of function names that the crash report prints.
#include <cstdio>
#include <cstring>

#include "mp_log.h"

namespace mp_trace_detail {
char names[MP_TRACE_ENTRIES][MP_TRACE_NAME_MAX + 1];
int depth = 0;
}  // namespace mp_trace_detail

using mp_trace_detail::depth;
using mp_trace_detail::names;

void MP_trace_enter(const char* name) {
    // Deeper than the stored entries the depth still counts, so that the matching pops bring it
    // back to where it was, but the name itself is not kept.
    if (depth >= 0 && depth < MP_TRACE_ENTRIES) {
        char* entry = names[depth];
        size_t len = name ? strnlen(name, MP_TRACE_NAME_MAX) : 0;
        if (len) memcpy(entry, name, len);
        entry[len] = '\0';
    }
    depth++;
}

void MP_trace_leave() { mp_trace_detail::leave(); }

int MP_trace_depth() { return depth; }

void MP_trace_print() {
    // The innermost function comes first; entry 0 ("main") is never written.
    int top = depth;
    if (top > MP_TRACE_ENTRIES) {
        // Only the stored names can be shown; say how many deeper ones were lost.
        char note[64];
        snprintf(note, sizeof note, "(%d deeper names not kept)", top - MP_TRACE_ENTRIES);
        MP_log_line(0, "Called from", note, 1);
        top = MP_TRACE_ENTRIES;
    }
    for (int i = top - 1; i >= 1; i--) MP_log_line(0, "Called from", names[i], 1);
}
