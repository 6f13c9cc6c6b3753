// mpx_frame.cpp - finds the body of an HTTP response by its Content-Length, receiving missing pieces.
#include <climits>
#include <string_view>

#include "mp_log.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

namespace {

// The log texts of the two readers, which frame their responses alike.
struct FrameTexts {
    const char* waiting;
    int closed_level;
    const char* closed;
    const char* failed;
};
constexpr FrameTexts kRecordings = {
    "Waiting for extra data in process_MP_Extended",
    3,
    "Connection closed in process_MP_Extended",
    "recv failed: in process_MP_Extended",
};
constexpr FrameTexts kChannel = {
    "Waiting for extra data in process_MP_Extended_channel",
    1,
    "Connection closed in process_MP_Extended_channel",
    "recv failed: in process_MP_Extended_channel",
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

// Whether the header block that begins at `from` has wholly arrived: it ends at its empty line.
bool header_complete(const char* buf, int n, int from) {
    std::string_view head(buf + from, static_cast<size_t>(n - from));
    return head.find("\n\r\n") != std::string_view::npos || head.find("\n\n") != std::string_view::npos;
}

// The connection is no longer usable for this conversation: the poll loop ends it.
int lost(const char* tag, const FrameTexts& texts, int received) {
    MP_Global_Connected = 0;
    if (received == 0) {
        MP_logl(texts.closed_level, tag, texts.closed);
    } else {
        int code = vp_net_error();
        MP_errlog(tag, texts.failed);
        if (code == VP_WSAETIMEDOUT)
            MP_errlogf(tag, "No further data for %d ms; the connection is given up",
                       MP_Global_mAnswerLimitMs);
    }
    return -1;
}

}  // namespace

int MP_Extended_frame(const char* tag, char* buf, int n, int room, int channel, MpxFrame* frame) {
    MP_TRACE("MP_Extended_frame");
    const FrameTexts& texts = channel ? kChannel : kRecordings;
    // Nothing is judged on part of a header: a piece that ends inside it would read as an answer
    // without a length, and the rest of that answer, header and all, would then be taken for the
    // next one, whose body would be looked for in the wrong bytes.
    int start = status_line(buf, n);
    while (start < 0 || !header_complete(buf, n, start)) {
        if (n >= room) {
            MP_errlogf(tag, "No complete response header in %d bytes; dropping the connection", n);
            MP_Global_Connected = 0;
            return -1;
        }
        MP_logl(3, tag, texts.waiting);
        int got = MP_recv(tag, buf + n, room - n);
        if (got <= 0) return lost(tag, texts, got);
        n += got;
        if (start < 0) start = status_line(buf, n);
    }
    int h = strfindstr(buf + start, kHeader, kHeaderLen);
    if (h >= 0) h += start;
    long long length = 0;
    if (h < 0 || !read_length(buf + h + kHeaderLen, &length)) {
        MP_errlog(tag, "No Content-Length");
        return 0;
    }
    MP_logf(3, tag, "Content-Length: %lld", length);
    // A negative length announces no body at all.
    if (length < 0) length = 0;

    // The body begins at the first bracket behind the header; until it has arrived, the
    // header part is all that has come.
    while (buf[h] != '\0' && buf[h] != '[' && buf[h] != '{') h++;
    if (channel)
        MP_logf(3, tag, "Message sizes: iResult=%d, clen=%d, hlen=%d", n, static_cast<int>(length), h);
    else
        MP_logf(3, tag, "Message sizes: rlen=%d, clen=%d, hlen=%d", n, static_cast<int>(length), h);

    // The whole response must fit the buffer: waiting for more than it holds would ask for
    // receives with no room left. The rest of such a response cannot be told apart from the
    // next one on this connection, so the connection is given up and made afresh.
    if (h + length > room) {
        MP_errlogf(tag, "Response of %lld bytes does not fit the %d-byte buffer; dropping the connection",
                   h + length, room);
        MP_Global_Connected = 0;
        return -1;
    }
    while (n < h + length) {
        MP_logl(3, tag, texts.waiting);
        int got = MP_recv(tag, buf + n, room - n);
        if (got <= 0) return lost(tag, texts, got);
        n += got;
    }
    frame->received = n;
    frame->length = static_cast<int>(length);
    frame->body = n - frame->length;
    return 1;
}
