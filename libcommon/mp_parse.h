// mp_parse.h - the single-pass flattener that turns compact JSON into dotted tag names.
#pragma once

void MP_Parse(const char* label, const char* text);
void MP_Parse_it(const char* label, char* prefix, const char* text, int* pos, int* prefix_len);
void MP_Parse_item(const char* label, char* prefix, const char* text, int* pos, int* prefix_len);
void MP_Parse_tags(const char* label, const char* prefix, const char* text, int* pos);
