// shm.cpp - (posix) to be written
