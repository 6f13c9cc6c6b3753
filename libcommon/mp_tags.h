// mp_tags.h - the tag table, its prefix lookup and store rules, the tag lock and publication.
#pragma once

#include <cstddef>
#include <cstdint>

// One tag, identical in memory and in the publication block (little-endian, no padding).
struct MP_TagEntry {
    char name[64];
    int32_t len;
    int32_t type;
    int32_t ival;
    int32_t time;
    char string[260];
};
static_assert(sizeof(MP_TagEntry) == 340, "a tag record is 340 bytes in the block");
static_assert(offsetof(MP_TagEntry, len) == 64);
static_assert(offsetof(MP_TagEntry, type) == 68);
static_assert(offsetof(MP_TagEntry, ival) == 72);
static_assert(offsetof(MP_TagEntry, time) == 76);
static_assert(offsetof(MP_TagEntry, string) == 80);

inline constexpr int MP_MAXTAGS = 2048;           // tags 1 to 2048; entry 0 is the header
inline constexpr int MP_TABLE_SIZE = MP_MAXTAGS + 1;
inline constexpr int MP_BLOCK_SIZE = 1048576;     // every publication block
inline constexpr int MP_TYPE_INT = 0;
inline constexpr int MP_TYPE_TEXT = 1;
inline constexpr int MP_TYPE_TIME = 3;
// Longest tag name kept. A longer name is cut to its first 63 characters, for stores and
// lookups alike, so that a long name always finds its own entry again.
inline constexpr int MP_TAG_NAME_MAX = 63;
// Longest text kept in a tag; a longer text keeps its first MP_TAG_TEXT_CUT characters.
inline constexpr int MP_TAG_TEXT_MAX = 256;
inline constexpr int MP_TAG_TEXT_CUT = 255;
inline constexpr int MP_CHANNELS = 10;            // publication channels 0 to 9

// The table and the count; entry 0 is the header entry.
extern MP_TagEntry MP_Tags[MP_TABLE_SIZE];
extern int MP_Numtags;

// New names refused since the program started because the table was full.
extern int MP_Tag_Refused;

// A group of stores that is kept whole or not at all. From MP_tags_begin on, every entry that
// a store changes keeps the bytes it held at the beginning, and MP_tags_rollback puts them back
// and takes out the names added meanwhile, so that the table is byte for byte what it was;
// MP_tags_commit keeps the stores. A store that changes nothing (the same type, value, time
// and text again) writes nothing. A begin while a group is open commits that group first.
void MP_tags_begin();
void MP_tags_commit();
void MP_tags_rollback();
// A point inside the open group that MP_tags_rollback_to can return to: the stores made since
// are taken back, the names they added removed. An entry that the group changed before the mark
// as well goes back to the bytes it held at the group's beginning, so a caller marks between
// stores that touch entries of their own (the recordings of a list, each under its own names).
struct MP_TagMark {
    int count;
    int saved;
    char state[8];
};
MP_TagMark MP_tags_mark();
void MP_tags_rollback_to(const MP_TagMark& mark);

void MP_Clear_tags();
int MP_put_tag(const char* name, int type, int ival, const char* string);
// MP_put_tag for a text that is never a date, whatever it begins with: a text converted from
// its JSON form, which has lost the escapes that told it from the date form.
int MP_put_tag_undated(const char* name, int type, int ival, const char* string);
int MP_get_tag(const char* query, int* type, int* ival, char* string);
int MP_itag(const char* query);
const char* MP_gtag(const char* query);
int MP_gttag(const char* query);

void MP_lock();
void MP_unlock();

void CommsStart(int channel, int full_access, const char* name, int size);
// Opens a bridge's own block (channel 0, MP_BLOCK_SIZE, writable) under this run's name: base,
// with VISTREL_BLOCK_SUFFIX behind it when that is set. A suffix that is no suffix is logged and
// ends the program with exit code 2: a bridge that fell back to the plain name would write into
// the block of another installation.
void MP_publish_start(const char* base);
void CommsSend(int channel, const void* source, int length);
void CommsRecv(int channel, void* dest, int length);
void CommsStop(int channel);
void CommsPacket(int channel, const char* status);
// The address of a channel's view, or null when the channel has none (for tests and tools).
const void* CommsView(int channel);

// The tag listing for people: a header line, a rule line and one fixed-column line per tag.
// MP_Dump writes it to plugins\MP_Dump.log (replacing the file), MP_Dumpc to standard output.
void MP_Dump();
void MP_Dumpc();
// The listing's two header lines and the format of a tag line, shared with every program that
// lists tags in the same columns.
inline constexpr char MP_DUMP_HEADER[] =
    " id  type     ival      len  name                                     string";
inline constexpr char MP_DUMP_RULE[] =
    "---- ---- ------------ ----- ---------.---------.---------.---------. "
    "----------------------------------------------";
static_assert(sizeof MP_DUMP_HEADER - 1 == 76);
static_assert(sizeof MP_DUMP_RULE - 1 == 116);
