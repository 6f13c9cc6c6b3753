// net.cpp - (posix) to be written
