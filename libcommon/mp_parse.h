// mp_parse.h - the single-pass flattener that turns compact JSON into dotted tag names.
#pragma once

// Nested objects that one flattening follows; a deeper object abandons the rest of the text.
// A name nested this deep no longer fits the 63 characters of a tag name in any case.
inline constexpr int MP_PARSE_MAX_DEPTH = 32;

// The position is a byte index into the zero-terminated text, from 0 up to the text's length;
// each call advances it. A position past the length marks a text whose scan has ended. The
// prefix buffer holds at least 64 bytes; a prefix length of 0 means no prefix.
void MP_Parse(const char* label, const char* text);
void MP_Parse_it(const char* label, char* prefix, const char* text, int* pos, int* prefix_len);
void MP_Parse_item(const char* label, char* prefix, const char* text, int* pos, int* prefix_len);
void MP_Parse_tags(const char* label, const char* prefix, const char* text, int* pos);
