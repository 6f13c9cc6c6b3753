// sem.cpp - (win32) to be written
