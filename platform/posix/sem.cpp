// sem.cpp - (posix) to be written
