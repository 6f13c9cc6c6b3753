// mp_proc.cpp - find, terminate and start other processes by the file name of their image.
#include "mp_proc.h"

#include <cstring>

#include "mp_log.h"
#include "vp.h"

namespace {
constexpr int kMaxProcesses = 4096;
constexpr int kImagePathSize = 260;
constexpr int kMessageSize = 256;

// Set before the look-up is tried, so that a failed look-up is not tried again.
int kernel32_started = 0;

uint32_t process_ids[kMaxProcesses];
char image_path[kImagePathSize];
char message[kMessageSize];

// Logs "Error <code> - <system message>" as an error. The process checks add a line end of
// their own to the message's, which leaves an empty line after theirs in the log.
void log_os_error(const char* label, int code, bool extra_line_end) {
    vp_error_text(code, message, sizeof message);
    if (extra_line_end)
        MP_errlogf(label, "Error %d - %s\n", code, message);
    else
        MP_errlogf(label, "Error %d - %s", code, message);
}

// Whether a full image path names that file: longer than the name, ending with the path
// separator and exactly the name, letter case significant.
bool image_matches(const char* path, const char* name, size_t name_len) {
    size_t path_len = strlen(path);
    if (path_len <= name_len) return false;
    const char* tail = path + path_len - name_len;
    return tail[-1] == vp_path_sep && strcmp(tail, name) == 0;
}
}  // namespace

void MP_kernel32_Start() {
    MP_TRACE("MP_kernel32_Start");
    if (kernel32_started) return;
    kernel32_started = 1;
    int rc = vp_image_query_load();
    if (rc == VP_LOAD_FAILED) {
        MP_errlog("MP_Load_Start", "LoadLibrary Failed");
        return;
    }
    if (rc != 0) log_os_error("MP_Load_Start", rc, false);
}

int MP_check_process(const char* image_name) {
    MP_TRACE("MP_check_process");
    // Without the image query no process can be matched; say so once per call rather than
    // report every process as a failed query.
    if (!vp_image_query_ready()) {
        MP_errlog("check_process failed:", "QueryFullProcessImageNameA not available");
        return 0;
    }
    int count = vp_proc_list(process_ids, kMaxProcesses);
    if (count < 0) {
        log_os_error("check_process EnumProcesses failed:", vp_last_error(), true);
        return 0;
    }
    size_t name_len = strlen(image_name);
    uint32_t found = 0;
    for (int i = 0; i < count; i++) {
        uint32_t pid = process_ids[i];
        if (pid == 0) continue;
        int rc = vp_proc_image(pid, image_path, sizeof image_path);
        if (rc == VP_PROC_SKIP) continue;
        if (rc != 0) {
            // System processes refuse the query with ERROR_GEN_FAILURE; that is no fault.
            if (rc != VP_ERROR_GEN_FAILURE)
                log_os_error("check_process failed:", rc, true);
            continue;
        }
        // The last match in the list's order is the one returned. A process of another user
        // or of a container beside us is never ours to find or end, whatever its name.
        if (image_matches(image_path, image_name, name_len) && vp_proc_ours(pid)) found = pid;
    }
    return static_cast<int>(found);
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
