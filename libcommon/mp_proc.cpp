// mp_proc.cpp - to be written
