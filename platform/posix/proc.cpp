// proc.cpp - (posix) to be written
