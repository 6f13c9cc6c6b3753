// mp_tags.cpp - the tag table: store rules, prefix lookups, the clear at start-up and the lock.
#include "mp_tags.h"

#include <cstring>

#include "mp_log.h"
#include "mp_tagindex.h"
#include "mp_text.h"
#include "vp.h"

MP_TagEntry MP_Tags[MP_TABLE_SIZE];
int MP_Numtags = 0;
int MP_Tag_Refused = 0;

namespace {

// The JSON date form, as it arrives unescaped: backslash, slash, "Date(".
constexpr char kDateMark[] = "\\/Date(";
constexpr int kDateMarkLen = 7;

// The working copy of a date text: the JSON form, then its local date text.
char work[MP_TAG_TEXT_MAX + 4];
// The "put_tag" log line, bounded to what the log keeps of a line.
char put_line[MP_LOG_LINE_SIZE];
// The result of MP_gtag; every call overwrites it.
char gtag_text[4096];

// The open group of stores: the count and the header's state word at its beginning, and the
// entries it changed with the bytes they held then, each saved once. Entries added by the group
// lie above begin_count and need no saving: they were unused, all zero, before.
bool group_open = false;
int begin_count = 0;
char begin_state[8];
MP_TagEntry saved_entry[MP_MAXTAGS];
int saved_index[MP_MAXTAGS];
int saved_count = 0;
// The group that saved each entry last; groups are numbered from 1, so 0 is none.
unsigned saved_by[MP_TABLE_SIZE];
unsigned group_number = 0;

// Keeps entry index as the open group found it, before its first change in the group.
void save_for_group(int index) {
    if (!group_open || index > begin_count || saved_by[index] == group_number) return;
    saved_by[index] = group_number;
    saved_index[saved_count] = index;
    saved_entry[saved_count] = MP_Tags[index];
    saved_count++;
}

// The tag lock: made by the first MP_lock, so that a failed creation is tried again later.
// Ten holders may pass at once; each bridge runs one thread, so it never blocks.
constexpr int kLockUnits = 10;
vp_sem tag_lock = VP_NO_SEM;

// The tag count as an index into the table, whatever has been written into it.
int tag_count() {
    if (MP_Numtags < 0) return 0;
    if (MP_Numtags > MP_MAXTAGS) return MP_MAXTAGS;
    return MP_Numtags;
}

// Seconds of a JSON date: the milliseconds read as a 64-bit decimal up to the first
// non-digit (a zone suffix is ignored), divided by 1000 and kept to their low 32 bits. A
// number too long for 64 bits stays at the largest 64-bit value instead of wrapping.
int date_seconds(const char* digits) {
    const long long kMax = 9223372036854775807LL;
    // Below this, ten times the value and any digit stay within 64 bits.
    const long long kSafe = (kMax - 9) / 10;
    long long ms = 0;
    for (const char* p = digits; *p >= '0' && *p <= '9'; p++) {
        int d = *p - '0';
        if (ms <= kSafe)
            ms = ms * 10 + d;
        else
            ms = ms > (kMax - d) / 10 ? kMax : ms * 10 + d;
    }
    return static_cast<int>(static_cast<unsigned int>(static_cast<unsigned long long>(ms / 1000)));
}

void set_header_count(int count) {
    memcpy(MP_Tags[0].name, "Numtags", 8);
    MP_Tags[0].len = count;
}

// A caller may store a tag's own text again (a text taken from the table), so the copy may
// overlap its source.
void store_text(char* dest, const char* text, size_t len) {
    memmove(dest, text, len);
    dest[len] = '\0';
}

// The pieces of the "put_tag" line. The line is written for every store, so it is composed
// here without printf; MP_cat_* would measure the room again for every piece.
template <size_t N>
char* put_literal(char* p, const char (&text)[N]) {
    memcpy(p, text, N - 1);
    return p + N - 1;
}

// As "%*d" for a width of at most 6: at most 11 characters.
char* put_int(char* p, int value, int width) {
    char digits[12];
    int n = MP_digits_reversed(digits, value);
    for (int pad = width - n; pad > 0; pad--) *p++ = ' ';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// "00" to "99": the digits of a field are written two at a time.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void put_pair(char* p, unsigned int two_digits) { memcpy(p, kDigitPairs + 2 * two_digits, 2); }

// As "%*d" for a value from 0 to 10^width - 1 (width 2, 4 or 6), which fills its field
// exactly: blanks over the whole field, then the digits from the right, two at a time. Entry
// numbers, types and most values are such numbers.
template <int Width>
char* put_field(char* p, unsigned int value) {
    static_assert(Width == 2 || Width == 4 || Width == 6);
    memcpy(p, "      ", Width);
    char* d = p + Width;
    while (value >= 100) {
        d -= 2;
        put_pair(d, value % 100);
        value /= 100;
    }
    if (value >= 10) {
        d -= 2;
        put_pair(d, value);
    } else {
        *--d = static_cast<char>('0' + value);
    }
    return p + Width;
}

// As put_int for the width given, taking the short way when the value fills its field.
template <int Width>
char* put_number(char* p, int value) {
    constexpr int kLimit = Width == 2 ? 100 : Width == 4 ? 10000 : 1000000;
    if (value >= 0 && value < kLimit) return put_field<Width>(p, static_cast<unsigned int>(value));
    return put_int(p, value, Width);
}

// The name padded to 40 characters, as "%40s" does.
constexpr char kForty[] = "                                        ";
static_assert(sizeof kForty - 1 == 40);

// The longest fixed part of the line: its five literals and three numbers of up to 11
// characters each.
constexpr size_t kFixedMax = 6 + 7 + 7 + 7 + 9 + 3 * 11;

// Writes "entry=%4d, type=%2d, ival=%6d, name=" from p on: at most 60 characters.
char* put_head(char* p, int entry, int type, int ival) {
    p = put_literal(p, "entry=");
    p = put_number<4>(p, entry);
    p = put_literal(p, ", type=");
    p = put_number<2>(p, type);
    p = put_literal(p, ", ival=");
    p = put_number<6>(p, ival);
    return put_literal(p, ", name=");
}

// Writes "entry=%4d, type=%2d, ival=%6d, name=%40s, string=%s" from p on, with a name of
// name_len and a text of text_len characters; the caller has made room for them.
char* compose_store(char* p, int entry, int type, int ival, const char* name, size_t name_len,
                    const char* text, size_t text_len) {
    p = put_head(p, entry, type, ival);
    if (name_len < 40) {
        // Forty blanks, of which the name then covers its own length.
        memcpy(p, kForty, 40);
        p += 40 - name_len;
    }
    MP_copy_bytes(p, name, name_len);
    p += name_len;
    p = put_literal(p, ", string=");
    MP_copy_bytes(p, text, text_len);
    return p + text_len;
}

// The "put_tag" line with the caller's name and text of text_len characters. known_len is
// the name's length as the store measured it, cut to MP_TAG_NAME_MAX: below that it is the
// whole name's length, which is then not measured again.
//
// The line is composed straight into the log's ring when it fits there whole, which it does
// but for texts of thousands of characters. Otherwise it is composed in a buffer of its own,
// bounded to the log's line size: its fixed part takes at most 69 characters, and a name or
// text too long for the rest is cut at the line's end; the log core keeps what the ring holds
// of it and writes the rest.
void log_store(int entry, int type, int ival, const char* name, int known_len, const char* text,
               size_t text_len) {
    static constexpr char kLabel[] = "put_tag";
    if (known_len < MP_TAG_NAME_MAX) {
        size_t name_len = static_cast<size_t>(known_len);
        size_t room;
        char* at = MP_log_open_line(kLabel, sizeof kLabel - 1, &room);
        if (kFixedMax + (name_len < 40 ? 40 : name_len) + text_len <= room) {
            char* p = compose_store(at, entry, type, ival, name, name_len, text, text_len);
            // What MP_logl(2, ...) does, without its own trace push: this runs for every store.
            // Names and texts come from the services, so the line is escaped when written.
            MP_log_close_untrusted_line(2, static_cast<size_t>(p - at), 0);
            return;
        }
    }
    constexpr size_t kLast = sizeof put_line - 1;
    constexpr size_t kTail = sizeof ", string=" - 1;
    size_t head = static_cast<size_t>(put_head(put_line, entry, type, ival) - put_line);
    size_t name_len = known_len < MP_TAG_NAME_MAX ? static_cast<size_t>(known_len)
                                                 : strnlen(name, kLast - kTail - head);
    size_t room = kLast - head - (name_len < 40 ? 40 : name_len) - kTail;
    char* p = compose_store(put_line, entry, type, ival, name, name_len, text, text_len < room ? text_len : room);
    *p = '\0';
    MP_log_untrusted(2, kLabel, put_line, static_cast<size_t>(p - put_line));
}

}  // namespace

void MP_Clear_tags() {
    MP_TRACE("MP_Clear_tags");
    for (MP_TagEntry& e : MP_Tags) {
        e.name[0] = '\0';
        e.len = 0;
        e.type = 0;
        e.ival = 0;
        e.time = 0;
        e.string[0] = '\0';
    }
    memcpy(MP_Tags[0].name, "Invalid", 8);
    MP_tagindex_invalidate();
}

void MP_tags_begin() {
    MP_TRACE("MP_tags_begin");
    if (group_open) MP_tags_commit();
    group_open = true;
    group_number++;
    if (group_number == 0) {
        // After four thousand million groups the numbers start again: no entry may look saved.
        memset(saved_by, 0, sizeof saved_by);
        group_number = 1;
    }
    begin_count = tag_count();
    memcpy(begin_state, MP_Tags[0].name, sizeof begin_state);
    saved_count = 0;
}

void MP_tags_commit() {
    MP_TRACE("MP_tags_commit");
    group_open = false;
    saved_count = 0;
}

MP_TagMark MP_tags_mark() {
    MP_TagMark mark{tag_count(), saved_count, {}};
    memcpy(mark.state, MP_Tags[0].name, sizeof mark.state);
    return mark;
}

void MP_tags_rollback_to(const MP_TagMark& mark) {
    MP_TRACE("MP_tags_rollback_to");
    if (!group_open) return;
    for (int i = saved_count - 1; i >= mark.saved; i--) {
        MP_Tags[saved_index[i]] = saved_entry[i];
        saved_by[saved_index[i]] = 0;
    }
    saved_count = mark.saved;
    int count = tag_count();
    if (count > mark.count) {
        // The names added since go, and their entries are unused again, as before.
        memset(&MP_Tags[mark.count + 1], 0, static_cast<size_t>(count - mark.count) * sizeof(MP_TagEntry));
        MP_Numtags = mark.count;
        MP_Tags[0].len = mark.count;
        memcpy(MP_Tags[0].name, mark.state, sizeof mark.state);
        MP_tagindex_invalidate();
    }
}

void MP_tags_rollback() {
    MP_TRACE("MP_tags_rollback");
    if (!group_open) return;
    MP_TagMark start{begin_count, 0, {}};
    memcpy(start.state, begin_state, sizeof begin_state);
    MP_tags_rollback_to(start);
    group_open = false;
}

namespace {

// The store of MP_put_tag and MP_put_tag_undated: dates says whether a text in the JSON date
// form becomes a date.
int put_tag(const char* name, int type, int ival, const char* string, bool dates) {
    if (!name) {
        MP_errlog("MP_put_tag:", "A tag without a name was not stored");
        return 0;
    }
    if (!string) string = "";

    // The caller's text as far as the log line can show it; the stored text is cut from it:
    // over 256 characters it keeps its first 255.
    size_t text_len = strnlen(string, sizeof put_line);
    size_t len = text_len > static_cast<size_t>(MP_TAG_TEXT_MAX) ? MP_TAG_TEXT_CUT : text_len;
    const char* text = string;

    int effective = type;
    bool dated = false;
    int seconds = 0;
    if (dates && len > static_cast<size_t>(kDateMarkLen) && memcmp(string, kDateMark, kDateMarkLen) == 0) {
        // Digits cut off with the text's end count no more. A date before 1970 (a minus sign)
        // or any other non-digit has no time value: 0.
        store_text(work, string, len);
        seconds = date_seconds(work + kDateMarkLen);
        time_fmt(work, seconds);
        work[MP_TAG_TEXT_MAX] = '\0';
        len = strnlen(work, MP_TAG_TEXT_MAX);
        text = work;
        effective = MP_TYPE_TIME;
        dated = true;
    }

    int name_len = MP_tag_name_length(name);
    int count = tag_count();
    // A name not found is taken into the index as the next entry straight away, when there is
    // room for it: it is stored there below before anything looks it up.
    int index = MP_tagindex_find_or_add(name, name_len, count < MP_MAXTAGS ? count + 1 : 0);
    if (index) {
        // An empty text changes nothing. A store under a shorter name that matched a longer
        // one keeps the longer name.
        MP_TagEntry& e = MP_Tags[index];
        bool same = e.type == effective && e.ival == ival && (!dated || e.time == seconds) &&
                    memcmp(e.string, text, len) == 0 && e.string[len] == '\0';
        if (len > 0 && !same) {
            save_for_group(index);
            store_text(e.string, text, len);
            e.type = effective;
            e.ival = ival;
            if (dated) e.time = seconds;
        }
    } else if (count >= MP_MAXTAGS) {
        index = MP_MAXTAGS + 1;
        MP_Tag_Refused++;
        set_header_count(count);
    } else {
        index = count + 1;
        MP_TagEntry& e = MP_Tags[index];
        store_text(e.name, name, static_cast<size_t>(name_len));
        e.len = name_len;
        e.type = effective;
        e.ival = ival;
        store_text(e.string, text, len);
        if (dated) e.time = seconds;
        MP_Numtags = index;
        set_header_count(index);
    }

    // The caller's type and text, as passed: neither cut nor converted.
    log_store(index + 1, type, ival, name, name_len, string, text_len);
    return index;
}

}  // namespace

int MP_put_tag(const char* name, int type, int ival, const char* string) {
    MP_TRACE("MP_put_tag");
    return put_tag(name, type, ival, string, true);
}

int MP_put_tag_undated(const char* name, int type, int ival, const char* string) {
    MP_TRACE("MP_put_tag_undated");
    return put_tag(name, type, ival, string, false);
}

int MP_get_tag(const char* query, int* type, int* ival, char* string) {
    MP_TRACE("MP_get_tag");
    if (type) *type = 0;
    if (ival) *ival = 0;
    if (string) string[0] = '\0';
    if (!query) return 0;
    int index = MP_tagindex_find(query, MP_tag_name_length(query));
    if (!index) return 0;
    const MP_TagEntry& e = MP_Tags[index];
    if (type) *type = e.type;
    if (ival) *ival = e.ival;
    if (string) store_text(string, e.string, strnlen(e.string, MP_TAG_TEXT_MAX));
    return index;
}

int MP_itag(const char* query) {
    MP_TRACE("MP_itag");
    int ival = 0;
    MP_get_tag(query, nullptr, &ival, nullptr);
    return ival;
}

const char* MP_gtag(const char* query) {
    MP_TRACE("MP_gtag");
    MP_get_tag(query, nullptr, nullptr, gtag_text);
    return gtag_text;
}

int MP_gttag(const char* query) {
    MP_TRACE("MP_gttag");
    int index = MP_get_tag(query, nullptr, nullptr, nullptr);
    return index ? MP_Tags[index].time : 0;
}

void MP_lock() {
    MP_TRACE("MP_lock");
    if (tag_lock == VP_NO_SEM) {
        int err = vp_sem_create(kLockUnits, kLockUnits, &tag_lock);
        if (err) {
            tag_lock = VP_NO_SEM;
            MP_errlogf("MP_Lock:", " %d", err);
            return;
        }
    }
    vp_sem_wait(tag_lock);
}

void MP_unlock() {
    MP_TRACE("MP_unlock");
    int err = vp_sem_release(tag_lock);
    if (err) MP_errlogf("MP_unlock", "ReleaseSemaphore error: %d\n", err);
}
