// mpx_derive.cpp - the tags of the recordings in progress and the summary tags, from the Rec tags.
#include <climits>
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

long long MP_Global_mFixedNow = 0;

namespace {

// Tag names and texts formed here; every name fits the table's 63 characters.
char name[64];
char source[64];
char text[64];
// The source texts read back from the table, kept apart from MP_gtag's own buffer.
char title[MP_TAG_TEXT_MAX + 1];

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

    long long now = MP_Global_mFixedNow;
    if (now == 0) {
        time_t now_s;
        unsigned short ms;
        vp_time_now(&now_s, &ms);
        now = static_cast<long long>(now_s);
    }
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
        int sent = MP_Extended_request_channel(tag, id);
        if (sent > 0)
            MP_Extended_process_channel(tag, id);
        else if (sent < 0)
            MP_Extended_give_up("%s", MP_Send_failure());
    }
    snprintf(title, sizeof title, "%s", MP_gtag(text));
    put_recording(k, "ChannelName", MP_TYPE_INT, 0, title);
}

// Marks the slots above the number of recordings in progress as no longer recording: up to
// the ninth, and beyond it as far as slots were ever written, so that a slot once in progress
// never stays "true" after its recording has ended.
void clear_slots() {
    int m = MP_itag("Recordings");
    for (int d = m < 0 ? 1 : m + 1;; d++) {
        name_of(name, "Recording", d, "IsRecording");
        if (d > MPX_CLEARED_SLOTS && MP_get_tag(name, nullptr, nullptr, nullptr) == 0) break;
        MP_put_tag(name, MP_TYPE_TEXT, 0, "false");
    }
}

}  // namespace

void MP_Extended_not_recording() {
    MP_TRACE("MP_Extended_not_recording");
    MP_lock();
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 0, "false");
    clear_slots();
    MP_unlock();
}

void MP_Extended_derive(const char* tag, int r) {
    MP_TRACE("MP_Extended_derive");
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
}
