// fuzz_wfr_decode.cpp - libFuzzer target: the WifiRemote bridge's block decoding over any bytes.
//
// The input is a run of received blocks separated by zero bytes, handled one after the other as
// the receive loop hands them over, so that lines are cut and carried across blocks. A leading
// "FILL" makes the first block fill the whole receive buffer (its text followed by plain
// letters, so that flattening the long line stays cheap), which reaches the handling of lines
// longer than the buffer. A leading "ENC" and a digit (0 Raw, 1 Windows-1252, 2 ASCII, 3 UTF-8)
// names the text encoding; without it the blocks are decoded in Raw.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_checks.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "wfr.h"

int MP_Process_incoming(const char*) { return 0; }

namespace {

// Receives one block into the receive buffer and hands it over, as the receive loop does.
void receive(const uint8_t* data, size_t len, bool fill) {
    int room = 0;
    char* block = MP_WifiRemote_receive_room(&room);
    size_t space = static_cast<size_t>(room);
    if (len > space) len = space;
    size_t n = len;
    memcpy(block, data, len);
    if (fill) {
        for (; n < space; n++) block[n] = 'x';
    }
    char why[256];
    MP_WifiRemote_received("Fuzz:", static_cast<int>(n), why, sizeof why);
    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MP_init_globals();
    // Error lines are written (to nowhere) without the held-back lines that debug level 0 adds.
    MP_Global_Debug = 1;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "/dev/null");
    MP_open_log();
    // Not connected: the identify and properties messages are built but not sent.
    MP_Global_Connected = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MP_WifiRemote_Decode_reset();
    MP_Global_TextEncoding = MP_TEXT_RAW;
    if (size >= 4 && memcmp(data, "ENC", 3) == 0 && data[3] >= '0' && data[3] <= '3') {
        MP_Global_TextEncoding = data[3] - '0';
        data += 4;
        size -= 4;
        // The texts that an earlier input left in another encoding are no concern of this one.
        MP_Numtags = 0;
        MP_Clear_tags();
    }
    // A buffer-filling block costs far more than an ordinary one, so only a deliberate marker
    // asks for it and the run's time goes mostly to ordinary blocks.
    bool fill = size >= 4 && memcmp(data, "FILL", 4) == 0;
    if (fill) {
        data += 4;
        size -= 4;
    }
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i < size && data[i] != 0) continue;
        receive(data + start, i - start, fill);
        fill = false;
        start = i + 1;
    }
    fuzz_check_table();
    fuzz_check_texts(MP_Global_TextEncoding);
    if (MP_Numtags >= MP_MAXTAGS) {
        MP_Numtags = 0;
        MP_Clear_tags();
    }
    return 0;
}
