// mp_crash.cpp - to be written
