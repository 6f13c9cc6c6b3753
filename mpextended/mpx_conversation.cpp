// mpx_conversation.cpp - the MPExtended bridge's conversation on a live connection: the recordings poll.
#include "mp_log.h"
#include "mp_tcp.h"
#include "mpx.h"

// Called by the connection loop for each established connection; returns when it has ended.
int MP_Process_incoming(const char* tag) {
    MP_TRACE("MP_Process_incoming");
    return MP_Extended_poll(tag);
}
