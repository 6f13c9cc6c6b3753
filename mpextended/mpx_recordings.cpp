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
constexpr int kDescriptionLen = 11;
static_assert(sizeof kDescription - 1 == kDescriptionLen);
// How much of an object must be there before it can be judged: its "{", the opening quote of
// its first member name, and "Description".
constexpr int kJudged = 2 + kDescriptionLen;

char prefix[64];
char name[64];

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

// Writes "Rec<n>" into the prefix and "<stem><n>.<member>" into name.
void name_rec(int n) {
    char* end = prefix + sizeof prefix;
    MP_cat_int(MP_cat_text(prefix, end, "Rec"), end, n, 0);
}
const char* name_of(const char* stem, int n, const char* member) {
    char* end = name + sizeof name;
    char* p = MP_cat_int(MP_cat_text(name, end, stem), end, n, 0);
    MP_cat_text(MP_cat_text(p, end, "."), end, member);
    return name;
}
bool missing(const char* tag_name) { return MP_get_tag(tag_name, nullptr, nullptr, nullptr) == 0; }

// What one recording object would store, as a dry run of the flattener sees it.
struct Preview {
    char in_progress_name[64];  // "Rec<n>.IsRecording"
    char channel_name[64];      // "Rec<n>.IdChannel"
    bool count_new;             // look each name up, to count those not in the table yet
    int stores;
    int new_names;
    bool in_progress;
    int channel;
};

void preview_store(const char* tag_name, int, int ival, const char* text, void* context) {
    Preview& v = *static_cast<Preview*>(context);
    v.stores++;
    if (v.count_new && missing(tag_name)) v.new_names++;
    if (strcmp(tag_name, v.in_progress_name) == 0)
        v.in_progress = strncmp(text, "true", 4) == 0;
    else if (strcmp(tag_name, v.channel_name) == 0)
        v.channel = ival;
}

MP_ParseDryRun preview(const char* text, int p, int n, bool count_new, Preview& v) {
    snprintf(v.in_progress_name, sizeof v.in_progress_name, "Rec%d.IsRecording", n);
    snprintf(v.channel_name, sizeof v.channel_name, "Rec%d.IdChannel", n);
    v.count_new = count_new;
    v.stores = 0;
    v.new_names = 0;
    v.in_progress = false;
    v.channel = 0;
    name_rec(n);
    return MP_Parse_item_dry(prefix, static_cast<int>(strlen(prefix)), text, p, preview_store, &v);
}

// The members that the derivation stores for each recording in progress.
constexpr const char* kDerived[] = {"Entry",    "IsRecording", "Title",     "StartTime",  "EndTime",
                                    "SoFar",    "Duration",    "IdChannel", "ChannelName"};

// The new table entries that the derivation of this poll needs for the recordings stored so
// far, counting the names that the table holds already: the summary tags, the slots that it
// marks as no longer recording, and for each recording in progress its Recording<k> tags and
// the answer of a channel whose name is not known yet.
struct Needs {
    int entries = 0;
    int in_progress = 0;
    static constexpr int kChannels = 32;
    int channels[kChannels];
    int channel_count = 0;
    bool channels_full = false;

    void start() {
        entries = missing("IsRecording") + missing("NRecordings") + missing("Recordings") + missing("IRecordings");
        for (int d = 1; d <= MPX_CLEARED_SLOTS; d++) entries += missing(name_of("Recording", d, "IsRecording"));
        in_progress = 0;
        channel_count = 0;
        channels_full = false;
    }
    bool counted(int channel) const {
        for (int i = 0; i < channel_count; i++)
            if (channels[i] == channel) return true;
        return false;
    }
    // The new entries that one more recording in progress, on that channel, would need.
    int for_next(int channel) const {
        int k = in_progress + 1;
        int need = 0;
        for (const char* member : kDerived) need += missing(name_of("Recording", k, member));
        // Its IsRecording slot was counted among the slots to mark already.
        if (k <= MPX_CLEARED_SLOTS && missing(name_of("Recording", k, "IsRecording"))) need--;
        char channel_tag[40];
        snprintf(channel_tag, sizeof channel_tag, "Channel%d.DisplayName", channel);
        if (MP_gtag(channel_tag)[0] == '\0' && (channels_full || !counted(channel))) need += MPX_CHANNEL_ENTRIES;
        return need;
    }
    // Recording n has been stored: counted if the derivation will take it as in progress.
    void took(int n) {
        if (strncmp(MP_gtag(name_of("Rec", n, "IsRecording")), "true", 4) != 0) return;
        int channel = MP_itag(name_of("Rec", n, "IdChannel"));
        entries += for_next(channel);
        in_progress++;
        if (counted(channel)) return;
        if (channel_count < kChannels)
            channels[channel_count++] = channel;
        else
            channels_full = true;
    }
};
Needs needs;
// What the derivation needed when a recording did not leave room for it.
int over_need = 0;

void tell_full(const char* tag, int n, int need) {
    if (!told_full)
        MP_errlogf(tag, "Tag table nearly full: recordings from Rec%d on are not stored, to keep %d entries "
                   "for the recordings in progress", n, need);
    told_full = true;
}

// Whether recording n, which the dry run v previewed, may be stored: what it adds to the table
// leaves the entries that the derivation needs then. *need is set to those.
bool room_for(const char* text, int p, int n, Preview& v, int* need) {
    int free = MP_MAXTAGS - MP_Numtags;
    *need = needs.entries + (v.in_progress ? needs.for_next(v.channel) : 0);
    // Every store taken for a new name, the most the recording can add; near the limit, the
    // names it adds are counted.
    int adds = v.stores;
    if (free - adds < *need) {
        if (!v.count_new) preview(text, p, n, true, v);
        adds = v.new_names;
    }
    return free - adds >= *need;
}

// Takes up to `limit` recording objects from the head of the list, as a scan of the whole text
// would. A list that lies whole in the window is stored object by object and checked after each:
// when one leaves too few entries for the derivation, *over is set to its number and the scan
// stops, for the caller to take the list again without it. A list that passes through the window
// is previewed object by object before it is stored, since what has passed cannot be taken again.
// Returns how many were stored, or -1 when the conversation was given up.
int take(const char* tag, ListText& t, int limit, int* over) {
    MpxBody& b = *t.b;
    const bool careful = !t.whole;
    const int refused = MP_Tag_Refused;
    // The flattener reads the characters of the window's tokens from their side array.
    MP_TextNamed named(b.buf, points, t.clean);
    needs.start();
    int r = 0;
    int p = 0;
    for (;;) {
        int resume = 0;
        int at = find_brace(b.buf, p, t.clean, &resume);
        int keep_from = -1;  // where the window is cut when more of the text must come first
        Preview v;
        MP_ParseDryRun dry{};
        if (at < 0) {
            if (t.whole) break;
            keep_from = resume;
        } else if (!t.whole && t.clean - at < kJudged) {
            keep_from = at;
        } else {
            p = at;
            if (!is_recording_object(b.buf, p)) break;
            if (r == limit) {
                if (limit == MPX_RECORDING_LIMIT && !told_too_many)
                    MP_logf(1, tag, "Too many recordings in message; the first %d are taken", MPX_RECORDING_LIMIT);
                told_too_many = told_too_many || limit == MPX_RECORDING_LIMIT;
                break;
            }
            if (careful) {
                dry = preview(b.buf, p, r + 1, false, v);
                if (dry.reached_end && !t.whole) keep_from = p;
            }
        }
        if (keep_from >= 0) {
            int rc = advance(tag, t, keep_from);
            if (rc < 0) return -1;
            if (rc == 0) break;
            MP_text_name(b.buf, points, t.clean);
            p = 0;
            continue;
        }
        int need = 0;
        if (careful && !room_for(b.buf, p, r + 1, v, &need)) {
            tell_full(tag, r + 1, need);
            break;
        }
        r++;
        name_rec(r);
        int prefix_len = static_cast<int>(strlen(prefix));
        int pos = p;
        MP_lock();
        MP_Parse_item(tag, prefix, b.buf, &pos, &prefix_len);
        MP_unlock();
        needs.took(r);
        if (!careful && (MP_Tag_Refused != refused || MP_MAXTAGS - MP_Numtags < needs.entries)) {
            *over = r;
            over_need = needs.entries;
            return r;
        }
        // A position past the text's end: the flattener abandoned the rest of it.
        if (pos > t.clean) break;
        p = pos;
    }
    return r;
}

// Takes the recording objects from the head of the list. Returns how many were stored, or -1
// when the conversation was given up.
int scan(const char* tag, MpxBody& b) {
    if (MP_Extended_body_fill(tag, &b) < 0) return -1;
    if (b.header + b.length > MPX_RECEIVE_CAPACITY - 2 && !told_overflow) {
        // The answer does not fit the buffer; it is read through it all the same.
        MP_errlog(tag, "Receive buffer overflow");
        told_overflow = true;
    }
    ListText t{&b, b.length - 1, 0, 0, false, b.buf[0]};
    clean_more(tag, t);
    int over = 0;
    int r = take(tag, t, MPX_RECORDING_LIMIT, &over);
    if (over > 0) {
        // The list lies whole in the window: it is taken again, up to the recording before the
        // one that did not leave room, from the table as it was before.
        int need = over_need;
        MP_tags_rollback();
        MP_tags_begin();
        r = take(tag, t, over - 1, &over);
        tell_full(tag, over, need);
    }
    b.buf[t.clean] = t.covered;
    return r;
}

}  // namespace

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
    // leaves the table as the last whole one left it.
    MP_tags_begin();
    int r = scan(tag, b);
    if (r < 0 || MP_Extended_body_drain(tag, &b) < 0) {
        MP_tags_rollback();
        return 0;
    }
    // The derivation asks the service for the names of channels that the table does not know.
    // A channel answer that breaks off gives the conversation up, and the new list goes with
    // what was derived from it: the table stays as the last whole poll left it.
    int connected = MP_Global_Connected;
    MP_Extended_derive(tag, r);
    if (connected && !MP_Global_Connected) {
        MP_tags_rollback();
        return 0;
    }
    MP_tags_commit();
    return 0;
}
