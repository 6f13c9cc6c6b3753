// mpx_channel.cpp - the answers to channel requests, asked before the derivation and kept for it as Channel<id>.* tags.
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

constexpr char kDisplayName[] = "DisplayName";
constexpr int kDisplayNameLen = sizeof kDisplayName - 1;

// One answer kept for the derivation: its body, or a length of -1 when it was dropped. A poll
// asks at most once for each recording of the list.
struct Answer {
    int id;
    int length;
    bool taken;  // taken by the derivation's pass in progress, or asked for by this poll
    char body[MPX_CHANNEL_CAPACITY + 1];
};
Answer answers[MPX_RECORDING_LIMIT];
int kept = 0;

char channel_prefix[64];
char display_name[64];
// What the dry run of an answer saw: the names that count_name says are new, and whether a
// name for the channel was stored.
bool (*counter)(const char* name) = nullptr;
int new_names = 0;
bool named = false;

void visit_store(const char* name, int, int, const char* text, int, void*) {
    if (counter && counter(name)) new_names++;
    if (text[0] != '\0' && strncmp(name, display_name, strlen(display_name)) == 0) named = true;
}

// Stores the kept answer, or runs it dry (dry set): the checks and the log lines of a channel
// answer belong to its storing.
void take(const char* tag, Answer& a, bool dry) {
    if (a.length < 0) return;
    if (a.length <= 2) {
        if (!dry) MP_log(tag, "Empty channel Message");
        return;
    }
    const char* body = a.body;
    if (!dry) MP_log_untrusted(1, tag, body, static_cast<size_t>(a.length));
    int found = strfind(body, '{', 0);
    if (found == 0) return;
    int p = found - 1;
    if (body[p + 1] == '\0' || strncmp(body + p + 2, kDisplayName, kDisplayNameLen) != 0) {
        if (!dry) MP_log(tag, "Not a channel message");
        return;
    }
    snprintf(channel_prefix, sizeof channel_prefix, "Channel%d", a.id);
    snprintf(display_name, sizeof display_name, "Channel%d.DisplayName", a.id);
    int prefix_len = static_cast<int>(strlen(channel_prefix));
    if (dry) {
        MP_Parse_item_dry(channel_prefix, prefix_len, body + p, 0, visit_store, nullptr);
        return;
    }
    // Read as the raw UTF-8 that the service sent: the recordings' named text is another buffer.
    int at = 0;
    MP_Parse_item(tag, channel_prefix, body + p, &at, &prefix_len);
}

// Whether the name of channel id is known: the table holds it, or an answer taken names it.
bool known(int id) {
    named = false;
    counter = nullptr;
    for (int i = 0; i < kept && !named; i++)
        if (answers[i].id == id && answers[i].taken) take("", answers[i], true);
    snprintf(display_name, sizeof display_name, "Channel%d.DisplayName", id);
    return named || MP_gtag(display_name)[0] != '\0';
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
    a.taken = true;
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
    return 0;
}

}  // namespace

int MP_Extended_ask_channels(const char* tag, int r) {
    MP_TRACE("MP_Extended_ask_channels");
    kept = 0;
    for (int n = 1; n <= r; n++) {
        const MpxRecording& rec = MP_Extended_recordings[n];
        if (!rec.in_progress || known(rec.channel)) continue;
        int sent = MP_Extended_request_channel(tag, rec.channel);
        if (sent < 0) MP_Extended_give_up("%s", MP_Send_failure());
        if (sent <= 0 || receive(tag, rec.channel) < 0) return -1;
    }
    return 0;
}

void MP_Extended_channels_rewind() {
    for (int i = 0; i < kept; i++) answers[i].taken = false;
}

int MP_Extended_take_channel(const char* tag, int id, bool (*count_name)(const char* name)) {
    if (known(id)) return 0;
    for (int i = 0; i < kept; i++) {
        Answer& a = answers[i];
        if (a.id != id || a.taken) continue;
        a.taken = true;
        counter = count_name;
        new_names = 0;
        take(tag, a, count_name != nullptr);
        return new_names;
    }
    return 0;
}
