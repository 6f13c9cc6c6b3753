// mpx.h - the MPExtended bridge: its settings, its start-up and its main routine.
#pragma once

#include "mp_limits.h"
#include "mp_log.h"
#include "mp_tags.h"
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
// Registers the credentials of the settings in force with the log, in place of any registered
// before: the password, "user:password" and its base64 form as the Authorization line carries
// it, so that no line below Debug=3 shows them, also where the service sends them back. Returns
// 0, or -1 (logged) when one of them could not be kept.
int MP_Extended_register_secrets();
// The program: start-up (trace, crash report, defaults, log, settings, block), then the
// connection loop for ever.
[[noreturn]] void MP_Extended_main();

// ---------------------------------------------------------------------------------------------
// The recordings poll on one live connection.

// The receive buffer of the poll and the channel reader's own buffer, each with one byte more
// for the terminator behind it. An answer of any size passes through them: the recordings list
// a window at a time, a channel answer whole or, when it does not fit, read and dropped.
inline constexpr int MPX_RECEIVE_CAPACITY = 65536;
inline constexpr int MPX_CHANNEL_CAPACITY = 4096;
// Recording objects taken from one answer, from its head: the list comes newest first, so the
// recordings in progress lead it. The rest of the list is read and dropped.
inline constexpr int MPX_RECORDING_LIMIT = 98;
// An elapsed time above this (12 hours), or below 0, is shown as 0.
inline constexpr int MPX_ELAPSED_LIMIT = 43200;
// "Recording%d.IsRecording" is cleared up to this slot at least, and beyond it as far as slots
// have ever been written.
inline constexpr int MPX_CLEARED_SLOTS = 9;
// How long any single wait for the service may last: the first bytes of an answer, each
// further piece, and each channel answer. The service answers within a fraction of a second;
// an answer later than the default poll interval means the display is already a whole cycle
// behind, and a connection that has gone quiet that long is dropped and made afresh.
inline constexpr int MPX_ANSWER_LIMIT_MS = MP_Limits{}.answer_ms;  // in force: MP_Global_Limits
// How long a whole answer may take, from its first bytes to its last, waits included. Each
// wait is bounded by the answer limit, but a service that sends a byte every few seconds of a
// long announced length would hold the bridge for good; the largest libraries arrive in well
// under a second.
inline constexpr int MPX_WHOLE_ANSWER_LIMIT_MS = MP_Limits{}.whole_answer_ms;  // in force: MP_Global_Limits
// The time (seconds since 1970) that the derivation takes as now; 0, the default, is the
// clock's. Tests fix it, so that elapsed times at their limits do not depend on when they run.
extern long long MP_Global_mFixedNow;

// Composes and sends the recordings request and the channel request for an id. The result is
// that of MP_Send: bytes sent, 0 when not connected, -1 when sending failed. The tag is not used.
int MP_Extended_request_recordings(const char* tag);
int MP_Extended_request_channel(const char* tag, int id);
// Composes a request into out (at least 4,096 bytes) without sending it: the recordings
// request, or the channel request for id when channel is non-zero. Returns its length.
int MP_Extended_compose_request(char* out, int size, int channel, int id);

// Gives the conversation up: MP_Global_Connected becomes 0, and the status line formed here is
// published in place of "OK" once the answer in hand has been dealt with. The first reason
// given for an answer is the one shown.
void MP_Extended_give_up(const char* format, ...) MP_PRINTF(1, 2);
// The reason given since the last poll began; "" while none was.
const char* MP_Extended_give_up_status();
// Gives the conversation up because the service closed the connection during an answer: the
// log then says "Connection closed" as the conversation ends.
void MP_Extended_give_up_on_close();

// An answer's body as it passes through a fixed buffer: the window buf[0, have) holds what the
// reader keeps of it, room bytes at most; `received` bytes of the body have arrived so far and
// `length` is the whole body's, by Content-Length. The reader may rewrite what it holds (the
// recordings scan cleans its text in place) and drop what it is done with.
struct MpxBody {
    char* buf;
    int room;
    int header;  // the bytes of the header that went ahead of the body
    int have;
    long long received;
    long long length;
    int channel;
    double deadline;  // process seconds by which the whole answer must have arrived
};
// Finds the header of the answer in buf (n bytes received so far, terminated, room its
// capacity), receiving its missing pieces; stray bytes ahead of the status line, and interim
// answers (100 Continue) ahead of the final one, are passed over. Opens the window on the body:
// what has come of it, moved to the buffer's start. Returns 1, or -1 when the conversation was
// given up (logged): the connection ended or failed, the answer took too long, the header never
// completed, or it names no usable length.
int MP_Extended_body_start(const char* tag, char* buf, int n, int room, int channel, MpxBody* b);
// Receives more of the body behind what the window holds, until the window is full or the body
// has arrived whole: never beyond the body's end, so that nothing of a later answer is taken.
// What the window holds afterwards depends on the bytes of the answer alone, never on how they
// were split into receives. Returns 1, or -1 when the conversation was given up.
int MP_Extended_body_fill(const char* tag, MpxBody* b);
// Drops the window's first n bytes.
void MP_Extended_body_drop(MpxBody* b, int n);
// The channel answer's first receive ended (received 0) or failed (-1): logged, and the
// conversation given up. Returns -1.
int MP_Extended_channel_lost(const char* tag, int received);
// Reads the rest of the body and drops it, so that the connection stays in step with the
// service. Returns 0, or -1 when the conversation was given up.
int MP_Extended_body_drain(const char* tag, MpxBody* b);

// One recording of the list as the derivation reads it: the members that it shows, as the table
// holds them once the recording is stored.
struct MpxRecording {
    bool in_progress;
    int channel;
    int start_time;  // seconds since 1970, from the dates
    int end_time;
    char channel_text[MP_TAG_TEXT_MAX + 1];
    char title[MP_TAG_TEXT_MAX + 1];
    char start[MP_TAG_TEXT_MAX + 1];
    char end[MP_TAG_TEXT_MAX + 1];
};
// The recordings of the answer in hand, 1 to MPX_RECORDING_LIMIT.
extern MpxRecording MP_Extended_recordings[MPX_RECORDING_LIMIT + 1];
// Stores the recording object that opens at text[*pos] as Rec<n> tags (n from 1 to the limit)
// and reads it into recording n; *pos moves on as MP_Parse_item moves it. Under the tag lock.
void MP_Extended_store_recording(const char* tag, int n, const char* text, int* pos);

// Turns the answer in buf (n bytes received so far) into the recording tags, reading the rest
// of it and asking for unknown channel names on the same connection.
int MP_Extended_process_recordings(const char* tag, char* buf, int n);
// What follows the Rec tags of recordings 1 to r: NRecordings, the tags of the recordings in
// progress with their channel names, the summary tags and the clearing of the slots above them.
// With count set nothing is stored or logged: the result is how many new table entries those
// stores would add. Otherwise the result is 0.
int MP_Extended_derive(const char* tag, int r, bool count);
// An empty list: not recording, and the slots above the last count cleared.
void MP_Extended_not_recording();
// Forgets what was said once per connection (an answer larger than the buffer, a list longer
// than the limit, a table too full for more Rec tags, a recording larger than the buffer); a new
// connection says it again.
void MP_Extended_recordings_reset();
// Asks for the name of each channel of recordings 1 to r in progress that neither the table nor
// an answer asked for earlier names, in list order, and keeps the answers for the derivation.
// Nothing is stored. Returns 0, or -1 when the conversation was given up.
int MP_Extended_ask_channels(const char* tag, int r);
// Starts a pass of the derivation over the answers kept: none of them has been taken yet.
void MP_Extended_channels_rewind();
// While neither the table nor an answer taken in this pass names channel id, takes the first
// answer kept for it that the pass has not taken: stores it as Channel<id>.* tags, or with
// count_name runs it dry and returns the names that count_name says are new.
int MP_Extended_take_channel(const char* tag, int id, bool (*count_name)(const char* name));
// One received answer, start to end: its processing and the publication of the table with
// "OK", or with the reason why the conversation was given up. n is the count that MP_recv
// returned (above 0).
void MP_Extended_handle_response(const char* tag, char* buf, int n);
// The poll loop on one live connection; returns when the connection has ended.
int MP_Extended_poll(const char* tag);
