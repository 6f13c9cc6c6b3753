// console.cpp - Win32: clearing the console window through the command interpreter.
#include <cstdio>
#include <cstdlib>

#include "vp.h"

void vp_clear_screen() {
    // The console has no escape sequences to rely on everywhere; "cls" clears it on any version.
    int rc = system("cls");
    (void)rc;
}

void vp_console_show(const char* text, size_t len) {
    fflush(stdout);
    vp_clear_screen();
    fwrite(text, 1, len, stdout);
    fflush(stdout);
}
