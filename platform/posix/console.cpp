// console.cpp - (posix) to be written
