// fault.cpp - (posix) to be written
