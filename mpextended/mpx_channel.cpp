// mpx_channel.cpp - the answer to a channel request, kept in the tag table as Channel<id>.* tags.
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

char channel_buffer[MPX_CHANNEL_CAPACITY + 1];
char channel_prefix[64];

}  // namespace

int MP_Extended_process_channel(const char* tag, int id) {
    MP_TRACE("MP_Extended_process_channel");
    // After the connection was lost in this poll no answer can come; the name is asked for
    // again at the next poll.
    if (!MP_Global_Connected) return 0;
    int n = MP_recv(tag, channel_buffer, MPX_CHANNEL_CAPACITY);
    if (n <= 0) {
        MP_Extended_channel_lost(tag, n);
        return 0;
    }
    channel_buffer[n] = '\0';

    MpxBody b;
    if (MP_Extended_body_start(tag, channel_buffer, n, MPX_CHANNEL_CAPACITY, 1, &b) < 0) return 0;
    if (b.length > b.room) {
        // A channel is one small object; an answer too large for its buffer is read and
        // dropped, so that the connection stays in step, and the name is asked for again at
        // the next poll.
        MP_errlogf(tag, "Channel answer of %lld bytes does not fit the %d-byte buffer; it is dropped",
                   b.length, MPX_CHANNEL_CAPACITY);
        MP_Extended_body_drain(tag, &b);
        return 0;
    }
    if (MP_Extended_body_fill(tag, &b) < 0) return 0;
    if (b.length <= 2) {
        MP_log(tag, "Empty channel Message");
        return 0;
    }
    const char* body = b.buf;
    MP_log_untrusted(1, tag, body, static_cast<size_t>(b.length));

    snprintf(channel_prefix, sizeof channel_prefix, "Channel%d", id);
    int found = strfind(body, '{', 0);
    if (found == 0) return 0;
    int p = found - 1;
    if (body[p + 1] == '\0' || strncmp(body + p + 2, kDisplayName, kDisplayNameLen) != 0) {
        MP_log(tag, "Not a channel message");
        return 0;
    }
    // The caller holds the tag lock for the whole derivation. The answer is not cleaned of
    // multi-byte characters: whatever text the recordings scan named, this one is read as the
    // raw UTF-8 that the service sent.
    int prefix_len = static_cast<int>(strlen(channel_prefix));
    int at = 0;
    MP_TextNamed raw(nullptr, nullptr, 0);
    MP_Parse_item(tag, channel_prefix, body + p, &at, &prefix_len);
    return 0;
}
