// guarded.cpp - runs a command as a test of its own: block names of its own, nothing left behind.
// Usage: vistrel_guarded PROGRAM [ARGUMENT...]   (POSIX; the program is searched on the PATH)
#include <unistd.h>

#include <cstdio>

#include "isolate.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs("usage: vistrel_guarded PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    vistrel_isolate_test();
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
