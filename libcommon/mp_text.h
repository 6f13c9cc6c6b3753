// mp_text.h - text and time helpers shared by the tag table, the flattener and the bridges.
#pragma once

#include <cstddef>
#include <ctime>

// Date format of now_fmt and the bar character of bar_or_time_fmt; set by the programs.
extern char MP_Global_DateFormat[64];
extern char MP_Global_BarChar;

void base64_encode(const unsigned char* data, unsigned int length, int* out_length, char* out);
void remove_utf8(char* text);
// Position of the first lead byte of a multi-byte character (0xC0 and above) at or after from,
// or len when there is none. Received text is almost all plain ASCII, so eight bytes at a time
// are passed over while none of them has its top bit set.
size_t MP_next_lead(const char* text, size_t from, size_t len);
int strfind(const char* text, char sought, int start);
int strfindstr(const char* text, const char* pattern, int n);
void strcpytonl(char* dest, const char* src);
int substrcpy(char* dest, const char* src, char delimiter);
int MP_extract_line(const char* text, int start, char* dest);
void time_fmt(char* dest, long long t);
void MP_one_time_fmt(char* dest, const char* format, int seconds);
int two_time_fmt(char* dest, const char* format, int a, int b);
void Tbars(char* dest, int value, int maximum, char fill);
int bar_or_time_fmt(char* dest, const char* format, int a, int b);
const char* now_fmt();
const char* MP_nr_to_string(int n);
// Whether the text is a dotted IPv4 address: four decimal parts of 1 to 3 digits, each 0-255.
bool MP_is_dotted_address(const char* host);
