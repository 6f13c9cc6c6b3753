// wfr.h - the WifiRemote bridge: its settings, properties requests, decoding and start-up.
#pragma once

#include "mp_encoding.h"
#include "mp_limits.h"
#include "vp.h"

// Settings of this bridge beside the common ones (mp_log.h, mp_tcp.h).
extern char MP_Global_wPasscode[16];
extern char MP_Global_wUserName[512];
extern char MP_Global_wPassword[256];
// The two properties requests, complete messages ready to send once the file has been read.
inline constexpr int WFR_REQUEST_SIZE = 4096;
extern char MP_Global_wRequest1[WFR_REQUEST_SIZE];
extern char MP_Global_wRequest2[WFR_REQUEST_SIZE];
// Connection state that outlives a connection: set on the first authenticationresponse, and
// the process time (seconds) at which the periodic requests last fell due.
extern int MP_Global_wAuthenticated;
extern double MP_Global_wPollMark;
extern int MP_Global_wPollStarted;

inline constexpr int WFR_DEFAULT_PORT = 8017;
inline constexpr char WFR_DEFAULT_PASSCODE[] = "4826";
inline constexpr char WFR_DEFAULT_USERNAME[] = "Guest";
inline constexpr char WFR_DEFAULT_PASSWORD[] = "mabrotex";
inline constexpr char WFR_CFG_PATH[] = VP_PLUGINS "MP.cfg";
inline constexpr char WFR_BLOCK_NAME[] = "Vistrel_WIFIRemote";
inline constexpr char WFR_CONNECTION_TAG[] = "TCP[Wifi]:";
// A properties request grows into the first request while that is this long or shorter; the
// second is sent only when the first has grown past it.
inline constexpr int WFR_FIRST_REQUEST_LIMIT = 500;
// "Properties." and the name must fit a tag name of 63 characters.
inline constexpr int WFR_PROPERTY_NAME_MAX = 52;
// One received block, and the longest line that is kept whole.
inline constexpr int WFR_RECEIVE_CAPACITY = 65536;
inline constexpr int WFR_TYPE_MAX = 4095;
inline constexpr int WFR_IDENTIFY_SIZE = 4108;
// Between two rounds of status requests; in force: MP_Global_Limits.poll_ms.
inline constexpr int WFR_POLL_SECONDS = MP_Limits{}.poll_ms / 1000;
// The receive loop waits in slices of this length, so that the periodic requests go out on
// time while the plug-in is quiet, and gives the connection up after this much silence.
inline constexpr int WFR_WAIT_SLICE_MS = 1000;
inline constexpr int WFR_SILENCE_LIMIT_MS = MP_Limits{}.silence_ms;  // in force: MP_Global_Limits
inline constexpr char WFR_REQUEST_STATUS[] = "{\"Type\":\"requeststatus\"}\r\n\r\n";
inline constexpr char WFR_REQUEST_NOWPLAYING[] = "{\"Type\":\"requestnowplaying\"}\r\n\r\n";

// Sets the process-wide defaults and empties the tag table; only the first call does so.
void MP_init_globals();
// The work of MP_init_globals without its once-only guard: every default set afresh.
void MP_WifiRemote_defaults();
// Reads plugins/MP.cfg, builds the properties requests, seeds the tags (the Properties. tags
// only when seed is 1) and logs the settings in force.
int MP_read_cfg_file(int seed);

// The periodic requests, run before every receive: requeststatus and requestnowplaying once
// authenticated, when at least 5 whole seconds have passed since they last fell due.
void MP_poll_requests();
// MP_poll_requests at a given process time, in seconds.
void MP_poll_requests_at(double now);

// What decoding a block came to: the conversation goes on, or the bridge cannot answer a message
// and gives the connection up, with the reason (the status line to publish) in the caller's
// buffer why of size bytes. The decoder publishes nothing and leaves the connection to the
// conversation.
enum : int { WFR_GO_ON = 0, WFR_GIVE_UP = 1 };

// Handles one received block: every complete line is logged, flattened and acted on by its
// Type. A last line without its line end that is not yet a complete object is kept and
// completed by the next block. After a message that gives the connection up, the rest of the
// block is not decoded.
int MP_WifiRemote_Decode(const char* prefix, const char* text, char* why, size_t size);
// The same for a block cleaned of multi-byte characters, whose tokens' characters points holds
// (in the readable text encodings; Raw never reads it).
int MP_WifiRemote_Decode_points(const char* prefix, const char* text, const MP_TextPoint* points, char* why,
                                size_t size);
// Forgets a kept incomplete line and carried bytes; a new connection starts with a clean stream.
void MP_WifiRemote_Decode_reset();

// Where the next block is received, and its room in bytes: the receive buffer behind the bytes
// of a character that the last block cut off.
char* MP_WifiRemote_receive_room(int* room);
// Takes the n bytes just received into the room: cleans them, with the bytes carried before
// them, of multi-byte characters (each one blank in Raw, one token in the readable encodings),
// carries a character that their end cuts to the next block, and decodes the rest. The same
// bytes give the same tags however the network splits them into blocks.
int MP_WifiRemote_received(const char* prefix, int n, char* why, size_t size);
// Forgets the carried bytes (MP_WifiRemote_Decode_reset does so too).
void MP_WifiRemote_receive_reset();
// Acts on one message: type is its Type value, rest the line after the value's closing quote.
// Returns WFR_GO_ON, or WFR_GIVE_UP with why set (a welcome whose identify would be too long).
int MP_WififRemote_Decode_Message(const char* type, const char* rest, char* why, size_t size);
// Builds the identify message for an AuthMethod character ('0' to '3') into out (size bytes),
// with the values escaped for JSON. Returns its length; -1 for another character; or
// WFR_IDENTIFY_TOO_LONG when the message would not fit whole, with out left empty and
// *too_long (when given) naming the value that did not fit: its settings key, or "The
// computer name". A message is never built cut.
inline constexpr int WFR_IDENTIFY_TOO_LONG = -2;
int MP_WifiRemote_identify(char method, const char* computer, char* out, int size,
                           const char** too_long = nullptr);

// Registers the password and the passcode of the settings in force with the log, in place of
// any registered before, as they are and as the identify message carries them, so that no line
// below Debug=3 shows them, also where the plug-in sends them back. Returns 0, or -1 (logged)
// when one of them could not be kept.
int MP_WifiRemote_register_secrets();

// The program: start-up (trace, crash report, defaults, log, settings, block), then the
// connection loop for ever.
[[noreturn]] void MP_WifiRemote_main();
