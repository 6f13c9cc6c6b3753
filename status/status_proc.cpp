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

// Whether a full image path names exactly that file: the name follows a path separator.
// A longer file name with the same ending is another program.
bool image_is(const char* path, const char* name) {
    size_t path_len = strlen(path);
    size_t name_len = strlen(name);
    return path_len > name_len && path[path_len - name_len - 1] == vp_path_sep &&
           memcmp(path + path_len - name_len, name, name_len) == 0;
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

int MP_status_check_process(int channel) {
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
        // Every process is examined, also after a match. A bridge of another user, of a
        // container beside us or of another run (other block names) is not ours.
        if (image_is(image_path, MP_status_program[channel]) &&
            vp_proc_serves(process_ids[i], MP_status_block_name[channel]))
            found = 1;
    }
    return found;
}

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
    MP_Kernel32_Start();
    // Each bridge that is not running starts from its program file in the current folder, in
    // the background and without this console, and outlives the monitor. Whether the start
    // succeeded shows on the screen: the bridge's block stays unpublished. A program file that
    // someone else could have put there or changed is not started.
    for (int c = 0; c < STATUS_CHANNELS; c++) {
        if (MP_status_check_process(c) != 0) continue;
        char why[512];
        if (MP_status_program_safe(MP_status_program[c], why, sizeof why)) {
            vp_spawn_background(MP_status_program[c], MP_status_start_arg[c]);
        } else {
            printf("%s\n", why);
            MP_status_note_start_problem(c, why);
        }
    }
    for (int c = 0; c < STATUS_CHANNELS; c++) MP_status_open_block(c, MP_status_block_name[c]);
}
