// mp_log.cpp - to be written
