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
constexpr int kHeaderLen = 15;
static_assert(sizeof kHeader - 1 == kHeaderLen);

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

// Where the response's status line begins among the n bytes received, or -1. Stray bytes ahead
// of it, zero bytes among them, are passed over so that they cannot hide its header.
int status_line(const char* buf, int n) {
    size_t at = std::string_view(buf, static_cast<size_t>(n)).find("HTTP/");
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
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

// The connection ended or failed while an answer was awaited: the conversation is given up.
int lost(const char* tag, const FrameTexts& texts, int received) {
    if (received == 0) {
        MP_logl(texts.closed_level, tag, texts.closed);
        MP_Extended_give_up("MP_recv Failed: Connection closed during an answer");
    } else {
        int code = vp_net_error();
        MP_errlog(tag, texts.failed);
        if (code == VP_WSAETIMEDOUT)
            MP_errlogf(tag, "%s for %d ms; the connection is given up", texts.timed_out,
                       MP_Global_mAnswerLimitMs);
        MP_Extended_give_up("MP_recv Failed: Error at socket(): %d", code);
    }
    return -1;
}

// An answer that has taken longer than the whole-answer limit is given up before the next
// wait for more of it.
bool too_slow(const char* tag, double deadline, long long have, long long length) {
    if (vp_process_seconds() <= deadline) return false;
    if (length < 0)
        MP_errlogf(tag, "Answer header not complete after %d ms (%lld bytes); the connection is given up",
                   MP_Global_mWholeAnswerLimitMs, have);
    else
        MP_errlogf(tag, "Answer not complete after %d ms (%lld of %lld bytes); the connection is given up",
                   MP_Global_mWholeAnswerLimitMs, have, length);
    MP_Extended_give_up("MP_recv Failed: Error at socket(): %d", VP_WSAETIMEDOUT);
    return true;
}

}  // namespace

int MP_Extended_channel_lost(const char* tag, int received) { return lost(tag, kChannelFirst, received); }

int MP_Extended_frame(const char* tag, char* buf, int n, int room, int channel, MpxFrame* frame) {
    MP_TRACE("MP_Extended_frame");
    const FrameTexts& texts = channel ? kChannel : kRecordings;
    double deadline = vp_process_seconds() + MP_Global_mWholeAnswerLimitMs / 1000.0;
    // Nothing is judged on part of a header: a piece that ends inside it would read as an answer
    // without a length, and the rest of that answer, header and all, would then be taken for the
    // next one, whose body would be looked for in the wrong bytes.
    int start = status_line(buf, n);
    int body = start < 0 ? -1 : header_end(buf, n, start);
    while (body < 0) {
        if (n >= room) {
            MP_errlogf(tag, "No complete response header in %d bytes; dropping the connection", n);
            MP_Extended_give_up("Unusable answer: no complete header in %d bytes", n);
            return -1;
        }
        if (too_slow(tag, deadline, n, -1)) return -1;
        MP_logl(3, tag, texts.waiting);
        int got = MP_recv(tag, buf + n, room - n);
        if (got <= 0) return lost(tag, texts, got);
        n += got;
        if (start < 0) start = status_line(buf, n);
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
    frame->received = n;
    frame->length = length;
    frame->body = body;
    frame->deadline = deadline;
    return 1;
}

int MP_Extended_body_start(const char* tag, char* buf, int n, int room, int channel, MpxBody* b) {
    MP_TRACE("MP_Extended_body_start");
    MpxFrame f;
    if (MP_Extended_frame(tag, buf, n, room, channel, &f) < 0) return -1;
    // The window begins where the body does, behind the header. Only one request is ever
    // outstanding, so bytes behind the answer are none of the next one's; they are dropped.
    long long here = f.received - f.body;
    if (here > f.length) {
        MP_logf(3, tag, "%lld bytes behind the answer are dropped", here - f.length);
        here = f.length;
    }
    buf[f.body + here] = '\0';
    b->buf = buf + f.body;
    b->room = room - f.body;
    b->have = static_cast<int>(here);
    b->consumed = 0;
    b->length = f.length;
    b->channel = channel;
    b->deadline = f.deadline;
    return 1;
}

int MP_Extended_body_more(const char* tag, MpxBody* b, int keep_from) {
    MP_TRACE("MP_Extended_body_more");
    if (keep_from > 0) {
        memmove(b->buf, b->buf + keep_from, static_cast<size_t>(b->have - keep_from));
        b->have -= keep_from;
        b->consumed += keep_from;
        b->buf[b->have] = '\0';
    }
    long long missing = b->length - b->consumed - b->have;
    int room = b->room - b->have;
    if (missing <= 0 || room <= 0) return 0;
    // Never more than the body still owes, so that nothing of a later answer is taken here.
    int want = missing < room ? static_cast<int>(missing) : room;
    if (too_slow(tag, b->deadline, b->consumed + b->have, b->length)) return -1;
    const FrameTexts& texts = b->channel ? kChannel : kRecordings;
    MP_logl(3, tag, texts.waiting);
    int got = MP_recv(tag, b->buf + b->have, want);
    if (got <= 0) return lost(tag, texts, got);
    b->have += got;
    b->buf[b->have] = '\0';
    return 1;
}

int MP_Extended_body_drain(const char* tag, MpxBody* b) {
    MP_TRACE("MP_Extended_body_drain");
    for (;;) {
        int rc = MP_Extended_body_more(tag, b, b->have);
        if (rc <= 0) return rc;
    }
}
