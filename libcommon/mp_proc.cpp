// mp_proc.cpp - find, terminate and start other processes by the file name of their image.
#include "mp_proc.h"


#include "mp_log.h"
#include "vp.h"

namespace {
// Set before the look-up is tried, so that a failed look-up is not tried again.
int kernel32_started = 0;

char message[256];

// Logs "Error <code> - <system message>" as an error. The process checks add a line end of
// their own to the message's, which leaves an empty line after theirs in the log.
void log_os_error(const char* label, int code) {
    vp_error_text(code, message, sizeof message);
    MP_errlogf(label, "Error %d - %s\n", code, message);
}

void log_query_error(int code) { log_os_error("check_process failed:", code); }
}  // namespace

void MP_kernel32_Start() {
    MP_TRACE("MP_kernel32_Start");
    if (kernel32_started) return;
    kernel32_started = 1;
    char why[512];
    if (vp_image_query_load(why, sizeof why) != 0) MP_errlog("MP_Load_Start", why);
}

int MP_check_process(const char* image_name) {
    MP_TRACE("MP_check_process");
    uint32_t pid = 0;
    int rc = vp_proc_find(image_name, nullptr, log_query_error, &pid);
    // Without the image query no process can be matched; say so once per call rather than
    // report every process as a failed query.
    if (rc == VP_FIND_NO_QUERY) MP_errlog("check_process failed:", "QueryFullProcessImageNameA not available");
    if (rc == VP_FIND_NO_LIST) log_os_error("check_process EnumProcesses failed:", vp_last_error());
    return static_cast<int>(pid);
}

int MP_KillProc(const char* image_name) {
    MP_TRACE("MP_KillProc");
    int pid = MP_check_process(image_name);
    if (pid == 0) return 0;
    int rc = vp_proc_kill(static_cast<uint32_t>(pid));
    if (rc == 1) {
        MP_errlog("Kill_Process", "failed to open process to kill");
        return 0;
    }
    if (rc != 0) {
        MP_errlog("Kill_Process", "TerminateProcess failed");
        return 0;
    }
    return 1;
}

int MP_run_program(const char* program, const char* argument) {
    MP_kernel32_Start();
    return vp_spawn_wait(program, argument);
}

int MP_restart_program(const char* program, const char* argument) {
    MP_kernel32_Start();
    // Give a terminated copy a moment to let go of its files and its block before the new one
    // starts.
    if (MP_KillProc(program) == 1) vp_sleep_ms(1000);
    return static_cast<int>(vp_spawn_detached(program, argument));
}
