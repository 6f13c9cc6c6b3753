// fuzz_mpx_pieces.cpp - libFuzzer target: a recordings answer gives the same tags whole and in pieces, and those of a plain whole-text scan.
//
// The input is a recordings body (or, behind "GROW", one list element that is repeated into a
// list of up to 2 MB) and the seed of the pieces that the answer is cut into, whose top two bits
// choose the text encoding; every text stored must be one that the encoding may store. Each input is
// polled three times from the same table:
// - whole: the answer written at once, read as the system hands it over;
// - in pieces: the answer written a piece at a time, each piece only once the bridge has taken
//   everything before it, so that every receive ends at a cut of the seed's choosing;
// - by the scan written out below, straight from the description of the recordings scan, over
//   the whole body held at once: the body without its last byte, its multi-byte characters one
//   blank each, every "{" that opens a "Description" object flattened in turn, at most 98 of
//   them, and the derivation behind them.
// Every tag, byte for byte, and the status line must be the same in all three. The bridge holds
// no more than its buffer of an answer, so the plain scan is compared where a recording's
// flattening reads less than a buffer's worth of the text (a recording larger than the buffer
// ends the bridge's list), and where the table stays far from full (near a full one the bridge
// keeps room for the derived tags).
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_checks.h"
#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"

namespace {

constexpr size_t kMaxGrown = 2 * 1024 * 1024;
constexpr char kTag[] = "Fuzz:";

void seed_table() {
    MP_Numtags = 0;
    MP_Clear_tags();
    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("NRecordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");
    MP_put_tag("Channel1.DisplayName", MP_TYPE_TEXT, 0, "Das Erste");
}

// Every tag and the status line, as a reader of the block sees them.
std::string outcome() {
    std::string out(MP_Tags[0].string, strnlen(MP_Tags[0].string, sizeof MP_Tags[0].string));
    out += '\n';
    out.append(reinterpret_cast<const char*>(&MP_Tags[1]), static_cast<size_t>(MP_Numtags) * sizeof(MP_TagEntry));
    return out;
}

// A small, fixed generator of piece sizes.
struct Pieces {
    uint32_t state;
    size_t next() {
        state = state * 1103515245u + 12345u;
        uint32_t r = state >> 8;
        // Mostly small pieces, now and then a large one, sometimes a single byte.
        switch (r % 4) {
        case 0: return 1 + r % 3;
        case 1: return 1 + r % 64;
        case 2: return 1 + r % 5000;
        default: return 1 + r % 70000;
        }
    }
};

// One poll of the answer, written whole (seed 0) or in pieces, on a fresh connection whose far
// end closes once the answer is written: the bridge's next request, and any channel request,
// then meets the end of the stream.
void poll(const std::string& answer, uint32_t seed) {
    int fds[2];
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    std::thread writer([&] {
        Pieces pieces{seed};
        size_t written = 0;
        while (written < answer.size()) {
            size_t want = seed == 0 ? answer.size() - written : pieces.next();
            if (want > answer.size() - written) want = answer.size() - written;
            size_t done = 0;
            while (done < want) {
                ssize_t n = send(fds[1], answer.data() + written + done, want - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            if (done < want) break;
            written += want;
            if (seed == 0) continue;
            // The next piece only once the bridge has taken this one, or has let go.
            int queued = 1;
            while (ioctl(fds[0], FIONREAD, &queued) == 0 && queued > 0 && MP_Global_Connected) usleep(50);
        }
        shutdown(fds[1], SHUT_WR);
    });
    MP_Global_Socket = fds[0];
    MP_Global_Connected = 1;
    MP_Extended_poll(kTag);
    close(fds[0]);
    writer.join();
    close(fds[1]);
    MP_Global_Socket = VP_INVALID_SOCKET;
}

// The scan of the whole body as the recordings scan is described, for an answer that fits.
void remove_multibyte(std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0xC0) {
            out += text[i++];
            continue;
        }
        size_t n = c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : c < 0xFC ? 5 : 6;
        out += ' ';
        size_t k = 1;
        while (k < n && i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80) k++;
        i += k;
    }
    text.swap(out);
}

// The first "{" at or after p, a backslash hiding itself and the character behind it; -1 for none.
long find_brace(const std::string& t, size_t p) {
    for (; p < t.size(); p++) {
        if (t[p] == '\\') {
            if (p + 2 >= t.size()) return -1;
            p += 2;
        }
        if (t[p] == '{') return static_cast<long>(p);
    }
    return -1;
}

// How much of the text one recording's flattening may read for the bridge to take it as the
// plain scan does: well within the receive buffer, its header taken off.
constexpr long kWithinBuffer = MPX_RECEIVE_CAPACITY - 4096;

// Returns false when the answer is one that the bridge takes otherwise by design.
bool reference(const std::string& body) {
    int fds[2];
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socket pair");
    shutdown(fds[1], SHUT_WR);  // a channel request meets the end of the stream, as in a poll
    MP_Global_Socket = fds[0];
    MP_Global_Connected = 1;
    MP_Extended_recordings_reset();
    bool comparable = true;
    if (body.size() <= 2) {
        MP_Extended_not_recording();
    } else {
        // The list and what is derived from it are kept whole or not at all: a channel look-up
        // that ends the conversation takes them back.
        MP_tags_begin();
        std::string text = body.substr(0, body.size() - 1);
        text.resize(strlen(text.c_str()));
        remove_multibyte(text);
        int r = 0;
        long p = 0;
        char prefix[64];
        while (p >= 0 && static_cast<size_t>(p) < text.size()) {
            p = find_brace(text, static_cast<size_t>(p));
            if (p < 0 || r == 98) break;
            const char* brace = text.c_str() + p;
            if (brace[1] == '\0' || strncmp(brace + 2, "Description", 11) != 0) break;
            snprintf(prefix, sizeof prefix, "Rec%d", ++r);
            int prefix_len = static_cast<int>(strlen(prefix));
            int at = static_cast<int>(p);
            // A flattening that ends the scan, or reads to the text's end, may have read all of it.
            MP_ParseDryRun dry = MP_Parse_item_dry(prefix, prefix_len, text.c_str(), at, nullptr, nullptr);
            long reach = dry.ended || dry.reached_end ? static_cast<long>(text.size()) : dry.position;
            if (reach - p > kWithinBuffer) comparable = false;
            MP_lock();
            MP_Extended_store_recording(kTag, r, text.c_str(), &at);
            MP_unlock();
            p = at;
        }
        // The channel names are asked for, as a poll asks for them, before anything is derived.
        if (MP_Extended_ask_channels(kTag, r) == 0) MP_Extended_derive(kTag, r, false);
        if (MP_Global_Connected)
            MP_tags_commit();
        else
            MP_tags_rollback();
    }
    // As the poll publishes: "OK", or why a channel look-up ended the conversation.
    CommsPacket(0, MP_Global_Connected ? "OK" : MP_Extended_give_up_status());
    close(fds[0]);
    close(fds[1]);
    MP_Global_Socket = VP_INVALID_SOCKET;
    MP_Global_Connected = 0;
    return comparable;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MP_Extended_defaults();
    MP_Global_Debug = 1;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "/dev/null");
    MP_open_log();
    MP_Global_mWait = 0;
    MP_Global_Limits.answer_ms = 5000;
    // Elapsed times do not depend on when a poll runs.
    MP_Global_mFixedNow = 1800000000;
    vp_net_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    uint32_t seed = 1u | (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
    // The text encoding, from the seed's high bits: whole and in pieces alike.
    MP_Global_TextEncoding = static_cast<int>(data[3] >> 6);
    std::string body;
    if (size >= 10 && memcmp(data + 4, "GROW", 4) == 0) {
        unsigned count = 1u + (data[8] | (data[9] & 0x0Fu) << 8);
        std::string element(reinterpret_cast<const char*>(data + 10), size - 10);
        body = "[";
        for (unsigned i = 0; i < count && body.size() + element.size() < kMaxGrown; i++) body += (i ? "," : "") + element;
        body += "]";
    } else {
        body.assign(reinterpret_cast<const char*>(data + 4), size - 4);
    }
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body;

    seed_table();
    poll(answer, 0);
    const std::string whole = outcome();
    fuzz_check_table(5);
    fuzz_check_texts(MP_Global_TextEncoding);
    fuzz_check(MP_trace_depth() == 0, "the call-name trace is out of balance");

    seed_table();
    poll(answer, seed);
    fuzz_check(outcome() == whole, "the answer in pieces gave other tags than the answer whole");

    // Far from a full table, the answer is what the plain scan makes it (which knows texts as
    // the services send them only).
    if (MP_Global_TextEncoding == MP_TEXT_RAW && MP_Numtags < MP_MAXTAGS - 300) {
        seed_table();
        if (reference(body)) fuzz_check(outcome() == whole, "the plain whole-text scan gave other tags");
    }
    return 0;
}
