// mpx_channel.cpp - the answers to channel requests, asked before the derivation and kept for it as Channel<id>.* tags.
#include <cstdio>
#include <cstring>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

constexpr char kDisplayName[] = "DisplayName";
constexpr int kDisplayNameLen = 11;
static_assert(sizeof kDisplayName - 1 == kDisplayNameLen);

// One answer kept for the derivation: its body, or a length of -1 when it was dropped. A poll
// asks at most once for each recording of the list.
struct Answer {
    int id;
    int length;
    bool names;  // it stores a name for the channel
    bool taken;  // the derivation's pass in progress has taken it
    char body[MPX_CHANNEL_CAPACITY + 1];
};
Answer answers[MPX_RECORDING_LIMIT];
int kept = 0;

char channel_prefix[64];
char display_name[64];

// The dry run of an answer, for whether it names the channel and how many names it adds.
struct Visit {
    bool (*count_name)(const char* name);
    int count;
    bool names;
};
void visit_store(const char* name, int, int, const char* text, int, void* context) {
    Visit& v = *static_cast<Visit*>(context);
    if (v.count_name && v.count_name(name)) v.count++;
    if (text[0] != '\0' && strncmp(name, display_name, strlen(display_name)) == 0) v.names = true;
}

// Stores the kept answer, or with count_name runs it dry: the checks and the log lines of a
// channel answer belong to its storing. Returns the new names that the dry run counted.
int take(const char* tag, Answer& a, bool (*count_name)(const char* name), bool* names) {
    const bool dry = names != nullptr || count_name != nullptr;
    if (a.length < 0) return 0;
    if (a.length <= 2) {
        if (!dry) MP_log(tag, "Empty channel Message");
        return 0;
    }
    const char* body = a.body;
    if (!dry) MP_log_untrusted(1, tag, body, static_cast<size_t>(a.length));
    int found = strfind(body, '{', 0);
    if (found == 0) return 0;
    int p = found - 1;
    if (body[p + 1] == '\0' || strncmp(body + p + 2, kDisplayName, kDisplayNameLen) != 0) {
        if (!dry) MP_log(tag, "Not a channel message");
        return 0;
    }
    snprintf(channel_prefix, sizeof channel_prefix, "Channel%d", a.id);
    int prefix_len = static_cast<int>(strlen(channel_prefix));
    if (dry) {
        snprintf(display_name, sizeof display_name, "Channel%d.DisplayName", a.id);
        Visit v{count_name, 0, false};
        MP_Parse_item_dry(channel_prefix, prefix_len, body + p, 0, visit_store, &v);
        if (names) *names = v.names;
        return v.count;
    }
    // The answer is not cleaned of multi-byte characters: whatever text the recordings scan
    // named, this one is read as the raw UTF-8 that the service sent.
    int at = 0;
    MP_TextNamed raw(nullptr, nullptr, 0);
    MP_Parse_item(tag, channel_prefix, body + p, &at, &prefix_len);
    return 0;
}

// Receives the answer to the channel request just sent into the next free place. Returns 0, or
// -1 when the conversation was given up.
int receive(const char* tag, int id) {
    // After the connection was lost in this poll no answer can come; the name is asked for
    // again at the next poll.
    if (!MP_Global_Connected || kept == MPX_RECORDING_LIMIT) return 0;
    Answer& a = answers[kept];
    int n = MP_recv(tag, a.body, MPX_CHANNEL_CAPACITY);
    if (n <= 0) return MP_Extended_channel_lost(tag, n);
    a.body[n] = '\0';
    a.id = id;
    a.length = -1;
    a.names = false;
    a.taken = false;
    kept++;

    MpxBody b;
    if (MP_Extended_body_start(tag, a.body, n, MPX_CHANNEL_CAPACITY, 1, &b) < 0) return -1;
    if (b.length > b.room) {
        // A channel is one small object; an answer too large for its buffer is read and
        // dropped, so that the connection stays in step, and the name is asked for again at
        // the next poll.
        MP_errlogf(tag, "Channel answer of %lld bytes does not fit the %d-byte buffer; it is dropped",
                   b.length, MPX_CHANNEL_CAPACITY);
        return MP_Extended_body_drain(tag, &b);
    }
    if (MP_Extended_body_fill(tag, &b) < 0) return -1;
    a.length = static_cast<int>(b.length);
    a.body[a.length] = '\0';
    take(tag, a, nullptr, &a.names);
    return 0;
}

}  // namespace

int MP_Extended_ask_channels(const char* tag, int r) {
    MP_TRACE("MP_Extended_ask_channels");
    kept = 0;
    for (int n = 1; n <= r; n++) {
        const MpxRecording& rec = MP_Extended_recording(n);
        if (!rec.in_progress) continue;
        snprintf(display_name, sizeof display_name, "Channel%d.DisplayName", rec.channel);
        if (MP_gtag(display_name)[0] != '\0') continue;
        bool named = false;
        for (int i = 0; i < kept; i++) named = named || (answers[i].id == rec.channel && answers[i].names);
        if (named) continue;
        int sent = MP_Extended_request_channel(tag, rec.channel);
        if (sent < 0) MP_Extended_give_up("%s", MP_Send_failure());
        if (sent <= 0 || receive(tag, rec.channel) < 0) return -1;
    }
    return 0;
}

void MP_Extended_channels_rewind() {
    for (int i = 0; i < kept; i++) answers[i].taken = false;
}

bool MP_Extended_channel_named(int id) {
    for (int i = 0; i < kept; i++)
        if (answers[i].id == id && answers[i].taken && answers[i].names) return true;
    return false;
}

int MP_Extended_take_channel(const char* tag, int id, bool (*count_name)(const char* name)) {
    for (int i = 0; i < kept; i++) {
        Answer& a = answers[i];
        if (a.id != id || a.taken) continue;
        a.taken = true;
        return take(tag, a, count_name, nullptr);
    }
    return 0;
}

int MP_Extended_process_channel(const char* tag, int id) {
    MP_TRACE("MP_Extended_process_channel");
    kept = 0;
    if (receive(tag, id) == 0 && kept == 1) MP_Extended_take_channel(tag, id, nullptr);
    kept = 0;
    return 0;
}
