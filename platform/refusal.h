// refusal.h - inside the platform layer: noting what an open found in an object it refused.
#pragma once

#include "vp.h"

// Keeps what the open found (owner, mode, size) for vp_open_error_text, and returns the code,
// so that a refusal reads "return vp_refuse(VP_FOREIGN, ...)".
int vp_refuse(int code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The kind of a POSIX file from the type bits of its mode (S_IFMT), in words: "a FIFO".
const char* vp_file_kind(unsigned long type_bits);
