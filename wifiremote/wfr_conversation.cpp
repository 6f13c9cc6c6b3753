// wfr_conversation.cpp - the WifiRemote bridge's receive loop on a live connection.
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "wfr.h"

namespace {

// One received block, and one more byte for the terminator behind it.
char wfr_receive_buffer[WFR_RECEIVE_CAPACITY + 1];
char wfr_message[256];

}  // namespace

// Receives block after block, decodes each and publishes the table with "OK" after it; the
// periodic requests go out before each receive. Returns when the connection ends.
int MP_Process_incoming(const char* tag) {
    MP_TRACE("MP_Process_incoming");
    MP_logl(3, "MP_Process_incoming", "entered");
    // A line left incomplete by the previous connection has no continuation on this one.
    MP_WifiRemote_Decode_reset();
    int n;
    long code = 0;
    for (;;) {
        MP_poll_requests();
        n = MP_recv(tag, wfr_receive_buffer, WFR_RECEIVE_CAPACITY);
        if (n <= 0) {
            // Take the code before anything else can touch it.
            code = (long)vp_net_error();
            break;
        }
        wfr_receive_buffer[n] = '\0';
        if (n > WFR_RECEIVE_CAPACITY - 2) MP_errlog(tag, "Receive buffer overflow");
        remove_utf8(wfr_receive_buffer);
        MP_WifiRemote_Decode(tag, wfr_receive_buffer);
        CommsPacket(0, "OK");
    }
    MP_Global_Connected = 0;
    if (n == 0) {
        MP_log(tag, "Connection closed");
    } else {
        snprintf(wfr_message, sizeof wfr_message, "MP_recv Failed: Error at socket(): %ld", code);
        CommsPacket(0, wfr_message);
        MP_log(tag, wfr_message);
    }
    return 0;
}
