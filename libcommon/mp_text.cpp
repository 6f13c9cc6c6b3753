// mp_text.cpp - to be written
