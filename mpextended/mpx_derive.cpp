// mpx_derive.cpp - the tags of the recordings in progress and the summary tags, from the recordings of the list.
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
char text[64];
char channel_name[MP_TAG_TEXT_MAX + 1];

// A derivation that counts stores nothing: it counts the names that its stores would add, each
// once. Names counted are remembered here; beyond its room every further new name counts.
bool counting = false;
int counted = 0;
constexpr int kRemembered = 1024;
char remembered[kRemembered][64];
int remembered_count = 0;

bool count_name(const char* tag_name) {
    if (MP_get_tag(tag_name, nullptr, nullptr, nullptr) != 0) return false;
    for (int i = 0; i < remembered_count; i++)
        if (strncmp(remembered[i], tag_name, MP_TAG_NAME_MAX) == 0) return false;
    if (remembered_count < kRemembered) snprintf(remembered[remembered_count++], 64, "%s", tag_name);
    return true;
}

// Every tag of the derivation passes here: stored, or counted.
void put(const char* tag_name, int type, int ival, const char* value) {
    if (!counting)
        MP_put_tag(tag_name, type, ival, value);
    else if (count_name(tag_name))
        counted++;
}

// Writes "Recording<k>.<member>" as snprintf would, but without its cost: several such names
// are made for every recording in progress at every poll.
const char* recording_name(int k, const char* member) {
    char* end = name + sizeof name;
    MP_cat_text(MP_cat_text(MP_cat_int(MP_cat_text(name, end, "Recording"), end, k, 0), end, "."), end, member);
    return name;
}
void put_recording(int k, const char* member, int type, int ival, const char* value) {
    put(recording_name(k, member), type, ival, value);
}

// A count of seconds as hours, minutes and seconds; the hours are not limited to 23.
void put_seconds(int k, const char* member, long long seconds) {
    // Past the int range the count has no meaning left; it stays at the range's end.
    int s = seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
    char formatted[32];
    MP_one_time_fmt(formatted, "%d:%02d:%02d", s);
    put_recording(k, member, MP_TYPE_TIME, 0, formatted);
}

// Recording n of the list is the k-th in progress: its derived tags, and its channel's answer,
// stored just before its channel name while the table does not know that name yet.
void derive(const char* tag, int n, int k) {
    const MpxRecording& rec = MP_Extended_recordings[n];
    put("IsRecording", MP_TYPE_TEXT, 1, "true");
    put_recording(k, "Entry", MP_TYPE_INT, n, MP_nr_to_string(n));
    put_recording(k, "IsRecording", MP_TYPE_TEXT, 0, "true");
    put_recording(k, "Title", MP_TYPE_TEXT, 0, rec.title);
    put_recording(k, "StartTime", MP_TYPE_TIME, 0, rec.start);
    put_recording(k, "EndTime", MP_TYPE_TIME, 0, rec.end);

    long long now = MP_Global_mFixedNow;
    if (now == 0) {
        time_t now_s;
        unsigned short ms;
        vp_time_now(&now_s, &ms);
        now = static_cast<long long>(now_s);
    }
    long long start = rec.start_time;
    long long elapsed = now - start;
    if (elapsed < 0 || elapsed > MPX_ELAPSED_LIMIT) elapsed = 0;
    long long duration = rec.end_time - start;
    if (duration < 0) duration = 0;
    if (!counting) MP_logf(1, tag, "start=%lld, end=%d, duration=%lld, now=%lld", start, rec.end_time, duration, now);
    put_seconds(k, "SoFar", elapsed);
    put_seconds(k, "Duration", duration);
    put_recording(k, "IdChannel", MP_TYPE_INT, 0, rec.channel_text);

    counted += MP_Extended_take_channel(tag, rec.channel, counting ? count_name : nullptr);
    snprintf(text, sizeof text, "Channel%d.DisplayName", rec.channel);
    snprintf(channel_name, sizeof channel_name, "%s", MP_gtag(text));
    put_recording(k, "ChannelName", MP_TYPE_INT, 0, channel_name);
}

// Marks the slots above the m recordings in progress as no longer recording: up to the ninth,
// and beyond it as far as slots were ever written, so that a slot once in progress never stays
// "true" after its recording has ended.
void clear_slots(int m) {
    for (int d = m < 0 ? 1 : m + 1;; d++) {
        if (d > MPX_CLEARED_SLOTS && MP_get_tag(recording_name(d, "IsRecording"), nullptr, nullptr, nullptr) == 0) break;
        put_recording(d, "IsRecording", MP_TYPE_TEXT, 0, "false");
    }
}

}  // namespace

void MP_Extended_not_recording() {
    MP_TRACE("MP_Extended_not_recording");
    MP_lock();
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 0, "false");
    clear_slots(MP_itag("Recordings"));
    MP_unlock();
}

int MP_Extended_derive(const char* tag, int r, bool count) {
    MP_TRACE("MP_Extended_derive");
    counting = count;
    counted = 0;
    remembered_count = 0;
    MP_Extended_channels_rewind();
    put("NRecordings", MP_TYPE_TEXT, r, MP_nr_to_string(r));

    MP_lock();
    // An empty list leaves the count of recordings in progress as it was.
    int k = r == 0 ? MP_itag("Recordings") : 0;
    if (r == 0) {
        put("IsRecording", MP_TYPE_TEXT, 0, "false");
    } else {
        for (int i = 1; i <= r; i++)
            if (MP_Extended_recordings[i].in_progress) derive(tag, i, ++k);
        if (k == 0) {
            put("Recordings", MP_TYPE_TEXT, 0, "None");
            put("IsRecording", MP_TYPE_TEXT, 0, "false");
        } else {
            put("Recordings", MP_TYPE_TEXT, k, MP_nr_to_string(k));
        }
        snprintf(text, sizeof text, "%d", k);
        put("IRecordings", MP_TYPE_INT, k, text);
    }
    clear_slots(k);
    MP_unlock();
    counting = false;
    return count ? counted : 0;
}
