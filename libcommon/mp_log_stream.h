// mp_log_stream.h - the open log stream, shared by the log core and the log file code.
#pragma once

#include <cstdio>

// The log file while it is open, or null; opened by MP_open_log and closed by MP_close_log
// or MP_log_reset.
extern FILE* MP_log_stream;
