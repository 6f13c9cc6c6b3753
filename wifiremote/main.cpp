// main.cpp - Vistrel_WIFIRemote: the bridge from the remote-control plug-in's messages to its block.
#include "wfr.h"

// The bridge takes no arguments; it runs until it is terminated.
int main() { MP_WifiRemote_main(); }
