// wifisim.h - the remote-control plug-in simulator: its options, journal, replies and sessions.
#pragma once

#include "vp.h"

// What the simulator does, from its command words.
struct SimOptions {
    int port = 8017;
    const char* port_file = nullptr;
    char auth[8] = "0";  // the text written after "AuthMethod": in the welcome
    char user[512] = "Guest";
    char password[256] = "mabrotex";
    char passcode[64] = "4826";
    const char* welcome_file = nullptr;
    const char* extra_file = nullptr;
    const char* journal = nullptr;
    const char* raw = nullptr;
    int auth_delay_ms = 0;
    int chatter_ms = 2000;  // the plug-in sends unasked status messages while it plays; 0: never
    int split_ms = -1;  // pause between the two halves of every message; -1: no splitting
    bool glue = false;
    bool lead_crlf = false;
    bool garbage = false;
    int close_after = 0;  // close the first connection after this many messages sent; 0: never
    int exact_bytes = 0;  // answer the first properties request with a message of this size; 0: off
    bool stop_reading = false;  // once authenticated, the first connection is read no more
    int quiet_ms = 0;  // once the first connection has its properties reply, say nothing this long
};
extern SimOptions sim;

// Milliseconds since the simulator started.
long long sim_ms();
// One journal line: time, event word and text; written and flushed at once.
void sim_journal(const char* event, const char* text);
// Appends received bytes to the raw file.
void sim_raw(const char* data, int len);
// Reads the credential keys of a bridge settings file into the options. Returns false when
// the file cannot be read.
bool sim_read_credentials(const char* path);

// Message texts, without line ends, into out (size bytes).
void sim_welcome(char* out, int size);
void sim_status(char* out, int size);
void sim_nowplaying(char* out, int size);
// The reply to a properties request: one Tag/Value pair per requested name.
void sim_properties_reply(const char* request, char* out, int size);
// The same reply grown by a "Filler" member to exactly bytes bytes with its line end (CR LF,
// which out does not hold). Returns false, with the plain reply in out, when it is longer.
bool sim_properties_reply_of(const char* request, int bytes, char* out, int size);
// Whether an identify message carries the credentials that the AuthMethod asks for.
bool sim_identify_ok(const char* identify);
// The value of the first "Type" member of a message, into out; "" when it has none.
void sim_type_of(const char* message, char* out, int size);

// How long nobody should listen after the last connection, as chaos drew it (0: listen on);
// reading it clears it.
long sim_take_refusal();
// Serves one accepted connection until it ends.
void sim_session(vp_socket s, int number);
