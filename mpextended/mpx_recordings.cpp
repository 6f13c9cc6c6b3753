// mpx_recordings.cpp - the recordings list into Rec tags: the same tags for the same bytes, however they arrive.
//
// The tags that an answer gives depend on its bytes alone. The body passes through the receive
// buffer a window at a time, and every window is filled as far as the body goes or the buffer
// holds before anything is judged, whatever the pieces the bytes came in. An answer that fits
// the buffer is therefore scanned as one text, once it has arrived whole. In a larger one, the
// window's text is cleaned of multi-byte characters up to a character that the next window
// completes, and a recording object is stored only when a dry run of the flattener shows that
// the window decides it: the run stops before the window's end, so that no byte behind it can
// change what the object stores or where the scan goes on. An object that does not end in the
// window is carried to its start and completed there. So the tags are those that a scan of the
// whole body would give, for its first 98 recordings.
//
// Nothing is kept of an answer that is given up: its stores form one group of the tag table,
// kept only once the whole answer has arrived.
#include <cstdio>
#include <cstring>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

constexpr char kDescription[] = "Description";
constexpr int kDescriptionLen = sizeof kDescription - 1;
// How much of an object must be there before it can be judged: its "{", the opening quote of
// its first member name, and "Description".
constexpr int kJudged = 2 + kDescriptionLen;

// What is said once per connection: a large library is the normal state of its owner's
// service, not a fault to report at every poll.
bool told_overflow = false;
bool told_too_many = false;
bool told_full = false;
bool told_huge = false;

// The list's text in the window: the body without its last byte (the list's closing "]"),
// each multi-byte character one blank, up to its first zero byte, if any. buf[0, clean) holds
// cleaned text, terminated while it is scanned; behind it lie raw bytes of the body, the first
// of them from body offset raw_next.
struct ListText {
    MpxBody* b;
    long long length;  // the text's length before cleaning
    int clean;
    long long raw_next;
    bool whole;        // the rest of the text is cleaned: buf[clean] is its end
    char covered;      // the raw byte that the terminator at buf[clean] stands on
};

// The characters of the window's tokens, in the readable text encodings: one entry for every
// byte of the receive buffer, which the window begins at.
MP_TextPoint points[MPX_RECEIVE_CAPACITY + 1];

// Cleans the raw bytes behind the clean text, as far as they belong to the text, and
// terminates the clean text. Each newly cleaned part is logged once.
void clean_more(const char* tag, ListText& t) {
    MpxBody& b = *t.b;
    char* buf = b.buf;
    int from = t.clean;
    buf[from] = t.covered;
    long long left = t.length - t.raw_next;
    int raw = b.have - from;
    bool last = raw >= left;
    int to = last ? from + static_cast<int>(left) : b.have;
    // A zero byte ends the text, as it ends any text that is cleaned and scanned whole.
    const void* zero = memchr(buf + from, 0, static_cast<size_t>(to - from));
    if (zero != nullptr) {
        to = static_cast<int>(static_cast<const char*>(zero) - buf);
        last = true;
    }
    // A character that may go on behind the window's end is held back, uncleaned, for the
    // bytes that complete it.
    int held = 0;
    int clean = MP_text_clean(buf, points, from, to, last, &held);
    if (clean > from) MP_log_untrusted(1, tag, buf + from, static_cast<size_t>(clean - from));
    if (last) {
        // Nothing behind the text is needed: the body's last byte is no part of it.
        b.have = clean;
    } else {
        memmove(buf + clean + held, buf + to, static_cast<size_t>(b.have - to));
        b.have -= to - clean - held;
    }
    t.raw_next += to - from - held;
    t.clean = clean;
    t.whole = last;
    t.covered = buf[t.clean];
    buf[t.clean] = '\0';
}

// Drops the window's first `keep_from` bytes and brings in more of the body. Returns 1, 0 when
// the window cannot take more because what it must keep fills it (a single recording larger
// than the buffer), or -1 when the conversation was given up.
int advance(const char* tag, ListText& t, int keep_from) {
    MpxBody& b = *t.b;
    if (keep_from == 0 && b.have >= b.room) {
        // The same list comes at every poll; an error line each time would also write the
        // recent lines out every few seconds.
        if (!told_huge) MP_errlogf(tag, "A recording of more than %d bytes; the list is taken up to it", b.room);
        told_huge = true;
        return 0;
    }
    b.buf[t.clean] = t.covered;
    MP_text_drop(b.buf, points, b.have, keep_from);
    b.have -= keep_from;
    b.buf[b.have] = '\0';
    t.clean -= keep_from;
    if (MP_Extended_body_fill(tag, &b) < 0) return -1;
    t.covered = b.buf[t.clean];
    clean_more(tag, t);
    return 1;
}

// Where the next "{" stands in the clean text from `from` on, passing over a backslash and the
// character behind it (an escaped brace is none), or -1. With -1, *resume is where the search
// goes on once the text behind the window's end has arrived: its end, or a backslash whose
// escaped character lies behind it.
int find_brace(const char* text, int from, int end, int* resume) {
    int q = from;
    for (;;) {
        q += static_cast<int>(strcspn(text + q, "{\\"));
        if (q >= end) break;
        if (text[q] == '{') return q;
        // A backslash hides itself and the next character; the one after that is taken as it
        // stands, a backslash included.
        if (q + 2 >= end) {
            *resume = q;
            return -1;
        }
        q += 2;
        if (text[q] == '{') return q;
        q++;
    }
    *resume = end;
    return -1;
}

// Whether the object that opens at text[p] is a recording: the member name behind its opening
// quote is "Description".
bool is_recording_object(const char* text, int p) {
    return text[p + 1] != '\0' && strncmp(text + p + 2, kDescription, kDescriptionLen) == 0;
}

// The members of a recording that the derivation reads, by the name behind "Rec<n>".
constexpr const char* kMembers[] = {".IsRecording", ".IdChannel", ".Title", ".StartTime", ".EndTime"};
enum Member { kIsRecording, kIdChannel, kTitle, kStartTime, kEndTime, kMemberCount };

// Where the table stood before each recording was stored: mark n lies before recording n + 1.
MP_TagMark marks[MPX_RECORDING_LIMIT + 1];

// Writes "Rec<n>", the prefix of recording n's tag names; returns its length.
int rec_prefix(char (&out)[64], int n) {
    char* end = out + sizeof out;
    return static_cast<int>(MP_cat_int(MP_cat_text(out, end, "Rec"), end, n, 0) - out);
}

// The table entries that one recording's members were stored in.
struct Stored {
    char prefix[64];
    int prefix_len;
    int entry[kMemberCount];
};

// Every store of a recording passes here, so a name is compared with the one member that its
// first letter can make it.
void note_store(const char* tag_name, int, int, const char*, int entry, void* context) {
    Stored& s = *static_cast<Stored*>(context);
    const char* member = tag_name + s.prefix_len;
    if (strncmp(tag_name, s.prefix, static_cast<size_t>(s.prefix_len)) != 0 || member[0] != '.') return;
    int m = member[1] == 'T' ? kTitle : member[1] == 'S' ? kStartTime : member[1] == 'E' ? kEndTime
          : member[1] == 'I' && member[2] == 's' ? kIsRecording : kIdChannel;
    if (strcmp(member, kMembers[m]) == 0) s.entry[m] = entry;
}

// The entry of member m of the recording stored: a member that the object did not store is read
// as the table holds it under its name, and one that the table does not hold as empty.
const MP_TagEntry& member(Stored& s, int m) {
    static const MP_TagEntry none{};
    int entry = s.entry[m];
    if (entry < 1 || entry > MP_MAXTAGS) {
        MP_cat_text(s.prefix + s.prefix_len, s.prefix + sizeof s.prefix, kMembers[m]);
        entry = MP_get_tag(s.prefix, nullptr, nullptr, nullptr);
    }
    return entry ? MP_Tags[entry] : none;
}

void copy_text(char (&out)[MP_TAG_TEXT_MAX + 1], const MP_TagEntry& e) {
    size_t len = strnlen(e.string, MP_TAG_TEXT_MAX);
    memcpy(out, e.string, len);
    out[len] = '\0';
}

void tell_full(const char* tag, int n, int need) {
    if (!told_full)
        MP_errlogf(tag, "Tag table nearly full: recordings from Rec%d on are not stored, to keep %d entries "
                   "for the recordings in progress", n, need);
    told_full = true;
}

// Takes up to MPX_RECORDING_LIMIT recording objects from the head of the list, as a scan of the
// whole text would, each stored as soon as the window decides it. A recording that the table has
// no room for is taken back, and the list ends before it (*cut is set). Returns how many were
// stored, or -1 when the conversation was given up.
int take(const char* tag, ListText& t, bool* cut) {
    MpxBody& b = *t.b;
    // The flattener reads the characters of the window's tokens from their side array.
    MP_TextNamed named(b.buf, points, t.clean);
    marks[0] = MP_tags_mark();
    int r = 0;
    int p = 0;
    for (;;) {
        int resume = 0;
        int at = find_brace(b.buf, p, t.clean, &resume);
        int keep_from = -1;  // where the window is cut when more of the text must come first
        if (at < 0) {
            if (t.whole) break;
            keep_from = resume;
        } else if (!t.whole && t.clean - at < kJudged) {
            keep_from = at;
        } else {
            p = at;
            if (!is_recording_object(b.buf, p)) break;
            if (r == MPX_RECORDING_LIMIT) {
                if (!told_too_many)
                    MP_logf(1, tag, "Too many recordings in message; the first %d are taken", MPX_RECORDING_LIMIT);
                told_too_many = true;
                break;
            }
            // Behind the window's end the object may go on: a dry run shows whether it does.
            char prefix[64];
            int prefix_len = rec_prefix(prefix, r + 1);
            if (!t.whole && MP_Parse_item_dry(prefix, prefix_len, b.buf, p, nullptr, nullptr).reached_end)
                keep_from = p;
        }
        if (keep_from >= 0) {
            int rc = advance(tag, t, keep_from);
            if (rc < 0) return -1;
            if (rc == 0) break;
            MP_text_name(b.buf, points, t.clean);
            p = 0;
            continue;
        }
        const int refused = MP_Tag_Refused;
        int pos = p;
        MP_lock();
        MP_Extended_store_recording(tag, ++r, b.buf, &pos);
        MP_unlock();
        if (MP_Tag_Refused != refused) {
            MP_tags_rollback_to(marks[--r]);
            *cut = true;
            break;
        }
        marks[r] = MP_tags_mark();
        // A position past the text's end: the flattener abandoned the rest of it.
        if (pos > t.clean) break;
        p = pos;
    }
    return r;
}

// Takes the recording objects from the head of the list. Returns how many were stored, or -1
// when the conversation was given up.
int scan(const char* tag, MpxBody& b, bool* cut) {
    if (MP_Extended_body_fill(tag, &b) < 0) return -1;
    if (b.header + b.length > MPX_RECEIVE_CAPACITY - 2 && !told_overflow) {
        // The answer does not fit the buffer; it is read through it all the same.
        MP_errlog(tag, "Receive buffer overflow");
        told_overflow = true;
    }
    ListText t{&b, b.length - 1, 0, 0, false, b.buf[0]};
    clean_more(tag, t);
    int r = take(tag, t, cut);
    b.buf[t.clean] = t.covered;
    return r;
}

// The most recordings of the r stored that leave the table room for what the derivation stores
// beside them, their channel answers included; those beyond are taken back. cut says that the
// scan has ended the list already, at the recording behind the r stored.
int fit(const char* tag, int r, bool cut) {
    int m = r;
    int need = MP_Extended_derive(tag, m, true);
    int over_need = need;
    while (m > 0 && MP_MAXTAGS - marks[m].count < need) {
        over_need = need;
        need = MP_Extended_derive(tag, --m, true);
    }
    if (m < r) MP_tags_rollback_to(marks[m]);
    if (m < r || cut) tell_full(tag, m + 1, over_need);
    return m;
}

}  // namespace

MpxRecording MP_Extended_recordings[MPX_RECORDING_LIMIT + 1];

void MP_Extended_store_recording(const char* tag, int n, const char* text, int* pos) {
    Stored s{};
    s.prefix_len = rec_prefix(s.prefix, n);
    char prefix[64];
    int prefix_len = rec_prefix(prefix, n);
    MP_Parse_item_visited(tag, prefix, text, pos, &prefix_len, note_store, &s);
    MpxRecording& rec = MP_Extended_recordings[n];
    rec.in_progress = strncmp(member(s, kIsRecording).string, "true", 4) == 0;
    // The derivation reads the other members of recordings in progress only.
    if (!rec.in_progress) return;
    rec.channel = member(s, kIdChannel).ival;
    rec.start_time = member(s, kStartTime).time;
    rec.end_time = member(s, kEndTime).time;
    copy_text(rec.channel_text, member(s, kIdChannel));
    copy_text(rec.title, member(s, kTitle));
    copy_text(rec.start, member(s, kStartTime));
    copy_text(rec.end, member(s, kEndTime));
}

void MP_Extended_recordings_reset() {
    told_overflow = false;
    told_too_many = false;
    told_full = false;
    told_huge = false;
}

int MP_Extended_process_recordings(const char* tag, char* buf, int n) {
    MP_TRACE("MP_Extended_process_recordings");
    MpxBody b;
    if (MP_Extended_body_start(tag, buf, n, MPX_RECEIVE_CAPACITY, 0, &b) < 0) return 0;

    if (b.length <= 2) {
        if (MP_Extended_body_drain(tag, &b) < 0) return 0;
        MP_log(tag, "Empty Message");
        MP_Extended_not_recording();
        return 0;
    }

    // The recordings count only once the whole answer is here: the rest of the list is read
    // and dropped, so that the next answer starts clean, and an answer given up on the way
    // leaves the table as the last whole one left it. The names of the channels are asked for
    // before anything is derived, so that the reserve for the derived tags is counted from what
    // their answers hold, and a channel answer that breaks off takes the list back with it.
    MP_tags_begin();
    bool cut = false;
    int r = scan(tag, b, &cut);
    if (r < 0 || MP_Extended_body_drain(tag, &b) < 0 || MP_Extended_ask_channels(tag, r) < 0) {
        MP_tags_rollback();
        return 0;
    }
    MP_Extended_derive(tag, fit(tag, r, cut), false);
    MP_tags_commit();
    return 0;
}
