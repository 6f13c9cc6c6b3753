// wfr_conversation.cpp - the WifiRemote bridge's receive loop on a live connection.
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "wfr.h"

namespace {

char wfr_message[256];

// Waits for the plug-in to say something, a second at a time so that the periodic requests go
// out on time while it is quiet. Returns 1 when there is something to receive (or the socket
// has failed, which the receive then reports), 0 when nothing came within the silence limit,
// -1 when a periodic request could not be sent (the connection is given up already).
int wait_for_message(const char* tag) {
    double heard = vp_process_seconds();
    for (;;) {
        // A poll spacing shorter than the slice (tests shorten it) takes the slice with it.
        int slice = MP_Global_Limits.poll_ms < WFR_WAIT_SLICE_MS ? MP_Global_Limits.poll_ms : WFR_WAIT_SLICE_MS;
        if (vp_wait_readable(MP_Global_Socket, slice) != 0) return 1;
        double silent = vp_process_seconds() - heard;
        if (silent * 1000.0 >= MP_Global_Limits.silence_ms) {
            MP_errlogf(tag, "No message from WifiRemote for %d ms; the connection is given up",
                       MP_Global_Limits.silence_ms);
            return 0;
        }
        MP_poll_requests();
        if (!MP_Global_Connected) return -1;
    }
}

// What one round of the conversation came to: the status line to publish with the table after
// it ("" for none), and whether the log tells it too, once it is published.
struct Round {
    const char* status;
    bool logged_after;
};

// A round that ended the conversation because the bridge could not send (a request or an
// answer): the failed send's status line, or none when it has none to tell.
Round send_failed() { return {MP_Send_failure(), false}; }

// One round: the periodic requests, the wait for the plug-in, one block received and decoded.
// "OK" after a block, or why the conversation ended (MP_Global_Connected is then 0); no status
// when it ended with nothing to tell (the plug-in closed the connection).
Round round(const char* tag) {
    MP_poll_requests();
    // A request that could not be sent has given the connection up; its status line says so,
    // and nothing more is received on it.
    if (!MP_Global_Connected) return send_failed();
    // A plug-in that has gone silent for good (a half-open connection after a network fault or
    // a stalled host) would otherwise hold the bridge in its receive for ever.
    int waited = wait_for_message(tag);
    if (waited < 0) return send_failed();
    int n = -1;
    long code = VP_WSAETIMEDOUT;
    if (waited > 0) {
        int room = 0;
        char* at = MP_WifiRemote_receive_room(&room);
        n = MP_recv(tag, at, room);
        if (n > 0) {
            if (n > room - 2) MP_errlog(tag, "Receive buffer overflow");
            // A message that the bridge cannot answer (an identify too long to send) gives the
            // connection up, with the decoder's reason as the status.
            if (MP_WifiRemote_received(tag, n, wfr_message, sizeof wfr_message) == WFR_GIVE_UP) {
                MP_Global_Connected = 0;
                return {wfr_message, false};
            }
            // An answer (identify, properties) that could not be sent gave the connection up.
            if (!MP_Global_Connected) return send_failed();
            return {"OK", false};
        }
        // Take the code before anything else can touch it.
        code = (long)vp_net_error();
    }
    MP_Global_Connected = 0;
    if (n == 0) {
        MP_log(tag, "Connection closed");
        return {"", false};
    }
    snprintf(wfr_message, sizeof wfr_message, "MP_recv Failed: Error at socket(): %ld", code);
    return {wfr_message, true};
}

}  // namespace


// Receives block after block, decodes each and publishes the table with the round's status
// after it, in this one place; the periodic requests go out before each receive. Returns when
// the connection ends.
int MP_Process_incoming(const char* tag) {
    MP_TRACE("MP_Process_incoming");
    MP_logl(3, "MP_Process_incoming", "entered");
    // A line left incomplete by the previous connection has no continuation on this one.
    MP_WifiRemote_Decode_reset();
    for (;;) {
        Round r = round(tag);
        if (r.status[0] != '\0') CommsPacket(0, r.status);
        if (r.logged_after) MP_log(tag, r.status);
        if (!MP_Global_Connected) return 0;
    }
}
