// mp_comms.cpp - to be written
