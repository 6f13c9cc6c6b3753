// wfr_main.cpp - the WifiRemote bridge's start-up in its fixed order and its endless loop.
#include "mp_crash.h"
#include "mp_log.h"
#include "mp_tcp.h"
#include "wfr.h"

// Each step relies on the ones before it: the crash report needs the trace, the log needs its
// path from the defaults, the settings need the open log, and the connection loop publishes
// into the block. This bridge has no use for the process-image query.
void MP_WifiRemote_main() {
    // The bottom of the trace for the life of the process; it is never popped.
    MP_trace_enter("main");
    MP_install_exception_handler();
    MP_init_globals();
    MP_open_log();
    MP_read_cfg_file(1);
    TCP_Run(WFR_BLOCK_NAME, WFR_CONNECTION_TAG);
}
