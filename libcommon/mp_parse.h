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

// A store of the flattener as a visitor sees it: the full name, the type, the integer value and
// the text, each as MP_put_tag receives it, and the table entry that the store went to (0 in a
// dry run, above MP_MAXTAGS when the table refused the name).
using MP_ParseVisitor = void (*)(const char* name, int type, int ival, const char* text, int entry, void* context);
// MP_Parse_item that also hands every store, once made, to visit.
void MP_Parse_item_visited(const char* label, char* prefix, const char* text, int* pos, int* prefix_len,
                           MP_ParseVisitor visit, void* context);

// How a dry run of MP_Parse_item went.
struct MP_ParseDryRun {
    int position;      // where the real run would leave the position
    bool ended;        // the real run would end the scan of the whole text
    bool reached_end;  // it read as far as the text's terminating zero: more text behind that
                       // zero could change what the run stores and where it ends
};

// Runs MP_Parse_item over the object at pos under the prefix (prefix_len as for MP_Parse_item)
// without storing or logging anything: visit, when given, receives every store that the real run
// would make, in order. A reader that holds only the beginning of a longer text learns so
// whether that beginning decides the object.
MP_ParseDryRun MP_Parse_item_dry(const char* prefix, int prefix_len, const char* text, int pos,
                                 MP_ParseVisitor visit, void* context);
