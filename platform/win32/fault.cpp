// fault.cpp - (win32) to be written
