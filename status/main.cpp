// main.cpp - Vistrel_Status: starts the bridges that are not running and shows both blocks.
#include <cstdio>
#include <cstring>

#include "mp_term_text.h"
#include "status.h"
#include "vp.h"

int main(int argc, char** argv) {
    // The arguments are names to filter the rows by. After "--" every argument is a name, so
    // that a name may begin with a dash.
    static const char* names[STATUS_MAX_FILTERS];
    int count = 0, given = 0;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (options && strcmp(arg, "--") == 0) {
            options = false;
            continue;
        }
        if (options && (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)) {
            fputs(MP_status_usage, stdout);
            return 0;
        }
        if (options && (strcmp(arg, "--encoding") == 0 || strncmp(arg, "--encoding=", 11) == 0)) {
            const char* value = arg[10] == '=' ? arg + 11 : i + 1 < argc ? argv[++i] : "";
            MP_status_encoding_option = MP_term_encoding_named(value);
            if (MP_status_encoding_option < 0) {
                fprintf(stderr, "Vistrel_Status: --encoding takes Raw, Windows-1252, ASCII or UTF-8\n\n%s",
                        MP_status_usage);
                return 2;
            }
            continue;
        }
        if (options && arg[0] == '-') {
            fprintf(stderr, "Vistrel_Status: unknown option %s\n\n%s", arg, MP_status_usage);
            return 2;
        }
        given++;
        if (count < STATUS_MAX_FILTERS) names[count++] = arg;
    }
    if (given > count) fprintf(stderr, "Vistrel_Status: only the first %d names filter the rows\n", count);
    MP_status_set_filter(count, names);
    if (MP_status_name_blocks() != 0) {
        fprintf(stderr, "Vistrel_Status: VISTREL_BLOCK_SUFFIX takes 1 to 32 letters, digits, '.', '_' or '-'\n");
        return 2;
    }
    // The bridges of this folder store texts as its settings file says, which a block without
    // a marker (a bridge of an earlier version, or none yet) is taken to follow.
    MP_status_settings_encoding = MP_term_encoding_of_file(VP_PLUGINS "MP.cfg");

    MP_status_start_bridges();
    MP_status_run();
    return 0;
}
