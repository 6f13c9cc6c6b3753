// mpx_channel.cpp - the answer to a channel request, kept in the tag table as Channel<id>.* tags.
#include <cstdio>
#include <cstring>

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
    if (n == 0) {
        MP_Global_Connected = 0;
        MP_log(tag, "Connection closed in MP_Extended_process_channel");
        return 0;
    }
    if (n < 0) {
        int code = vp_net_error();
        MP_Global_Connected = 0;
        MP_errlog(tag, "recv failed: in MP_Extended_process_channel");
        if (code == VP_WSAETIMEDOUT)
            MP_errlogf(tag, "No channel answer for %d ms; the connection is given up",
                       MP_Global_mAnswerLimitMs);
        return 0;
    }
    channel_buffer[n] = '\0';

    MpxFrame frame;
    if (MP_Extended_frame(tag, channel_buffer, n, MPX_CHANNEL_CAPACITY, 1, &frame) <= 0) return 0;
    if (frame.length <= 2) {
        MP_log(tag, "Empty channel Message");
        return 0;
    }
    channel_buffer[frame.received] = '\0';
    const char* body = channel_buffer + frame.body;
    MP_log(tag, body);

    snprintf(channel_prefix, sizeof channel_prefix, "Channel%d", id);
    int found = strfind(body, '{', 0);
    if (found == 0) return 0;
    int p = found - 1;
    if (body[p + 1] == '\0' || strncmp(body + p + 2, kDisplayName, kDisplayNameLen) != 0) {
        MP_log(tag, "Not a channel message");
        return 0;
    }
    // The caller holds the tag lock for the whole derivation.
    int prefix_len = static_cast<int>(strlen(channel_prefix));
    int at = 0;
    MP_Parse_item(tag, channel_prefix, body + p, &at, &prefix_len);
    return 0;
}
