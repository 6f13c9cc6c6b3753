// proc_find.cpp - the search of the process list for a program of ours by its file's name.
#include <cstring>

#include "vp.h"

namespace {
// Room for every process of a busy machine, so that none running is missed.
constexpr int kMaxProcesses = 4096;
uint32_t process_ids[kMaxProcesses];
char image_path[260];

// Whether a full image path names exactly that file: the name follows a path separator, letter
// case significant. A longer file name with the same ending is another program.
bool image_is(const char* path, const char* name, size_t name_len) {
    size_t path_len = strlen(path);
    return path_len > name_len && path[path_len - name_len - 1] == vp_path_sep &&
           memcmp(path + path_len - name_len, name, name_len) == 0;
}
}  // namespace

int vp_proc_find(const char* image_name, const char* block, vp_proc_error on_error, uint32_t* pid) {
    *pid = 0;
    if (!vp_image_query_ready()) return VP_FIND_NO_QUERY;
    int count = vp_proc_list(process_ids, kMaxProcesses);
    if (count < 0) return VP_FIND_NO_LIST;
    size_t name_len = strlen(image_name);
    for (int i = 0; i < count; i++) {
        uint32_t id = process_ids[i];
        if (id == 0) continue;
        int rc = vp_proc_image(id, image_path, sizeof image_path);
        if (rc == VP_PROC_SKIP) continue;
        if (rc != 0) {
            // System processes refuse the query with ERROR_GEN_FAILURE; that is no fault.
            if (rc != VP_ERROR_GEN_FAILURE && on_error) on_error(rc);
            continue;
        }
        // Every process is examined, also after a match: the last one in the list's order is
        // the one returned. A process of another user or of a container beside us is never
        // ours, whatever its name.
        if (image_is(image_path, image_name, name_len) && (block ? vp_proc_serves(id, block) : vp_proc_ours(id)))
            *pid = id;
    }
    return 0;
}
