// status_run.cpp - the monitor's loop: a screen a second, and the keys read in between.
#include <cstdio>

#include "status.h"
#include "vp.h"

bool MP_status_keys_on = false;

const char MP_status_usage[] =
    "Usage: Vistrel_Status [--encoding NAME] [NAME...]\n"
    "\n"
    "Starts Vistrel_WIFIRemote and Vistrel_MPExtended from the current folder when they are not\n"
    "running (they keep running after the monitor ends) and shows both publication blocks once a\n"
    "second: each block's state, tag count, time and status with the age of its last publication\n"
    "(marked STALE when older than 30 s for WifiRemote, 60 s for MPExtended), then the tags of\n"
    "both blocks.\n"
    "\n"
    "  NAME...   list only the rows whose names begin with one of the words, as in\n"
    "            Vistrel_Status Recording Position (case matters); all rows without\n"
    "  --encoding NAME\n"
    "            show the texts as stored in that text encoding: Raw, Windows-1252, ASCII or\n"
    "            UTF-8. Without it each block's own marker says, else Text_Encoding= in\n"
    "            " VP_PLUGINS "MP.cfg of the current folder. Letters are written for a UTF-8\n"
    "            terminal; control characters show as '?'.\n"
    "  --help    this text\n"
    "\n"
    "On a terminal the screen fits the window: the state lines and the column header, as many\n"
    "rows as fit, and a last line with the number of rows not shown. Keys:\n"
    "  j, Down             one row on          k, Up             one row back\n"
    "  Space, f, PgDn      one page on         b, PgUp           one page back\n"
    "  g, Home             the first rows      G, End            the last rows\n"
    "  q                   end the monitor (Ctrl-C too)\n"
    "When the output is not a terminal (a pipe or a file), every listed row is written each\n"
    "second.\n";

void MP_status_run() {
    MP_status_keys_on = vp_console_keys_start() == 0;
    for (;;) {
        double next = vp_process_seconds() + 1.0;
        MP_status_show();
        // Until the next second: keys and a new window size are answered with a new screen at
        // once, without moving the second's screen.
        for (;;) {
            int left = static_cast<int>((next - vp_process_seconds()) * 1000.0);
            if (left <= 0) break;
            int key = vp_console_wait_key(left);
            if (key == VP_KEY_NONE) continue;
            if (key == VP_KEY_CLOSED) {
                MP_status_keys_on = false;
                continue;
            }
            if (key == 'q' || key == 'Q') {
                vp_console_restore();
                return;
            }
            if (key == VP_KEY_RESIZE || MP_status_page(key)) MP_status_show();
        }
    }
}
