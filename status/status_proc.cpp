// status_proc.cpp - the monitor's start-up: find each bridge by its image path, start it if absent.
#include <cstdio>

#include "status.h"
#include "vp.h"

const char* const MP_status_program[STATUS_CHANNELS] = {"Vistrel_WIFIRemote" VP_EXE,
                                                        "Vistrel_MPExtended" VP_EXE};
// Argument 0 of a started bridge. It reaches the bridge as its program name and redirects
// nothing; the bridges do not read their arguments.
const char* const MP_status_start_arg[STATUS_CHANNELS] = {">Vistrel_WIFIRemote.log2",
                                                          ">Vistrel_MPExtended.log2"};

namespace {
void print_query_error(int code) {
    char message[256];
    vp_error_text(code, message, sizeof message);
    printf("Check process failed - Error %d - %s\n", code, message);
}
}  // namespace

bool MP_status_program_safe(const char* program, char* why, size_t size) {
    vp_file_facts f;
    int rc = vp_file_examine(program, &f);
    if (rc != 0) {
        if (vp_error_is_missing(rc)) {
            snprintf(why, size, "Not starting %s: there is no such file in this folder.", program);
        } else {
            char text[256];
            vp_open_error_text(rc, text, sizeof text);
            snprintf(why, size, "Not starting %s: it cannot be examined: %s.", program, text);
        }
        return false;
    }
    // The folder's name is the file system's and may hold anything.
    char folder[sizeof f.folder];
    MP_status_console_text(folder, f.folder, sizeof folder - 1);
    const char* wrong = nullptr;
    char detail[160] = "";
    if (f.kind != VP_KIND_FILE) {
        wrong = f.kind == VP_KIND_LINK ? "it is a symbolic link, not a regular file"
                                       : "it is not a regular file";
    } else if (f.owner == VP_OWNER_OTHER) {
        wrong = "it belongs to another user";
        snprintf(detail, sizeof detail, " (owner %s)", f.owner_text);
    } else if (f.others_write > 0) {
        wrong = "other users may change it";
        if (vp_file_modes) snprintf(detail, sizeof detail, " (mode %04o; chmod go-w %s)", f.mode, program);
    } else if (f.folder_owner == VP_OWNER_OTHER) {
        wrong = "its folder belongs to another user";
        snprintf(detail, sizeof detail, " (owner %s)", f.folder_owner_text);
    } else if (f.folder_others_write > 0) {
        wrong = "other users may change its folder";
        if (vp_file_modes)
            snprintf(detail, sizeof detail, " (mode %04o; chmod go-w on the folder)", f.folder_mode);
    }
    if (!wrong) return true;
    snprintf(why, size, "Not starting %s in %s: %s%s.", program, folder, wrong, detail);
    return false;
}

void MP_status_start_bridges() {
    char why[512];
    int rc = vp_image_query_load(why, sizeof why);
    if (rc != 0) printf("%s - %s", rc == VP_LOAD_FAILED ? "MP_Load_Start" : "MP_Kernel32_Start", why);
    // Each bridge that is not running starts from its program file in the current folder, in
    // the background and without this console, and outlives the monitor. Whether the start
    // succeeded shows on the screen: the bridge's block stays unpublished. A program file that
    // someone else could have put there or changed is not started.
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        // A process of ours (this user, the same named objects) whose program file is named
        // exactly as the bridge's and that serves this run's block is the bridge, running.
        // Without the image query or the process list nothing can be told apart; a second copy
        // of a running bridge would fight the first over its block, so it is taken as running.
        uint32_t pid = 0;
        if (vp_proc_find(MP_status_program[c], MP_status_block_name[c], print_query_error, &pid) != 0 || pid != 0)
            continue;
        if (MP_status_program_safe(MP_status_program[c], why, sizeof why)) {
            vp_spawn_background(MP_status_program[c], MP_status_start_arg[c]);
        } else {
            printf("%s\n", why);
            MP_status_note_start_problem(c, why);
        }
    }
    for (int c = 0; c < STATUS_CHANNELS; c++) MP_status_open_block(c, MP_status_block_name[c]);
}
