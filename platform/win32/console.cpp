// console.cpp - Win32: clearing the console window through the command interpreter.
#include <cstdlib>

#include "vp.h"

void vp_clear_screen() {
    // The console has no escape sequences to rely on everywhere; "cls" clears it on any version.
    int rc = system("cls");
    (void)rc;
}
