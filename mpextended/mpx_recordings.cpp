// mpx_recordings.cpp - the recordings list into Rec tags, a window of the receive buffer at a time.
#include <cstring>

#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

constexpr char kDescription[] = "Description";
constexpr int kDescriptionLen = 11;
static_assert(sizeof kDescription - 1 == kDescriptionLen);

char prefix[64];
char known[64];
// What is said once per connection: a large library is the normal state of its owner's
// service, not a fault to report at every poll.
bool told_too_many = false;
bool told_full = false;
bool told_huge = false;

// Whether an object that opens at position p of the text is a recording: the member name
// behind its opening quote is "Description".
bool is_recording_object(const char* text, int p) {
    return text[p + 1] != '\0' && strncmp(text + p + 2, kDescription, kDescriptionLen) == 0;
}

// One past the "}" that closes the object opening at text[from], or -1 when the text ends (at
// end) first. Strings are passed over whole, escaped quotes and all. *members counts the
// colons outside strings: every member, nested ones too, that flattening the object may store.
int object_end(const char* text, int from, int end, int* members) {
    int depth = 0;
    int colons = 0;
    for (int i = from; i < end; i++) {
        char c = text[i];
        if (c == '"') {
            int open = i;
            for (;;) {
                const void* q = memchr(text + i + 1, '"', static_cast<size_t>(end - i - 1));
                if (q == nullptr) return -1;
                i = static_cast<int>(static_cast<const char*>(q) - text);
                // The quote ends the string unless an odd number of backslashes escapes it.
                int slashes = 0;
                while (i - 1 - slashes > open && text[i - 1 - slashes] == '\\') slashes++;
                if (slashes % 2 == 0) break;
            }
        } else if (c == '{' || c == '[') {
            depth++;
        } else if (c == '}' || c == ']') {
            if (--depth == 0) {
                *members = colons;
                return i + 1;
            }
        } else if (c == ':') {
            colons++;
        }
    }
    return -1;
}

// Writes "Rec<n>" and "Rec<n>." into the name buffers.
void name_rec(int n) {
    char* end = prefix + sizeof prefix;
    char* p = MP_cat_int(MP_cat_text(prefix, end, "Rec"), end, n, 0);
    memcpy(known, prefix, static_cast<size_t>(p - prefix));
    known[p - prefix] = '.';
    known[p - prefix + 1] = '\0';
}

void tell_full(const char* tag, int r) {
    if (told_full) return;
    told_full = true;
    MP_errlogf(tag, "Tag table nearly full: recordings from Rec%d on are not stored, to keep %d entries "
               "for the recordings in progress", r, MPX_DERIVED_RESERVE);
}

// Near a full table the members of each object are counted before it is stored; further from
// it, a recording (some 23 members) fits without counting, and one of unlikely size that
// reaches the reserve is stopped by the table itself.
constexpr int kNearFull = MPX_DERIVED_RESERVE + 64;

// Whether recording r, of up to `members` members, may be stored: its names are in the table
// already, or the free entries stay above the reserve for the derived tags.
bool room_for(const char* tag, int r, int members) {
    int free = MP_MAXTAGS - MP_Numtags;
    if (free >= kNearFull || free - members >= MPX_DERIVED_RESERVE) return true;
    name_rec(r);
    if (MP_get_tag(known, nullptr, nullptr, nullptr) != 0) return true;
    tell_full(tag, r);
    return false;
}

// Flattens the recording that opens at p under "Rec<r>", in the text up to stop. With clean,
// its multi-byte characters become one blank each first, within the object alone, so that they
// can neither move the body nor be cut by a window's end. Returns where scanning goes on: stop
// for a cleaned object, where the flattener left off otherwise, or -1 when the flattener
// abandoned the rest of the text.
int take(const char* tag, char* text, int p, int stop, int r, bool clean) {
    char saved = text[stop];
    text[stop] = '\0';
    if (clean) remove_utf8(text + p);
    int length = clean ? static_cast<int>(strlen(text + p)) : stop - p;
    name_rec(r);
    int prefix_len = static_cast<int>(strlen(prefix));
    int at = 0;
    MP_lock();
    MP_Parse_item(tag, prefix, text + p, &at, &prefix_len);
    MP_unlock();
    text[stop] = saved;
    if (at > length) return -1;
    return clean ? stop : p + at;
}

// How far the window holds scannable text: the body without its last byte, the list's
// closing "]".
int window_end(const MpxBody& b, long long text_len) {
    long long left = text_len - b.consumed;
    if (left <= 0) return 0;
    return left < b.have ? static_cast<int>(left) : b.have;
}

// Takes the recording objects from the head of the list, a window at a time. While the list
// goes on beyond the window, each object is stored only once its end is in the window, and an
// object cut by the window's end is carried to its start and completed there. Once the rest of
// the list is in the window, it is scanned as one text. Returns how many were stored, or -1
// when the conversation was given up.
int scan(const char* tag, MpxBody& b) {
    const long long text_len = b.length - 1;
    const int refused = MP_Tag_Refused;
    int r = 0;
    int p = 0;         // where scanning goes on in the window
    int logged = 0;    // the window's bytes before this have been logged
    int end = 0;       // the end of the text in the window
    bool whole = false;  // the rest of the text is in the window, cleaned of multi-byte characters
    for (;;) {
        if (!whole) {
            end = window_end(b, text_len);
            b.buf[end] = '\0';
            if (end > logged) {
                MP_log_untrusted(1, tag, b.buf + logged, static_cast<size_t>(end - logged));
                logged = end;
            }
            if (b.consumed + end >= text_len) {
                whole = true;
                remove_utf8(b.buf + p);
                end = p + static_cast<int>(strlen(b.buf + p));
            }
        }
        int found = p < end ? strfind(b.buf + p, '{', 0) : 0;
        int e = -1;
        int members = 0;
        if (found != 0) {
            p += found - 1;
            // The object's first member name must have arrived before it can be judged.
            if (end - p >= 2 + kDescriptionLen || whole) {
                if (!is_recording_object(b.buf, p)) break;
                if (r == MPX_RECORDING_LIMIT) {
                    if (!told_too_many) {
                        told_too_many = true;
                        MP_logf(1, tag, "Too many recordings in message; the first %d are taken",
                                MPX_RECORDING_LIMIT);
                    }
                    break;
                }
                if (!whole || MP_MAXTAGS - MP_Numtags < kNearFull) e = object_end(b.buf, p, end, &members);
                if (whole) e = end;
            }
        } else if (whole) {
            break;
        } else {
            // Nothing to keep but a backslash at the end, which escapes what comes next.
            p = end > 0 && b.buf[end - 1] == '\\' ? end - 1 : end;
        }
        if (e < 0) {
            if (p == 0 && b.have == b.room) {
                // The same list comes at every poll; an error line each time would also write
                // the recent lines out every few seconds.
                if (!told_huge) MP_errlogf(tag, "A recording of more than %d bytes; the list is taken up to it", b.room);
                told_huge = true;
                break;
            }
            int rc = MP_Extended_body_more(tag, &b, p);
            if (rc < 0) return -1;
            logged -= p;
            p = 0;
            if (rc == 0) break;
            continue;
        }
        if (!room_for(tag, r + 1, members)) break;
        r++;
        int next = take(tag, b.buf, p, e, r, !whole);
        if (MP_Tag_Refused != refused) {
            // Names this object had not stored before met the reserve: it is not counted.
            tell_full(tag, r);
            r--;
            break;
        }
        if (next < 0) break;
        p = next;
    }
    return r;
}

}  // namespace

void MP_Extended_recordings_reset() {
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

    MP_Tag_Reserve = MPX_DERIVED_RESERVE;
    int r = scan(tag, b);
    MP_Tag_Reserve = 0;
    // The rest of the list is read and dropped, so that the next answer starts clean.
    if (r < 0 || MP_Extended_body_drain(tag, &b) < 0) return 0;
    MP_Extended_derive(tag, r);
    return 0;
}
