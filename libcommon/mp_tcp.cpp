// mp_tcp.cpp - the server connection: endless connect loop, host lookup, whole-text send, chained receive.
#include "mp_tcp.h"

#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_text.h"

char MP_Global_IPAddress[28];
int MP_Global_Port;
vp_socket MP_Global_Socket = VP_INVALID_SOCKET;
int MP_Global_Connected;

namespace {

// The first read of a receive asks for at most this much.
constexpr int kReadChunk = 4096;
// The one-line copy of a sent text: 4,107 characters and the terminator.
constexpr int kSendCopySize = 4108;

// Room for the status and error texts that the connect loop forms.
char tcp_message[256];
// The status line of the last failed send of this connection.
char send_failure[64];
// The sent text with its line feeds turned into blanks, for the second log line of MP_Send.
char send_copy[kSendCopySize];

// Closes the current socket and marks the connection as gone.
void tcp_drop_socket() {
    MP_Global_Connected = 0;
    if (MP_Global_Socket != VP_INVALID_SOCKET) vp_close_socket(MP_Global_Socket);
    MP_Global_Socket = VP_INVALID_SOCKET;
}

}  // namespace

void Ttcp_converthostname(const char* tag, char* host) {
    MP_TRACE("Ttcp_converthostname");
    if (host == nullptr) return;
    // Only a dotted address is taken as it stands. A name with dots in it ("htpc.lan") is a
    // fully qualified name and is looked up like any other name.
    if (MP_is_dotted_address(host)) return;

    char dotted[64];
    int count = 0;
    int rc = vp_resolve(host, dotted, sizeof dotted, &count);
    if (rc == -1) {
        MP_errlogf(tag, "gethostbyname Failed: %ld", (long)vp_net_error());
        return;
    }
    if (rc == -2) {
        MP_errlog(tag, "Hostname is not an INET host");
        return;
    }
    if (rc != 0 || count < 1) return;
    // A dotted IPv4 address is at most 15 characters; anything longer is no address.
    size_t len = strnlen(dotted, sizeof dotted);
    if (len == 0 || len > 15) return;
    memcpy(host, dotted, len + 1);
    char line[64];
    snprintf(line, sizeof line, "\tIP Address #%d: %s", 1, host);
    MP_log(tag, line);
}

int TCP_Attempt(const char* tag) {
    MP_TRACE("TCP_Attempt");
    MP_Global_Socket = VP_INVALID_SOCKET;
    MP_Global_Connected = 0;
    send_failure[0] = '\0';

    vp_socket s = vp_tcp_socket();
    if (s == VP_INVALID_SOCKET) {
        MP_errlogf(tag, "Error at socket(): %ld", (long)vp_net_error());
        return -1;
    }
    MP_Global_Socket = s;

    Ttcp_converthostname(tag, MP_Global_IPAddress);
    uint32_t addr = vp_inet_addr(MP_Global_IPAddress);
    // The port is a 16-bit number on the wire, as the network byte order conversion takes it.
    int port = MP_Global_Port & 0xFFFF;

    // The address comes from the settings file: its control characters are shown escaped.
    char shown[4 * sizeof MP_Global_IPAddress + 1];
    MP_escape_untrusted(shown, sizeof shown, MP_Global_IPAddress,
                        strnlen(MP_Global_IPAddress, sizeof MP_Global_IPAddress), nullptr);
    MP_logf(2, "Connecting......", " at %s/%d", shown, MP_Global_Port);
    CommsPacket(0, "Connecting.....");

    if (vp_connect(s, addr, port) != 0) {
        long code = (long)vp_net_error();
        snprintf(tcp_message, sizeof tcp_message, "Connect Failed: Error at connect(): %ld", code);
        CommsPacket(0, tcp_message);
        // A refused or timed-out connect is the normal state while the server is down; it
        // shows in the status text only, so that the log does not fill up every 5 s.
        if (code != VP_WSAETIMEDOUT && code != VP_WSAECONNREFUSED) MP_errlog(tag, tcp_message);
        tcp_drop_socket();
        return 0;
    }

    // A server that stops reading must not hold the bridge in a send for good.
    if (vp_set_send_timeout(s, MP_Global_Limits.send_ms) != 0)
        MP_errlogf(tag, "Cannot bound the sends: %d", vp_net_error());
    MP_Global_Connected = 1;
    MP_logl(3, tag, "Connection Established");
    MP_Process_incoming(tag);
    tcp_drop_socket();
    return 1;
}

int TCP_Start(const char* tag) {
    MP_TRACE("TCP_Start");
    MP_logl(3, "Tcp started:", tag);

    int rc = vp_net_start();
    if (rc != 0) {
        MP_errlogf(tag, "WSAStartup failed: %d", rc);
        return rc;
    }
    for (;;) {
        TCP_Attempt(tag);
        MP_Global_Connected = 0;
        vp_sleep_ms(static_cast<unsigned>(MP_Global_Limits.reconnect_pause_ms));
    }
}

void TCP_Run(const char* block, const char* tag) {
    MP_limits_from_environment();
    // The rule line that closes the start-up in the log: label and text alike, 64 characters.
    constexpr char kRule[] = "================================================================";
    static_assert(sizeof kRule - 1 == 64);
    MP_logl(3, "VistrelInit", "Complete");
    MP_logl(3, kRule, kRule);
    MP_publish_start(block);
    for (;;) {
        TCP_Start(tag);
        vp_sleep_ms(1000);
    }
}

int MP_Send(const char* text) {
    MP_TRACE("MP_Send");
    if (MP_Global_Connected == 0) return 0;
    if (text == nullptr) text = "";

    // What a bridge sends carries its credentials (the Basic authorization, the identify
    // message): its lines are written at debug level 3 only and never kept for an error.
    MP_log_secret("MP_Send:", text);

    // A blocking socket may still take a long text in parts: send on until all of it is gone,
    // within the send limit as a whole. Each send waits at most for what is left of the limit,
    // so that a server that takes a few bytes at a time cannot stretch it.
    size_t length = strlen(text);
    if (length > 0x7FFFFFFF) length = 0x7FFFFFFF;
    int total = (int)length;
    int sent = 0;
    double started = vp_process_seconds();
    bool shortened = false;
    long code = 0;
    while (sent < total) {
        if (sent > 0) {
            double left_ms = MP_Global_Limits.send_ms - (vp_process_seconds() - started) * 1000.0;
            if (left_ms <= 0) {
                code = VP_WSAETIMEDOUT;
                break;
            }
            // A bound below a millisecond would read as none at all.
            vp_set_send_timeout(MP_Global_Socket, left_ms < 1 ? 1 : (int)left_ms);
            shortened = true;
        }
        int n = vp_send(MP_Global_Socket, text + sent, total - sent);
        if (n <= 0) {
            code = (long)vp_net_error();
            break;
        }
        sent += n;
    }
    if (shortened) vp_set_send_timeout(MP_Global_Socket, MP_Global_Limits.send_ms);
    if (sent < total) {
        MP_errlogf("MP_Send failed:", "Unable to send to server: %ld", code);
        // The rest of the text cannot follow later in its place, so the connection is given
        // up; the conversation sees MP_Global_Connected cleared and ends, and publishes the
        // status that says why with its table.
        MP_Global_Connected = 0;
        if (code == VP_WSAETIMEDOUT)
            MP_errlogf("MP_Send failed:", "The server took nothing for %d ms; the connection is given up",
                       MP_Global_Limits.send_ms);
        snprintf(send_failure, sizeof send_failure, "MP_Send Failed: Error at send(): %ld", code);
        return -1;
    }

    // The second log line shows the request on one line: line feeds become blanks, carriage
    // returns stay. A text longer than the copy is shown cut; it was sent whole.
    int i = 0;
    for (; i < kSendCopySize - 1 && text[i] != '\0'; i++) send_copy[i] = text[i] == '\n' ? ' ' : text[i];
    send_copy[i] = '\0';
    MP_log_secret("MP_Send:", send_copy);
    return sent;
}

const char* MP_Send_failure() { return send_failure; }

int MP_recv(const char* tag, char* buffer, int capacity) {
    MP_TRACE("MP_recv");
    // With no room there is nothing to read into. Returning 0 would tell the caller that the
    // server closed, so this is a receive error of its own: the caller ends the conversation
    // and the reconnect starts the stream afresh, leaving no half-read reply behind.
    if (buffer == nullptr || capacity <= 0) {
        MP_errlogf(tag, "MP_recv: no room to receive into (capacity %d)", capacity);
        return -1;
    }
    memset(buffer, 0, (size_t)capacity);

    int want = capacity < kReadChunk ? capacity : kReadChunk;
    int first = vp_recv(MP_Global_Socket, buffer, want);
    int total = first;
    if (first > 0) {
        // Whatever else has already arrived is taken too, but nothing is waited for: a message
        // whose size happens to fill the reads exactly must be handed on as soon as it is
        // here, not when the server next sends something. A close or a failure seen here
        // shows on the next call; what lies beyond the capacity stays for the next call.
        while (total < capacity && vp_wait_readable(MP_Global_Socket, 0) == 1) {
            int n = vp_recv(MP_Global_Socket, buffer + total, capacity - total);
            if (n <= 0) break;
            total += n;
        }
        buffer[capacity] = '\0';
    }

    MP_logf(3, tag, "MP_Recv:%d bytes recvd", total);
    // The server's bytes, escaped: they go to a console and into the log.
    MP_log_untrusted(3, tag, buffer, total > 0 ? (size_t)total : 0);
    return total;
}
