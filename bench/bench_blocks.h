// bench_blocks.h - the blocks of a load measurement, under names of the measurement's own.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "vistrel_reader.h"

// Names both blocks (bases: the WifiRemote and MPExtended names) with VISTREL_BLOCK_SUFFIX, which
// is set to one of the measurement's own (".bench" and the process id) unless it is set already;
// the program measured inherits it. False, told on the error stream, for a suffix that is none.
inline bool bench_name_blocks(char (&names)[2][VR_NAME_MAX], const char* const (&bases)[2], const char* tool) {
    if (!getenv(VR_SUFFIX_VARIABLE)) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, ".bench%u", static_cast<unsigned>(getpid()));
        setenv(VR_SUFFIX_VARIABLE, suffix, 1);
    }
    for (int b = 0; b < 2; b++) {
        if (vr_block_name(names[b], sizeof names[b], bases[b]) != 0) {
            fprintf(stderr, "%s: VISTREL_BLOCK_SUFFIX takes 1 to %d letters, digits, '.', '_' or '-'\n", tool,
                    VR_SUFFIX_MAX);
            return false;
        }
    }
    return true;
}
