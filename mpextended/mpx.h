// mpx.h - the MPExtended bridge: its settings, its start-up and its main routine.
#pragma once

#include "vp.h"

// Settings of this bridge beside the common ones (mp_log.h, mp_tcp.h).
extern char MP_Global_mUserName[256];
extern char MP_Global_mPassword[256];
extern int MP_Global_mWait;  // seconds between polls, 0 to MPX_WAIT_MAX

inline constexpr int MPX_DEFAULT_PORT = 4322;
inline constexpr int MPX_DEFAULT_WAIT = 10;
// The pause is multiplied by 1,000 for a sleep in milliseconds; a day keeps that far from any
// overflow and is longer than any sensible poll interval.
inline constexpr int MPX_WAIT_MAX = 86400;
inline constexpr char MPX_DEFAULT_USERNAME[] = "admin";
inline constexpr char MPX_DEFAULT_PASSWORD[] = "vstrl";
inline constexpr char MPX_CFG_PATH[] = VP_PLUGINS "MP.cfg";
inline constexpr char MPX_BLOCK_NAME[] = "Vistrel_MPExtended";
inline constexpr char MPX_CONNECTION_TAG[] = "TCP[MPEx]:";

// Sets the process-wide defaults and empties the tag table; only the first call does so.
void MP_init_globals();
// The work of MP_init_globals without its once-only guard: every default set afresh.
void MP_Extended_defaults();
// Reads plugins/MP.cfg, stores the four summary tags and logs the settings in force. The
// argument is not used.
int MP_read_cfg_file(int unused);
// Start-up up to the publication block: trace, crash report, defaults, log, settings, block.
void MP_Extended_startup();
// The program: start-up, then the connection loop for ever.
[[noreturn]] void MP_Extended_main();

// ---------------------------------------------------------------------------------------------
// The recordings poll on one live connection.

// The receive buffer of the poll and the channel reader's own buffer, each with one byte more
// for the terminator behind it.
inline constexpr int MPX_RECEIVE_CAPACITY = 65536;
inline constexpr int MPX_CHANNEL_CAPACITY = 4096;
// Recording objects taken from one response; the next one ends the processing.
inline constexpr int MPX_RECORDING_LIMIT = 98;
// An elapsed time above this (12 hours), or below 0, is shown as 0.
inline constexpr int MPX_ELAPSED_LIMIT = 43200;
// "Recording%d.IsRecording" is cleared up to this slot.
inline constexpr int MPX_CLEARED_SLOTS = 9;
// How long any single wait for the service may last: the first bytes of an answer, each
// further piece, and each channel answer. The service answers within a fraction of a second;
// an answer later than the default poll interval means the display is already a whole cycle
// behind, and a connection that has gone quiet that long is dropped and made afresh.
inline constexpr int MPX_ANSWER_LIMIT_MS = 10000;
// The limit in force; tests shorten it.
extern int MP_Global_mAnswerLimitMs;

// Composes and sends the recordings request and the channel request for an id. The result is
// that of MP_Send: bytes sent, 0 when not connected, -1 when sending failed. The tag is not used.
int MP_Extended_request_recordings(const char* tag);
int MP_Extended_request_channel(const char* tag, int id);
// Composes a request into out (at least 4,096 bytes) without sending it: the recordings
// request, or the channel request for id when channel is non-zero. Returns its length.
int MP_Extended_compose_request(char* out, int size, int channel, int id);

// The body of a response as the framing found it: the bytes received, the body's length and
// where it starts (the last length bytes of those received).
struct MpxFrame {
    int received;
    int length;
    int body;
};
// Finds the body of the response in buf (n bytes received so far, terminated, room its
// capacity) by its Content-Length, receiving the missing pieces of its header and body behind
// the first; stray bytes ahead of the status line are passed over. Returns 1
// with the frame; 0 when the response has no usable length (logged; the connection stays); -1
// when the connection has ended, failed or been given up (logged; MP_Global_Connected is 0).
int MP_Extended_frame(const char* tag, char* buf, int n, int room, int channel, MpxFrame* frame);

// Turns the response in buf (n bytes received so far) into the recording tags, receiving its
// missing pieces and asking for unknown channel names on the same connection.
int MP_Extended_process_recordings(const char* tag, char* buf, int n);
// Reads the answer to a channel request just sent and keeps it as Channel<id>.* tags. Runs
// inside the tag lock that the recording derivation holds.
int MP_Extended_process_channel(const char* tag, int id);
// One received response, start to end: the overflow check, its processing and the
// publication of the table with "OK". n is the count that MP_recv returned (above 0).
void MP_Extended_handle_response(const char* tag, char* buf, int n);
// The poll loop on one live connection; returns when the connection has ended.
int MP_Extended_poll(const char* tag);
