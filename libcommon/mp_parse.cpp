// mp_parse.cpp - to be written
