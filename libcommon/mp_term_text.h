// mp_term_text.h - tag texts shown on a terminal as the text encoding of their block means them,
// and the encoding of a block as an option, its marker or the settings file names it.
#pragma once

#include <cstddef>

#include "mp_encoding_names.h"

// Room that MP_term_text needs for a field of width bytes: a Windows-1252 byte may take three
// bytes of UTF-8.
constexpr size_t MP_term_text_room(size_t width) { return 3 * width + 1; }

// A field of at most width bytes, up to its zero, stored in the encoding, for a terminal into out
// (size bytes; MP_term_text_room(width) take any field whole). A readable encoding's text as
// UTF-8: every character as it is meant, and one '?' for each control (C0, DEL, C1, the marks
// that reorder a line), each byte that is no character of the encoding (invalid UTF-8, the five
// empty places of Windows-1252, anything beyond ASCII in ASCII). A Raw text as UTF-8 too, never
// longer than its field: its well-formed characters as they are, one '?' for each control and
// for each byte that begins no character. Returns out.
const char* MP_term_text(char* out, size_t size, const char* field, size_t width, int encoding);

// The columns that len bytes of UTF-8 take on a terminal: combining marks none, East Asian wide
// characters two, every other character one.
size_t MP_term_columns(const char* text, size_t len);
// The bytes of the longest beginning of len bytes of UTF-8 that fits cols columns; never part
// of a character.
size_t MP_term_fit(const char* text, size_t len, size_t cols);

// The encoding that the bridges take from a settings file, read by their rules: its last
// Text_Encoding= line, a value that names none giving Raw; Raw without such a line, and when the
// file cannot be read.
int MP_term_encoding_of_file(const char* path);
// The encoding that an option value names, in any case, or -1.
int MP_term_encoding_named(const char* value);

// The encoding to show a block's texts in: the option's when one was given (0 or above), else
// the one its marker names (MP_TEXT_MARKER_SIZE bytes from the block's end), else the settings
// file's.
int MP_term_block_encoding(int option, const char* marker, int settings);
