// console.cpp - POSIX: clearing the console with ANSI escapes.
#include <cstdio>

#include "vp.h"

void vp_clear_screen() {
    // Home the cursor, then clear the whole screen and the scroll-back.
    fputs("\033[H\033[2J\033[3J", stdout);
    fflush(stdout);
}
