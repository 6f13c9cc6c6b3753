// main.cpp - Vistrel_MPExtended: the bridge from the TV service's recordings to its block.
#include "mpx.h"

// The bridge takes no arguments; it runs until it is terminated.
int main() { MP_Extended_main(); }
