// file.cpp - (posix) to be written
