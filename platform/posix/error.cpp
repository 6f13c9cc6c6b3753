// error.cpp - (posix) to be written
