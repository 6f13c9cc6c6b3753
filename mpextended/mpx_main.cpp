// mpx_main.cpp - to be written
