// mpx_main.cpp - the MPExtended bridge's start-up in its fixed order and its endless loop.
#include "mp_crash.h"
#include "mp_log.h"
#include "mp_proc.h"
#include "mp_tcp.h"
#include "mpx.h"

// Each step relies on the ones before it: the crash report needs the trace, the log needs its
// path from the defaults, the settings need the open log, and the connection loop publishes
// into the block.
void MP_Extended_main() {
    // The bottom of the trace for the life of the process; it is never popped.
    MP_trace_enter("main");
    MP_install_exception_handler();
    MP_init_globals();
    MP_kernel32_Start();
    MP_open_log();
    MP_read_cfg_file(1);
    TCP_Run(MPX_BLOCK_NAME, MPX_CONNECTION_TAG);
}
