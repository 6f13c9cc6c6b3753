// mpx_poll.cpp - the recordings poll on one live connection: request, answer, status line, pause.
#include <cstdarg>
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"


namespace {

char receive_buffer[MPX_RECEIVE_CAPACITY + 1];
char message[4096];
// Why the conversation was given up during the answer in hand; "" while it goes on.
char give_up_status[MP_TAG_TEXT_MAX + 1];
// Whether it was given up because the service closed the connection.
bool closed_by_service = false;

// The pause between polls in milliseconds. The settings reader keeps the value within
// 0 .. MPX_WAIT_MAX; anything else set later is held to that range here as well.
unsigned pause_ms() {
    int wait = MP_Global_mWait;
    if (wait < 0) wait = 0;
    if (wait > MPX_WAIT_MAX) wait = MPX_WAIT_MAX;
    return static_cast<unsigned>(wait) * 1000u;
}

// The conversation was given up and its status line says why already; only a close by the
// service is a closed connection for the log.
int ended(const char* tag) {
    MP_Global_Connected = 0;
    if (closed_by_service) MP_log(tag, "Connection closed");
    return 0;
}

// A request that could not be sent has given the connection up: its status line is published
// here, where the poll's table is.
int request_failed(const char* tag) {
    CommsPacket(0, MP_Send_failure());
    return ended(tag);
}

}  // namespace

void MP_Extended_give_up(const char* format, ...) {
    MP_TRACE("MP_Extended_give_up");
    // The first reason given while the conversation went on is the one shown; a send that has
    // ended it already (MP_Send) gives none of its own.
    if (MP_Global_Connected || give_up_status[0] == '\0') {
        va_list args;
        va_start(args, format);
        if (vsnprintf(give_up_status, sizeof give_up_status, format, args) < 0 || give_up_status[0] == '\0')
            snprintf(give_up_status, sizeof give_up_status, "Connection given up");
        va_end(args);
    }
    MP_Global_Connected = 0;
}

const char* MP_Extended_give_up_status() { return give_up_status; }

void MP_Extended_give_up_on_close() {
    MP_TRACE("MP_Extended_give_up_on_close");
    if (MP_Global_Connected || give_up_status[0] == '\0') closed_by_service = true;
    MP_Extended_give_up("MP_recv Failed: Connection closed during an answer");
}

void MP_Extended_handle_response(const char* tag, char* buf, int n) {
    MP_TRACE("MP_Extended_handle_response");
    buf[n] = '\0';
    give_up_status[0] = '\0';
    closed_by_service = false;
    MP_logf(3, tag, "Got a message (%d bytes) from MPExtended", n);
    MP_Extended_process_recordings(tag, buf, n);
    // The table is published once per answer, here: with "OK" after every answer that the
    // conversation survived, whatever its processing made of it, and otherwise with the reason
    // why it was given up, never as success.
    const char* status = MP_Global_Connected ? "OK" : give_up_status[0] ? give_up_status : "Connection given up";
    CommsPacket(0, status);
}

int MP_Extended_poll(const char* tag) {
    MP_TRACE("MP_Extended_poll");
    MP_Extended_recordings_reset();
    closed_by_service = false;
    // Every wait for the service is bounded, so that a service that takes a request and never
    // answers cannot hold the bridge for good: the receive fails as timed out instead.
    if (vp_set_recv_timeout(MP_Global_Socket, MP_Global_Limits.answer_ms) != 0)
        MP_errlogf(tag, "Cannot bound the wait for answers: %d", vp_net_error());

    for (;;) {
        if (MP_Extended_request_recordings(tag) < 0) return request_failed(tag);
        if (!MP_Global_Connected) return ended(tag);
        int n = MP_recv(tag, receive_buffer, MPX_RECEIVE_CAPACITY);
        if (n <= 0) {
            // Taken before anything else can touch it.
            long code = static_cast<long>(vp_net_error());
            MP_Global_Connected = 0;
            if (n < 0) {
                snprintf(message, sizeof message, "MP_recv Failed: Error at socket(): %ld", code);
                CommsPacket(0, message);
                MP_log(tag, message);
                if (code == VP_WSAETIMEDOUT)
                    MP_errlogf(tag, "No answer from MPExtended for %d ms; reconnecting",
                               MP_Global_Limits.answer_ms);
            } else {
                MP_log(tag, "Connection closed");
            }
            return 0;
        }
        MP_Extended_handle_response(tag, receive_buffer, n);
        // The processing gave the connection up (it ended, failed, went quiet or sent an
        // answer that cannot be used): the socket may still hold the rest of an answer, which
        // must not be read as the next one, so this conversation ends here.
        if (!MP_Global_Connected) return ended(tag);
        vp_sleep_ms(pause_ms());
    }
}
