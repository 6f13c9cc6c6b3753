// sim_files.h - the simulators' files and printed lines: files of their own, clients' text escaped.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Opens a journal, request, port or count file of a simulator, appending, or emptied first when
// fresh, as the bridges open their logs: a new file admits only its owner, and a link, a FIFO
// or a file of another user at the name is neither written through nor waited on. binary keeps
// the bytes as they are (Windows otherwise writes line ends as CR LF). Returns the stream, or
// null after a line on standard error that names the file and says why.
FILE* sim_open_file(const char* program, const char* path, bool fresh, bool binary);
// Writes text as the whole content of a file, under a name of its own first and then renamed,
// so that a reader never sees half of it. Returns whether it was written.
bool sim_write_whole(const char* program, const char* path, const std::string& text);
// Text that a client sent, for a terminal or a journal line: CR, LF and tab as \r, \n and \t,
// other bytes below 32, DEL and the C1 controls (raw, or C2 80 to C2 9F) as \xNN, so that no
// client of the loopback port can put a control sequence on the simulator's terminal.
std::string sim_escaped(const char* text, size_t len);
inline std::string sim_escaped(const std::string& text) { return sim_escaped(text.data(), text.size()); }
