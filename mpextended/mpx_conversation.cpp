// mpx_conversation.cpp - the MPExtended bridge's conversation on a live connection (minimal for now).
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"

namespace {

// The receive capacity, and the buffer with one byte more for the terminator behind it.
constexpr int kReceiveCapacity = 65536;
char mpx_receive_buffer[kReceiveCapacity + 1];
char mpx_message[4096];

}  // namespace

// This conversation only listens: it receives whatever the server sends, publishes the table
// with "OK" after each message, and returns when the connection ends. It sends no request yet;
// the recordings poll replaces it as the bridge's conversation.
int MP_Process_incoming(const char* tag) {
    MP_TRACE("MP_Process_incoming");
    for (;;) {
        int n = MP_recv(tag, mpx_receive_buffer, kReceiveCapacity);
        if (n <= 0) {
            // Take the code before anything else can touch it.
            long code = (long)vp_net_error();
            MP_Global_Connected = 0;
            if (n < 0) {
                snprintf(mpx_message, sizeof mpx_message, "MP_recv Failed: Error at socket(): %ld", code);
                CommsPacket(0, mpx_message);
                MP_log(tag, mpx_message);
            } else {
                MP_log(tag, "Connection closed");
            }
            return 0;
        }
        mpx_receive_buffer[n] = '\0';
        if (n > kReceiveCapacity - 2) MP_errlog(tag, "Receive buffer overflow");
        MP_logf(3, tag, "Got a message (%d bytes) from MPExtended", n);
        CommsPacket(0, "OK");
    }
}
