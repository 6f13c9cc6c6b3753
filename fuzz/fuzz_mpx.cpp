// fuzz_mpx.cpp - libFuzzer target: the MPExtended bridge's poll over any bytes that a server sends.
//
// The input is the whole stream that the service sends on one connection: recordings answers,
// their later pieces and channel answers, in any order and cut anywhere. The bridge's own
// poll reads it through a socket pair whose far end holds the input and is then closed, so
// that framing, the recording scan, the derivation and the channel look-ups all run over the
// real tag table until the stream ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_checks.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"

namespace {

// Larger inputs would not fit the socket pair's buffer in one write.
constexpr size_t kMaxInput = 100000;

void seed_table() {
    MP_Numtags = 0;
    MP_Clear_tags();
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("NRecordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
}

// The four summary tags stay first, ahead of everything the poll stores.
void check_table() {
    fuzz_check_table(4);
    fuzz_check(strcmp(MP_Tags[1].name, "IsRecording") == 0, "the first tag moved");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MP_Extended_defaults();
    // Error lines are written (to nowhere) without the write-out of held-back lines that
    // debug level 0 adds to each.
    MP_Global_Debug = 1;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "/dev/null");
    MP_open_log();
    MP_Global_mWait = 0;
    MP_Global_mAnswerLimitMs = 50;
    vp_net_start();
    seed_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    int fds[2];
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    int buffer = 4 * static_cast<int>(kMaxInput);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(fds[1], data + written, size - written);
        fuzz_check(n > 0, "the input did not fit the socket pair");
        written += static_cast<size_t>(n);
    }
    close(fds[1]);

    MP_Global_Socket = fds[0];
    MP_Global_Connected = 1;
    MP_Extended_poll("Fuzz:");
    fuzz_check(MP_Global_Connected == 0, "the poll returned on a live connection");
    close(fds[0]);
    MP_Global_Socket = VP_INVALID_SOCKET;

    check_table();
    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
    // The table keeps its entries once full; start over so that new names are stored again.
    if (MP_Numtags >= MP_MAXTAGS - 200) seed_table();
    return 0;
}
