// mpx_standin.cpp - the MPExtended bridge's start-up and connection loop with a small test conversation.
#include <cstdio>

#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"

namespace {

char standin_buffer[4096 + 1];

// Appends what the server sent to received.txt in the working directory, for the test to read.
void keep(const char* text, int length) {
    FILE* f = fopen("received.txt", "ab");
    if (f == nullptr) return;
    fwrite(text, 1, (size_t)length, f);
    fclose(f);
}

}  // namespace

// Greets the server, keeps and publishes every message, and returns when the connection ends.
int MP_Process_incoming(const char* tag) {
    MP_TRACE("MP_Process_incoming");
    MP_Send("hello\r\n");
    for (;;) {
        int n = MP_recv(tag, standin_buffer, 4096);
        if (n <= 0) {
            MP_Global_Connected = 0;
            MP_log(tag, n == 0 ? "Connection closed" : "MP_recv Failed");
            return 0;
        }
        keep(standin_buffer, n);
        CommsPacket(0, "OK");
    }
}

// The bridge's own start-up and connection loop, with the conversation above.
int main() { MP_Extended_main(); }
