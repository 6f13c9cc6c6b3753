// mp_tcp.cpp - to be written
