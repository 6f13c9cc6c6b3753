// mp_dump.cpp - the tag listing: the table in fixed columns, to a file or to the console.
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "vp.h"

namespace {

// Writes the two header lines and one line per tag, entries 1 to the count. The text mode of
// the stream gives the line ends of the platform (CR LF in the file on Windows).
void write_listing(FILE* out) {
    fprintf(out, "%s\n%s\n", MP_DUMP_HEADER, MP_DUMP_RULE);
    int count = MP_Numtags < 0 ? 0 : MP_Numtags > MP_MAXTAGS ? MP_MAXTAGS : MP_Numtags;
    for (int i = 1; i <= count; i++) {
        const MP_TagEntry& t = MP_Tags[i];
        // The precisions keep the reads inside the fields even if a terminator were missing;
        // every stored name and text is shorter, so the columns are those of "%-40s %-s".
        fprintf(out, "%4d  %2d %12d  %3d   %-40.*s %-.*s\n", i, t.type, t.ival, t.len,
                static_cast<int>(sizeof t.name), t.name, static_cast<int>(sizeof t.string),
                t.string);
    }
}

}  // namespace

void MP_Dump() {
    MP_TRACE("MP_Dump");
    // Opened as the logs are: what stands at the name may have been put there by someone else
    // (a link to another file, a FIFO, a file of another user), which is then neither written
    // nor waited on; a file made here admits only its owner.
    FILE* f = nullptr;
    int rc = vp_file_open_private(VP_PLUGINS "MP_Dump.log", VP_PRIVATE_TRUNCATE, &f);
    if (rc != 0) {
        fputs("Failed to open dump file", stdout);
        if (rc < 0) {
            char why[256];
            vp_open_error_text(rc, why, sizeof why);
            printf(" %s: %s", VP_PLUGINS "MP_Dump.log", why);
        }
        return;
    }
    write_listing(f);
    fflush(f);
    fclose(f);
}

void MP_Dumpc() {
    MP_TRACE("MP_Dumpc");
    write_listing(stdout);
}
