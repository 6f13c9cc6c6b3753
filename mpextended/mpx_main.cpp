// mpx_main.cpp - the MPExtended bridge's start-up in its fixed order and its endless loop.
#include "mp_crash.h"
#include "mp_limits.h"
#include "mp_log.h"
#include "mp_proc.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"
#include "vp.h"

namespace {
// The rule line that closes the start-up in the log: label and text alike.
constexpr char kRule[] = "================================================================";
static_assert(sizeof kRule - 1 == 64, "the rule line is 64 characters");
}  // namespace

// Each step relies on the ones before it: the crash report needs the trace, the log needs its
// path from the defaults, the settings need the open log, and the connection loop publishes
// into the block.
void MP_Extended_startup() {
    // The bottom of the trace for the life of the process; it is never popped.
    MP_trace_enter("main");
    MP_install_exception_handler();
    MP_init_globals();
    MP_kernel32_Start();
    MP_open_log();
    MP_read_cfg_file(1);
    MP_limits_from_environment();
    MP_logl(3, "VistrelInit", "Complete");
    MP_logl(3, kRule, kRule);
    MP_publish_start(MPX_BLOCK_NAME);
}

void MP_Extended_main() {
    MP_Extended_startup();
    // TCP_Start returns only when the socket library cannot be started; try again shortly.
    for (;;) {
        TCP_Start(MPX_CONNECTION_TAG);
        vp_sleep_ms(1000);
    }
}
