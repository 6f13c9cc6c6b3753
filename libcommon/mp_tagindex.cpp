// mp_tagindex.cpp - to be written
