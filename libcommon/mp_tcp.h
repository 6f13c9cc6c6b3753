// mp_tcp.h - the server connection: endless connect loop, whole-text send, chained receive.
#pragma once

#include "mp_limits.h"
#include "vp.h"

extern char MP_Global_IPAddress[28];
extern int MP_Global_Port;
extern vp_socket MP_Global_Socket;
extern int MP_Global_Connected;
// How long a send may wait for the server to take its bytes before the connection is given
// up (the same bound as the bridges' wait for an answer); in force: MP_Global_Limits.send_ms.
inline constexpr int MP_SEND_LIMIT_MS = MP_Limits{}.send_ms;

// Connects to MP_Global_IPAddress:MP_Global_Port, hands each live connection to
// MP_Process_incoming and reconnects 5 s after every attempt, for ever. Returns only when the
// socket library cannot be started, with its error code.
int TCP_Start(const char* tag);
// The rest of a bridge's life once its settings are read: the limits from the environment, the
// lines that close the start-up in the log, the publication block, then TCP_Start for ever
// (when the socket library cannot be started, it is tried again shortly).
[[noreturn]] void TCP_Run(const char* block, const char* tag);
// One connection attempt of TCP_Start without the pause behind it: 1 after a conversation,
// 0 when the connect failed, -1 when no socket could be made.
int TCP_Attempt(const char* tag);
// Replaces a host name by its first IPv4 address in dotted form. A text that already is a
// dotted address is left alone. host must have room for a dotted address (16 bytes).
void Ttcp_converthostname(const char* tag, char* host);
// Sends the whole text, within the send limit as a whole. Bytes sent; 0 when not connected; -1
// when sending failed, after which the connection is given up: MP_Global_Connected is 0, and
// MP_Send_failure holds the status line that says why, for the caller to publish with its table.
int MP_Send(const char* text);
// The status line of the last failed send of this connection ("MP_Send Failed: Error at
// send(): <code>"), or "" when none failed since the connection was made.
const char* MP_Send_failure();
// Receives into buffer, which must hold capacity + 1 bytes: the text is always terminated at
// position capacity. The first read waits for the server; after it, only what has already
// arrived is taken. Bytes received; 0 when the server closed; -1 on a receive error, or when
// there is no room (capacity 0 or less), in which case nothing is read or written.
int MP_recv(const char* tag, char* buffer, int capacity);

// Defined by each program: the conversation on one established connection.
int MP_Process_incoming(const char* tag);
