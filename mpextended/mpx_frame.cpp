// mpx_frame.cpp - an HTTP answer of the TV service: its header and length, and its body read through a fixed buffer.
#include <climits>
#include <cstring>
#include <string_view>

#include "mp_log.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

// The log texts of the two readers, which read their answers alike.
struct FrameTexts {
    const char* waiting;
    int closed_level;
    const char* closed;
    const char* failed;
    const char* timed_out;  // what is said when the answer limit ended the wait
};
constexpr FrameTexts kRecordings = {
    "Waiting for extra data in process_MP_Extended",
    3,
    "Connection closed in process_MP_Extended",
    "recv failed: in process_MP_Extended",
    "No further data",
};
constexpr FrameTexts kChannel = {
    "Waiting for extra data in process_MP_Extended_channel",
    1,
    "Connection closed in process_MP_Extended_channel",
    "recv failed: in process_MP_Extended_channel",
    "No further data",
};
// The first receive of a channel answer, which the channel reader makes itself.
constexpr FrameTexts kChannelFirst = {
    "",
    1,
    "Connection closed in MP_Extended_process_channel",
    "recv failed: in MP_Extended_process_channel",
    "No channel answer",
};

constexpr char kHeader[] = "Content-Length:";
constexpr int kHeaderLen = sizeof kHeader - 1;

// Reads the header's value: blanks and tabs on the header's own line, an optional sign, then
// decimal digits. Returns false when there are no digits, which counts as no header at all. A
// value beyond the int range stays at the range's end instead of wrapping.
bool read_length(const char* value, long long* length) {
    const char* p = value;
    while (*p == ' ' || *p == '\t') p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (v <= INT_MAX) v = v * 10 + (*p - '0');
    if (v > INT_MAX) v = INT_MAX;
    *length = negative ? -v : v;
    return true;
}

// Where the next status line begins among the n bytes received, from `from` on, or -1. Stray
// bytes ahead of it, zero bytes among them, are passed over so that they cannot hide its header.
int status_line(const char* buf, int n, int from) {
    if (from >= n) return -1;
    size_t at = std::string_view(buf + from, static_cast<size_t>(n - from)).find("HTTP/");
    return at == std::string_view::npos ? -1 : from + static_cast<int>(at);
}

// Where the body begins once the header block that begins at `from` has wholly arrived (behind
// its empty line), or -1 while it has not.
int header_end(const char* buf, int n, int from) {
    std::string_view head(buf + from, static_cast<size_t>(n - from));
    size_t crlf = head.find("\n\r\n");
    size_t lf = head.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) return -1;
    if (lf < crlf) return from + static_cast<int>(lf) + 2;
    return from + static_cast<int>(crlf) + 3;
}

// Whether the status line at `at` announces an interim answer (100 Continue and its kin, but
// not 101, which would switch the connection to another protocol): a header of its own without
// a body, which the final answer follows.
bool interim(const char* buf, int at) {
    const char* p = buf + at;
    while (*p != '\0' && *p != ' ' && *p != '\r' && *p != '\n') p++;
    if (*p != ' ') return false;
    const char* code = p + 1;
    return code[0] == '1' && code[1] >= '0' && code[1] <= '9' && code[2] >= '0' && code[2] <= '9' &&
           (code[3] == ' ' || code[3] == '\r' || code[3] == '\n') && !(code[1] == '0' && code[2] == '1');
}

// The connection ended or failed while an answer was awaited: the conversation is given up.
int lost(const char* tag, const FrameTexts& texts, int received, int code) {
    if (received == 0) {
        MP_logl(texts.closed_level, tag, texts.closed);
        MP_Extended_give_up_on_close();
        return -1;
    }
    MP_errlog(tag, texts.failed);
    if (code == VP_WSAETIMEDOUT)
        MP_errlogf(tag, "%s for %d ms; the connection is given up", texts.timed_out, MP_Global_Limits.answer_ms);
    MP_Extended_give_up("MP_recv Failed: Error at socket(): %d", code);
    return -1;
}

// The answer has taken longer than the whole-answer limit: given up.
int too_slow(const char* tag, long long have, long long length) {
    if (length < 0)
        MP_errlogf(tag, "Answer header not complete after %d ms (%lld bytes); the connection is given up",
                   MP_Global_Limits.whole_answer_ms, have);
    else
        MP_errlogf(tag, "Answer not complete after %d ms (%lld of %lld bytes); the connection is given up",
                   MP_Global_Limits.whole_answer_ms, have, length);
    MP_Extended_give_up("MP_recv Failed: Error at socket(): %d", VP_WSAETIMEDOUT);
    return -1;
}

// One receive of more of an answer into buf (capacity want), bounded by the answer limit and by
// what is left of the whole-answer limit, so that the answer is given up once it has taken that
// long, waits included. Returns the count received, or -1 when the conversation was given up.
int receive_more(const char* tag, const FrameTexts& texts, char* buf, int want, double deadline,
                 long long have, long long length) {
    double left_ms = (deadline - vp_process_seconds()) * 1000.0;
    if (left_ms <= 0) return too_slow(tag, have, length);
    bool shortened = left_ms < MP_Global_Limits.answer_ms;
    // A wait of less than a millisecond would read as no bound at all.
    if (shortened) vp_set_recv_timeout(MP_Global_Socket, left_ms < 1 ? 1 : static_cast<int>(left_ms));
    MP_logl(3, tag, texts.waiting);
    int got = MP_recv(tag, buf, want);
    int code = got < 0 ? vp_net_error() : 0;
    if (shortened) vp_set_recv_timeout(MP_Global_Socket, MP_Global_Limits.answer_ms);
    if (got > 0) return got;
    // A wait cut to what was left of the whole-answer limit ended with that limit, even when the
    // system's timer woke it a few milliseconds before the deadline.
    if (got < 0 && code == VP_WSAETIMEDOUT && (shortened || vp_process_seconds() >= deadline))
        return too_slow(tag, have, length);
    return lost(tag, texts, got, code);
}

}  // namespace

int MP_Extended_channel_lost(const char* tag, int received) {
    return lost(tag, kChannelFirst, received, received < 0 ? vp_net_error() : 0);
}

int MP_Extended_body_start(const char* tag, char* buf, int n, int room, int channel, MpxBody* b) {
    MP_TRACE("MP_Extended_body_start");
    const FrameTexts& texts = channel ? kChannel : kRecordings;
    // The whole answer is timed from its first bytes, which have just arrived.
    double deadline = vp_process_seconds() + MP_Global_Limits.whole_answer_ms / 1000.0;
    // Nothing is judged on part of a header: a piece that ends inside it would read as an answer
    // without a length, and the rest of that answer, header and all, would then be taken for the
    // next one, whose body would be looked for in the wrong bytes. An interim answer's header is
    // passed over, and the final answer's header is looked for behind it.
    int seek = 0;  // where the status line is looked for: behind any interim answer
    int start = status_line(buf, n, seek);
    int body = start < 0 ? -1 : header_end(buf, n, start);
    for (;;) {
        if (body >= 0 && interim(buf, start)) {
            MP_logf(3, tag, "Interim answer of %d bytes passed over", body - start);
            seek = body;
            start = status_line(buf, n, seek);
            body = start < 0 ? -1 : header_end(buf, n, start);
            continue;
        }
        if (body >= 0) break;
        if (n >= room) {
            MP_errlogf(tag, "No complete response header in %d bytes; dropping the connection", n);
            MP_Extended_give_up("Unusable answer: no complete header in %d bytes", n);
            return -1;
        }
        int got = receive_more(tag, texts, buf + n, room - n, deadline, n, -1);
        if (got < 0) return -1;
        // Where the last search for the status line or the header's end stopped, it goes on;
        // a mark cut by the end of a piece is found whole once the rest is here.
        int from = start >= 0 ? start : n - 4 > seek ? n - 4 : seek;
        n += got;
        if (start < 0) start = status_line(buf, n, from);
        if (start >= 0) body = header_end(buf, n, start);
    }
    int h = strfindstr(buf + start, kHeader, kHeaderLen);
    long long length = 0;
    if (h < 0 || h + start >= body || !read_length(buf + start + h + kHeaderLen, &length)) {
        // Without its length the answer cannot be told apart from what follows it on the
        // connection, so the connection cannot stay in step.
        MP_errlog(tag, "No Content-Length");
        MP_Extended_give_up("Unusable answer: No Content-Length");
        return -1;
    }
    MP_logf(3, tag, "Content-Length: %lld", length);
    // A negative length announces no body at all.
    if (length < 0) length = 0;
    if (channel)
        MP_logf(3, tag, "Message sizes: iResult=%d, clen=%lld, hlen=%d", n, length, body);
    else
        MP_logf(3, tag, "Message sizes: rlen=%d, clen=%lld, hlen=%d", n, length, body);
    // Only one request is ever outstanding, so bytes behind the answer are none of the next
    // one's; they are dropped. The header is done with: the body moves to the buffer's start,
    // so that every window of it has the whole buffer.
    long long here = n - body;
    if (here > length) {
        MP_logf(3, tag, "%lld bytes behind the answer are dropped", here - length);
        here = length;
    }
    memmove(buf, buf + body, static_cast<size_t>(here));
    buf[here] = '\0';
    *b = MpxBody{buf, room, body, static_cast<int>(here), here, length, channel, deadline};
    return 1;
}

int MP_Extended_body_fill(const char* tag, MpxBody* b) {
    MP_TRACE("MP_Extended_body_fill");
    const FrameTexts& texts = b->channel ? kChannel : kRecordings;
    while (b->have < b->room && b->received < b->length) {
        // Never more than the body still owes, so that nothing of a later answer is taken here.
        long long owed = b->length - b->received;
        int room = b->room - b->have;
        int want = owed < room ? static_cast<int>(owed) : room;
        int got = receive_more(tag, texts, b->buf + b->have, want, b->deadline, b->received, b->length);
        if (got < 0) return -1;
        b->have += got;
        b->received += got;
    }
    b->buf[b->have] = '\0';
    return 1;
}

void MP_Extended_body_drop(MpxBody* b, int n) {
    if (n <= 0) return;
    if (n > b->have) n = b->have;
    memmove(b->buf, b->buf + n, static_cast<size_t>(b->have - n));
    b->have -= n;
    b->buf[b->have] = '\0';
}

int MP_Extended_body_drain(const char* tag, MpxBody* b) {
    MP_TRACE("MP_Extended_body_drain");
    for (;;) {
        MP_Extended_body_drop(b, b->have);
        if (b->received >= b->length) return 0;
        if (MP_Extended_body_fill(tag, b) < 0) return -1;
    }
}
