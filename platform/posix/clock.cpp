// clock.cpp - (posix) to be written
