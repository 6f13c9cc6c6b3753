// main.cpp - to be written
