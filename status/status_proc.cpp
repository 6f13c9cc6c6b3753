// status_proc.cpp - the monitor's start-up: find each bridge by its image path, start it if absent.
#include <cstdio>
#include <cstring>

#include "status.h"
#include "vp.h"

const char* const MP_status_program[STATUS_CHANNELS] = {"Vistrel_WIFIRemote" VP_EXE,
                                                        "Vistrel_MPExtended" VP_EXE};
// Argument 0 of a started bridge. It reaches the bridge as its program name and redirects
// nothing; the bridges do not read their arguments.
const char* const MP_status_start_arg[STATUS_CHANNELS] = {">Vistrel_WIFIRemote.log2",
                                                          ">Vistrel_MPExtended.log2"};

namespace {
// Room for as many processes as the library's own process check examines, so that a busy
// machine does not hide a running bridge and have it started a second time.
constexpr int kMaxProcesses = 4096;
constexpr int kImagePathSize = 260;
constexpr int kMessageSize = 256;

uint32_t process_ids[kMaxProcesses];
char image_path[kImagePathSize];
char message[kMessageSize];

// Whether the path ends with the name; a bridge run from another folder, or under a longer
// file name with the same ending, counts as running.
bool path_ends_with(const char* path, const char* name) {
    size_t path_len = strlen(path);
    size_t name_len = strlen(name);
    return path_len >= name_len && memcmp(path + path_len - name_len, name, name_len) == 0;
}
}  // namespace

void MP_Kernel32_Start() {
    int rc = vp_image_query_load();
    if (rc == VP_LOAD_FAILED) {
        fputs("MP_Load_Start - LoadLibrary Failed", stdout);
        return;
    }
    if (rc != 0) {
        vp_error_text(rc, message, sizeof message);
        printf("MP_Kernel32_Start - Error %d - %s", rc, message);
    }
}

int MP_status_check_process(const char* name) {
    memset(image_path, 0, sizeof image_path);
    // Without the image query nothing can be told apart; a second copy of a running bridge
    // would fight the first over its block, so the bridge is taken as running.
    if (!vp_image_query_ready()) return -1;
    int count = vp_proc_list(process_ids, kMaxProcesses);
    if (count < 0) return -1;
    int found = 0;
    for (int i = 0; i < count; i++) {
        if (process_ids[i] == 0) continue;
        int rc = vp_proc_image(process_ids[i], image_path, sizeof image_path);
        if (rc == VP_PROC_SKIP) continue;
        if (rc != 0) {
            // System processes refuse the query with ERROR_GEN_FAILURE; that is no fault.
            if (rc != VP_ERROR_GEN_FAILURE) {
                vp_error_text(rc, message, sizeof message);
                printf("Check process failed - Error %d - %s\n", rc, message);
            }
            continue;
        }
        // Every process is examined, also after a match.
        if (path_ends_with(image_path, name)) found = 1;
    }
    return found;
}

void MP_status_start_bridges() {
    MP_Kernel32_Start();
    // Each bridge that is not running starts from its program file in the current folder, in
    // the background and without this console, and outlives the monitor. Whether the start
    // succeeded shows on the screen: the bridge's block stays unpublished.
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        if (MP_status_check_process(MP_status_program[c]) == 0)
            vp_spawn_background(MP_status_program[c], MP_status_start_arg[c]);
    }
    for (int c = 0; c < STATUS_CHANNELS; c++) MP_status_open_block(c, MP_status_block_name[c]);
}
