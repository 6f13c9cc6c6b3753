// mp_crash.h - the crash report: one error line with the fault, the call-name trace, exit 1.
#pragma once

#include "vp.h"

// Writes the report for a fault and ends the process with exit code 1. Never returns.
[[noreturn]] void MP_exception_handler(const vp_fault* fault);
// Installs MP_exception_handler first in line for every processor fault.
void MP_install_exception_handler();
// Composes the report text for a fault (no cut); for tests and the handler itself.
void MP_format_exception(const vp_fault* fault, char* out, int size);
