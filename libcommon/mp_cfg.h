// mp_cfg.h - the syntax of the settings file that both bridges share: lines, comments, values.
#pragma once

#include <cstddef>
#include <string_view>

// How a number value read: none there, a number, or one beyond the range of an int.
enum MP_CfgNumber { MP_CFG_NO_NUMBER, MP_CFG_NUMBER, MP_CFG_TOO_BIG };

// The file is read in pieces of at most this many characters; a longer line goes on in the next.
inline constexpr int MP_CFG_PIECE_MAX = 127;

// Reads as "%d" does: white space skipped, an optional sign, then decimal digits up to the
// first other character. A number beyond an int is reported as too big (value set to the
// nearest limit) rather than left to wrap.
MP_CfgNumber MP_cfg_read_int(const char* s, int* value);
// Reads as "%s" does: white space skipped, then the run of characters up to the next white
// space. Returns the run's start and sets its length (0 when there is none).
const char* MP_cfg_read_word(const char* s, int* len);
// Copies the word of value into a setting of the given size. An empty value changes nothing;
// a word that does not fit is refused with an error line under label, naming key, and the
// setting keeps its value. Returns 1 when the setting was changed.
int MP_cfg_set_text(const char* label, char* setting, int size, const char* value, const char* key);
// MP_cfg_set_text for a credential (a password, a passcode, a user name): the refusal names the
// key and the lengths but no value, since an error line is written at every debug level.
int MP_cfg_set_secret(const char* label, char* setting, int size, const char* value, const char* key);
// The index of the first of count keys that begins line, with value set to the text behind it;
// -1 when no key begins the line.
int MP_cfg_key(const char* line, const std::string_view* keys, int count, const char** value);
// "Debug=": a number sets the debug level; one beyond an int is refused with an error line.
void MP_cfg_set_debug(const char* label, const char* value);
// A port key: a number from 1 to 65535 sets the port setting; anything else there is refused
// with an error line naming key, since it would connect somewhere unintended.
void MP_cfg_set_port(const char* label, int* port, const char* value, const char* key);
// Text from the settings file in a log line, escaped as a service's text is (MP_escape_untrusted),
// so that a value or a name with control characters reaches no terminal as a control. len bytes
// of text, or up to its terminator when len is -1; at most MP_CFG_SHOWN_MAX bytes are shown.
// The result lives until the next call but one.
inline constexpr size_t MP_CFG_SHOWN_MAX = 255;
const char* MP_cfg_shown(const char* text, size_t len = static_cast<size_t>(-1));
// A settings file is read up to this many bytes; a real one holds a few kilobytes.
inline constexpr int MP_CFG_READ_MAX = 1048576;
// Reads the settings file line by line and hands every line that can carry a key to apply:
// each piece is cut at its line feed, and empty pieces and those that begin with a carriage
// return, a line feed, a blank or "/" are skipped. The file is opened as vp_file_open_own opens
// it: a link, a FIFO, a device or a file of another user is not read, with an error line under
// label that says why, and the defaults stay; a missing file gives the error "Failed to open
// cfg file". Logs "File Opened" at level 3. On POSIX a file that other users may read or change
// gives one error line that names it and the fix. Past MP_CFG_READ_MAX bytes an error line says
// that the rest is not read. Returns 0, or -1 when the file is not read.
int MP_cfg_read_file(const char* label, const char* path, void (*apply)(const char* line));
