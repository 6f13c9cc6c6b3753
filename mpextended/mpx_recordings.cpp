// mpx_recordings.cpp - the recordings list into Rec tags, and the tags of the recordings in progress.
#include <climits>
#include <cstdio>
#include <cstring>

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

// Tag names and texts formed here; every name fits the table's 63 characters.
char name[64];
char source[64];
char text[64];
char prefix[64];
// The source texts read back from the table, kept apart from MP_gtag's own buffer.
char title[MP_TAG_TEXT_MAX + 1];

// Whether an object that opens at position p of the text is a recording: the member name
// behind its opening quote is "Description".
bool is_recording_object(const char* body, int p) {
    return body[p + 1] != '\0' && strncmp(body + p + 2, kDescription, kDescriptionLen) == 0;
}

// Writes "<stem><n>", and ".<member>" when a member is given, into a name buffer, as
// snprintf would, but without its cost: several such names are made for every recording of
// every poll.
void name_of(char (&out)[64], const char* stem, int n, const char* member) {
    char* end = out + sizeof out;
    char* p = MP_cat_int(MP_cat_text(out, end, stem), end, n, 0);
    if (member) MP_cat_text(MP_cat_text(p, end, "."), end, member);
}

// Stores "Recording<k>.<member>".
void put_recording(int k, const char* member, int type, int ival, const char* value) {
    name_of(name, "Recording", k, member);
    MP_put_tag(name, type, ival, value);
}

// The text of "Rec<n>.<member>", copied out of MP_gtag's buffer.
const char* rec_text(int n, const char* member) {
    name_of(source, "Rec", n, member);
    snprintf(title, sizeof title, "%s", MP_gtag(source));
    return title;
}

int rec_time(int n, const char* member) {
    name_of(source, "Rec", n, member);
    return MP_gttag(source);
}

// A count of seconds as hours, minutes and seconds; the hours are not limited to 23.
void put_seconds(int k, const char* member, long long seconds) {
    // Past the int range the count has no meaning left; it stays at the range's end.
    int s = seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
    char formatted[32];
    MP_one_time_fmt(formatted, "%d:%02d:%02d", s);
    put_recording(k, member, MP_TYPE_TIME, 0, formatted);
}

// The recording at list position n is the k-th in progress: its derived tags, and its
// channel's name, asked of the service while the table does not know it yet.
void derive(const char* tag, int n, int k) {
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "true");
    put_recording(k, "Entry", MP_TYPE_INT, n, MP_nr_to_string(n));
    put_recording(k, "IsRecording", MP_TYPE_TEXT, 0, "true");
    put_recording(k, "Title", MP_TYPE_TEXT, 0, rec_text(n, "Title"));
    put_recording(k, "StartTime", MP_TYPE_TIME, 0, rec_text(n, "StartTime"));
    long long start = rec_time(n, "StartTime");
    put_recording(k, "EndTime", MP_TYPE_TIME, 0, rec_text(n, "EndTime"));
    long long end = rec_time(n, "EndTime");

    time_t now_s;
    unsigned short ms;
    vp_time_now(&now_s, &ms);
    long long now = static_cast<long long>(now_s);
    long long elapsed = now - start;
    if (elapsed < 0 || elapsed > MPX_ELAPSED_LIMIT) elapsed = 0;
    long long duration = end - start;
    if (duration < 0) duration = 0;
    MP_logf(1, tag, "start=%lld, end=%lld, duration=%lld, now=%lld", start, end, duration, now);
    put_seconds(k, "SoFar", elapsed);
    put_seconds(k, "Duration", duration);

    name_of(source, "Rec", n, "IdChannel");
    int id = MP_itag(source);
    put_recording(k, "IdChannel", MP_TYPE_INT, 0, rec_text(n, "IdChannel"));

    snprintf(text, sizeof text, "Channel%d.DisplayName", id);
    // Once the connection is lost, further look-ups would only wait for answers that cannot
    // come; the name is asked for again at the next poll.
    if (MP_gtag(text)[0] == '\0' && MP_Global_Connected) {
        if (MP_Extended_request_channel(tag, id) > 0) MP_Extended_process_channel(tag, id);
    }
    snprintf(title, sizeof title, "%s", MP_gtag(text));
    put_recording(k, "ChannelName", MP_TYPE_INT, 0, title);
}

// Marks the slots above the number of recordings in progress as no longer recording.
void clear_slots() {
    int m = MP_itag("Recordings");
    for (int d = m < 0 ? 1 : m + 1; d <= MPX_CLEARED_SLOTS; d++)
        put_recording(d, "IsRecording", MP_TYPE_TEXT, 0, "false");
}

}  // namespace

int MP_Extended_process_recordings(const char* tag, char* buf, int n) {
    MP_TRACE("MP_Extended_process_recordings");
    MpxFrame frame;
    if (MP_Extended_frame(tag, buf, n, MPX_RECEIVE_CAPACITY, 0, &frame) <= 0) return 0;

    if (frame.length <= 2) {
        MP_log(tag, "Empty Message");
        MP_lock();
        MP_put_tag("IsRecording", MP_TYPE_TEXT, 0, "false");
        clear_slots();
        MP_unlock();
        return 0;
    }

    // The closing "]" of the list is dropped. Multi-byte characters become one blank each only
    // now that the body has been found by its byte counts, so that they cannot move it.
    buf[frame.received - 1] = '\0';
    char* body = buf + frame.body;
    remove_utf8(body);
    MP_log(tag, body);

    int length = static_cast<int>(strlen(body));
    int p = 0;
    int r = 0;
    while (p < length) {
        // Each search and each object's flattening is handed the text from where it stands:
        // the searches first make sure that their start lies within the text, which costs a
        // walk from wherever the text they are given begins.
        int found = strfind(body + p, '{', 0);
        if (found == 0) break;
        p += found - 1;
        if (!is_recording_object(body, p)) break;
        if (++r > MPX_RECORDING_LIMIT) {
            MP_errlog(tag, "Too many recordings in message");
            return 0;
        }
        name_of(prefix, "Rec", r, nullptr);
        int prefix_len = static_cast<int>(strlen(prefix));
        int at = 0;
        MP_lock();
        MP_Parse_item(tag, prefix, body + p, &at, &prefix_len);
        MP_unlock();
        p += at;
    }
    MP_put_tag("NRecordings", MP_TYPE_TEXT, r, MP_nr_to_string(r));

    MP_lock();
    if (r == 0) {
        MP_put_tag("IsRecording", MP_TYPE_TEXT, 0, "false");
    } else {
        int k = 0;
        for (int i = 1; i <= r; i++) {
            name_of(source, "Rec", i, "IsRecording");
            if (strncmp(MP_gtag(source), "true", 4) != 0) continue;
            derive(tag, i, ++k);
        }
        if (k == 0) {
            MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
            MP_put_tag("IsRecording", MP_TYPE_TEXT, 0, "false");
        } else {
            MP_put_tag("Recordings", MP_TYPE_TEXT, k, MP_nr_to_string(k));
        }
        snprintf(text, sizeof text, "%d", k);
        MP_put_tag("IRecordings", MP_TYPE_INT, k, text);
    }
    clear_slots();
    MP_unlock();
    return 0;
}
