// mp_tags.cpp - to be written
