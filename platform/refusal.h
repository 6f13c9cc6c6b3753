// refusal.h - the words for an object that an open refused, and noting what the open found.
#pragma once

#include "vp.h"

// Keeps what the open found (owner, mode, size) for vp_open_error_text, and returns the code,
// so that a refusal reads "return vp_refuse(VP_FOREIGN, ...)".
int vp_refuse(int code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// What is wrong with a refused object (VP_FOREIGN: "it belongs to another user"); null for a
// code that is no refusal. The same words for a block that a reader refuses.
const char* vp_refusal_words(int code);
// The kind of a POSIX file from the type bits of its mode (S_IFMT), in words: "a FIFO".
const char* vp_file_kind(unsigned long type_bits);
