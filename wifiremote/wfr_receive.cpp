// wfr_receive.cpp - received blocks cleaned of multi-byte characters, with a character that a
// block's end cuts carried over to the next block.
#include <cstring>

#include "mp_encoding.h"
#include "mp_log.h"
#include "wfr.h"

namespace {

// The block being received, behind the bytes carried from the last one, with one more byte for
// the terminator, and the characters of its tokens in the readable encodings.
char received[WFR_RECEIVE_CAPACITY + 1];
MP_TextPoint received_points[WFR_RECEIVE_CAPACITY + 1];
// The bytes of a character that the last block cut off; they open the next block.
int carried = 0;

}  // namespace

char* MP_WifiRemote_receive_room(int* room) {
    *room = WFR_RECEIVE_CAPACITY - carried;
    return received + carried;
}

int MP_WifiRemote_received(const char* prefix, int n, char* why, size_t size) {
    MP_TRACE("MP_WifiRemote_received");
    if (n < 0) n = 0;
    if (n > WFR_RECEIVE_CAPACITY - carried) n = WFR_RECEIVE_CAPACITY - carried;
    int held = 0;
    int cleaned = MP_text_clean(received, received_points, 0, carried + n, false, &held);
    // The plug-in sends a character's bytes in one piece of a message, but the network may
    // deliver them in two blocks: cleaned apart, they would be a blank and stray bytes.
    char rest[8];
    memcpy(rest, received + cleaned, static_cast<size_t>(held));
    received[cleaned] = '\0';
    int outcome = MP_WifiRemote_Decode_points(prefix, received, received_points, why, size);
    memcpy(received, rest, static_cast<size_t>(held));
    carried = held;
    return outcome;
}

void MP_WifiRemote_receive_reset() { carried = 0; }
