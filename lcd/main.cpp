// main.cpp - vistrel_lcd: the bridges' blocks on a character display, through the LCDproc server.
#include "lcd.h"

int main(int argc, char** argv) { return lcd_main(argc, argv); }
