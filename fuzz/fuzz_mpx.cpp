// fuzz_mpx.cpp - libFuzzer target: the MPExtended bridge's poll over any bytes that a server sends.
//
// The input is the whole stream that the service sends on one connection: recordings answers,
// their later pieces and channel answers, in any order and cut anywhere. The bridge's own
// poll reads it through a socket pair whose far end a writer thread fills with the stream and
// then closes, so that framing, the recording scan, the derivation and the channel look-ups
// all run over the real tag table until the stream ends.
//
// An input that begins with "GROW" stands for a list far larger than the receive buffer: two
// parameter bytes, then the text of one list element, which is repeated into a list of up to
// 4,096 elements behind a header that names its length. Its objects are then cut by the
// buffer's end at every place the sizes bring, the rest of the list is read by count, and the
// answer can be made an exact multiple of 4,096 bytes, or claim one byte more than it sends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_checks.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"

namespace {

// A raw stream larger than this teaches nothing that a grown one does not.
constexpr size_t kMaxInput = 100000;
// A grown list stops at this size.
constexpr size_t kMaxGrown = 3 * 1024 * 1024;

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

// The stream of a grown input: the answer, and a second one behind it when asked for.
std::string grown(const uint8_t* data, size_t size) {
    if (size < 6) return std::string();
    unsigned count = 1u + (data[4] | (data[5] & 0x0Fu) << 8);
    bool pad = data[5] & 0x10;
    bool lie = data[5] & 0x20;
    bool twice = data[5] & 0x40;
    std::string element(reinterpret_cast<const char*>(data + 6), size - 6);
    std::string body = "[";
    for (unsigned i = 0; i < count && body.size() + element.size() < kMaxGrown; i++) {
        if (i) body += ',';
        body += element;
    }
    body += ']';
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size() + (lie ? 1 : 0)) + "\r\n";
    if (pad) {
        // A filler header makes the whole answer a multiple of 4,096 bytes.
        size_t bare = head.size() + 8 + 2 + body.size();
        head += "X-Pad: " + std::string((4096 - bare % 4096) % 4096, 'p') + "\r\n";
    }
    std::string answer = head + "\r\n" + body;
    return twice ? answer + answer : answer;
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
    MP_Global_Limits.answer_ms = 50;
    vp_net_start();
    seed_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stream;
    if (size >= 4 && memcmp(data, "GROW", 4) == 0)
        stream = grown(data, size);
    else
        stream.assign(reinterpret_cast<const char*>(data), size < kMaxInput ? size : kMaxInput);

    int fds[2];
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    // The stream is written while the poll reads it, as a service sends an answer larger than
    // any buffer on the way; a poll that gives up early ends the writing with its close.
    std::thread writer([&] {
        size_t written = 0;
        while (written < stream.size()) {
            ssize_t n = send(fds[1], stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        shutdown(fds[1], SHUT_WR);
    });

    MP_Global_Socket = fds[0];
    MP_Global_Connected = 1;
    MP_Extended_poll("Fuzz:");
    fuzz_check(MP_Global_Connected == 0, "the poll returned on a live connection");
    close(fds[0]);
    writer.join();
    close(fds[1]);
    MP_Global_Socket = VP_INVALID_SOCKET;

    check_table();
    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
    // The table keeps its entries once full; start over so that new names are stored again.
    if (MP_Numtags >= MP_MAXTAGS - 200) seed_table();
    return 0;
}
