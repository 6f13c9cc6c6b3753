// mp_log.cpp - the log core: line composition, the level rule and the recent-lines ring.
#include "mp_log.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "mp_log_stream.h"
#include "mp_logsecret.h"
#include "vp.h"

int MP_Global_Debug = 0;
char MP_Global_LogPath[260] = "";
char MP_Global_Title[256] = "";
char MP_Global_Version[64] = "";

namespace {
// One remembered line: the composed text, cut to fit, its length, and whether MP_errlog has
// still to write it out.
struct RingSlot {
    int len;
    int pending;
    // Where text from a service begins in the line, kept as it came and escaped only when the
    // line is written; 0 for a line of our own. Escaping every tag store's line as it is
    // stored would cost more than the store; most of them are never written.
    int raw_at;
    char text[MP_LOG_LINE_SIZE];
};

RingSlot ring[MP_LOG_RING_SLOTS];
int ring_write = 0;  // the slot the next line takes; once full, the oldest line

// The stamp text "hh:mm:ss.mmm" of the last clock reading. Thousands of lines can fall in one
// second (one per tag store), and the cheap clock moves in steps of a few ms, so the
// local-time conversion is done once per second and the whole text once per step of the clock.
bool stamp_valid = false;
time_t stamp_second = 0;
unsigned short stamp_ms = 0;
char stamp_text[12];

// Label of "**Error**" joined to the caller's label.
constexpr char error_mark[] = "**Error**";

// Writes "hh:mm:ss.mmm" (12 characters, no terminator) for the current time. Every line reads
// the clock, so the cheap wall clock is read: its milliseconds move in steps of the system's
// clock tick (a few ms), as Windows' system time does anyway.
void write_stamp(char* out) {
    time_t now;
    unsigned short ms;
    vp_time_now_coarse(&now, &ms);
    if (ms > 999) ms = 999;
    if (!stamp_valid || now != stamp_second) {
        struct tm tm;
        if (vp_localtime(now, &tm) == 0) {
            MP_put_two_digits(stamp_text, tm.tm_hour);
            stamp_text[2] = ':';
            MP_put_two_digits(stamp_text + 3, tm.tm_min);
            stamp_text[5] = ':';
            MP_put_two_digits(stamp_text + 6, tm.tm_sec);
        } else {
            memcpy(stamp_text, "--:--:--", 8);
        }
        stamp_second = now;
        stamp_valid = true;
        stamp_ms = 1000;  // no reading: the milliseconds are written below
    }
    if (ms != stamp_ms) {
        stamp_text[8] = '.';
        stamp_text[9] = static_cast<char>('0' + ms / 100);
        stamp_text[10] = static_cast<char>('0' + ms / 10 % 10);
        stamp_text[11] = static_cast<char>('0' + ms % 10);
        stamp_ms = ms;
    }
    memcpy(out, stamp_text, 12);
}

constexpr size_t kMarkLen = sizeof MP_LOG_REDACTED - 1;

// Where the text of the line being composed starts in its ring slot (MP_log_open_line).
size_t open_text_at = 0;

// rest_len of a rest of text that has not been measured: it is measured only when the line
// is written, so that a long text held back by the level rule costs no more than the ring's
// share of it.
constexpr size_t kUnmeasured = static_cast<size_t>(-1);

// Stores the line composed in the slot at the write position, whose text holds kept
// characters at open_text_at, and moves the write position on. Returns the line's length.
size_t store_line(size_t kept, bool raw = false) {
    RingSlot& slot = ring[ring_write];
    size_t pos = open_text_at + kept;
    slot.text[pos] = '\0';
    slot.len = static_cast<int>(pos);
    slot.pending = 1;
    slot.raw_at = raw ? static_cast<int>(open_text_at) : 0;
    ring_write = ring_write + 1 == MP_LOG_RING_SLOTS ? 0 : ring_write + 1;
    return pos;
}

// Whether a line of this level is written: the level rule, and an open log.
bool to_be_written(int level, int force) {
    if (force == 0 && MP_Global_Debug < level) return false;
    return MP_log_stream != nullptr;
}

// After a written line: flushed at once, and past the restart size the file starts afresh. A
// bridge runs for weeks without reopening its log, so the size rule of the opening is applied
// as lines are written as well.
void line_written() {
    fflush(MP_log_stream);
    fflush(stdout);
    if (ftell(MP_log_stream) > MP_LOG_RESTART_SIZE) MP_open_log();
}

// Writes len bytes of service text escaped, a piece at a time, so that no buffer need hold
// all of it.
void write_escaped(FILE* out, const char* text, size_t len) {
    static char piece[MP_LOG_LINE_SIZE];
    size_t used = 0;
    while (used < len) {
        size_t taken;
        size_t n = MP_escape_untrusted(piece, sizeof piece, text + used, len - used, &taken);
        fwrite(piece, 1, n, out);
        used += taken;
    }
}

// Writes text[from, len), service text escaped, and below Debug=3 with every registered secret
// replaced. The bytes before from are read as the context of a short secret.
void write_text(FILE* out, const char* text, size_t len, size_t from, bool escape) {
    auto piece = [&](const char* p, size_t n) {
        if (escape)
            write_escaped(out, p, n);
        else
            fwrite(p, 1, n, out);
    };
    if (!mp_log_secrets::active()) {
        piece(text + from, len - from);
        return;
    }
    size_t i = from;
    while (i < len) {
        size_t found;
        size_t at = mp_log_secrets::next(text, len, i, len, &found);
        piece(text + i, at - i);
        if (at == len) break;
        fwrite(MP_LOG_REDACTED, 1, kMarkLen, out);
        i = at + found;
    }
}

// A finished line: its head as the ring keeps it (stamp, label and the text that fitted), and
// the rest of its text, text[from, len), read from wherever it is, the bytes before from being
// the context of a short secret; written redacted (a no-op at debug level 3 and above, the only
// levels where a line that holds credentials is written), and escaped when it is a service's.
struct Line {
    const char* head;
    size_t head_len;
    const char* text;
    size_t len;
    size_t from;
    bool escape;
};

void write_line(FILE* out, const Line& l) {
    fwrite(l.head, 1, l.head_len, out);
    write_text(out, l.text, l.len, l.from, l.escape);
    fputc('\n', out);
}

// The one way of a finished line to its streams: the log file and standard output.
int publish(const Line& l) {
    for (FILE* out : {MP_log_stream, stdout}) write_line(out, l);
    line_written();
    return 0;
}

// A stored line as it is written: our own part as it is (redacted when it was stored), a
// service's part, kept as it came, redacted and escaped now.
Line slot_line(const RingSlot& slot) {
    size_t len = static_cast<size_t>(slot.len);
    if (slot.raw_at == 0) return {slot.text, len, "", 0, 0, false};
    size_t own = static_cast<size_t>(slot.raw_at);
    return {slot.text, own, slot.text + own, len - own, 0, true};
}

// Ends the line composed in the slot at the write position, whose text holds kept characters
// at open_text_at, made from the caller's text up to position used, which is followed by more
// that the slot had no room for (len characters in all, kUnmeasured when not yet measured;
// escaped when it is a service's): stores it and writes it out under the level rule.
int close_line(int level, size_t kept, const char* text, size_t len, size_t used, int force, bool escape = false) {
    const char* line = ring[ring_write].text;
    size_t pos = store_line(kept);
    if (!to_be_written(level, force)) return 0;
    if (len == kUnmeasured) len = used + strlen(text + used);
    return publish({line, pos, text, len, used, escape});
}

// MP_log_open_line for a label of any source: below Debug=3 a secret in it is replaced.
char* open_checked_line(const char* label, size_t* room) {
    size_t label_len = label ? strnlen(label, MP_LOG_LABEL_MAX) : 0;
    size_t found;
    if (label_len > 0 && mp_log_secrets::active() &&
        mp_log_secrets::next(label, label_len, 0, label_len, &found) < label_len) {
        static char clean[MP_LOG_LABEL_MAX];
        size_t used;
        size_t n = mp_log_secrets::copy(clean, sizeof clean, label, label_len, 0, &used);
        return MP_log_open_line(clean, n, room);
    }
    return MP_log_open_line(label, label_len, room);
}

// Copies service text into the ring's room, below Debug=3 with its secrets replaced, escaped;
// a replacement or an escape goes in whole or not at all. Returns the characters written, with
// *used the number of text bytes that they show.
size_t escaped_copy(char* out, size_t room, const char* text, size_t len, size_t* used) {
    bool redact = mp_log_secrets::active();
    size_t o = 0;
    size_t i = 0;
    while (i < len && o < room) {
        size_t found = 0;
        // Every byte shows as one character or more, so a secret that begins beyond the room
        // left is never reached.
        size_t at = redact ? mp_log_secrets::next(text, len, i, i + (room - o), &found) : len;
        size_t taken;
        o += MP_escape_untrusted(out + o, room - o + 1, text + i, at - i, &taken);
        i += taken;
        if (i < at || at == len || room - o < kMarkLen) break;
        memcpy(out + o, MP_LOG_REDACTED, kMarkLen);
        o += kMarkLen;
        i = at + found;
    }
    *used = i;
    return o;
}

// A line that holds credentials: written whole from the caller's text at debug level 3 and
// above, while the ring keeps its stamp and label with the withheld text, whatever the level.
// Nothing of the text is copied into the ring, not even for a moment.
int secret_line(const char* label, const char* text) {
    if (!text) text = "";
    size_t room;
    char* at = open_checked_line(label, &room);
    const char* line = ring[ring_write].text;
    size_t head_len = open_text_at;
    size_t kept = sizeof MP_LOG_WITHHELD - 1 < room ? sizeof MP_LOG_WITHHELD - 1 : room;
    memcpy(at, MP_LOG_WITHHELD, kept);
    store_line(kept);
    if (!to_be_written(MP_LOG_SECRET_LEVEL, 0)) return 0;
    return publish({line, head_len, text, strlen(text), 0, false});
}

}  // namespace

char* MP_log_open_line(const char* label, size_t label_len, size_t* room) {
    if (!label) {
        label = "";
        label_len = 0;
    }
    if (label_len > static_cast<size_t>(MP_LOG_LABEL_MAX)) label_len = MP_LOG_LABEL_MAX;

    char* line = ring[ring_write].text;
    write_stamp(line);
    line[12] = ' ';
    size_t pos = 13;
    memcpy(line + pos, label, label_len);
    pos += label_len;
    line[pos++] = ' ';
    open_text_at = pos;
    // The ring keeps at most 4,095 characters of the composed line.
    *room = MP_LOG_LINE_SIZE - 1 - pos;
    return line + pos;
}

int MP_log_close_untrusted_line(int level, size_t text_len, int force) {
    size_t room = MP_LOG_LINE_SIZE - 1 - open_text_at;
    const RingSlot& slot = ring[ring_write];
    store_line(text_len < room ? text_len : room, true);
    if (!to_be_written(level, force)) return 0;
    return publish(slot_line(slot));
}

int MP_log_line(int level, const char* label, const char* text, int force) {
    if (!text) text = "";
    size_t room;
    char* at = open_checked_line(label, &room);
    if (!mp_log_secrets::active()) {
        size_t kept = strnlen(text, room);
        memcpy(at, text, kept);
        return close_line(level, kept, text, kUnmeasured, kept, force);
    }
    // Redacted as it goes into the ring, so that the ring never keeps a secret of this line; a
    // secret may lie anywhere, so the whole text is measured.
    size_t len = strlen(text);
    size_t used;
    size_t kept = mp_log_secrets::copy(at, room, text, len, 0, &used);
    return close_line(level, kept, text, len, used, force);
}

int MP_log(const char* label, const char* text) {
    MP_TRACE("MP_log");
    return MP_log_line(1, label, text, MP_Global_Debug);
}

int MP_logl(int level, const char* label, const char* text) {
    MP_TRACE("MP_logl");
    return MP_log_line(level, label, text, 0);
}

int MP_errlog(const char* label, const char* text) {
    MP_TRACE("MP_errlog");
    if (!MP_log_stream) MP_open_log();

    // At debug level 0 the lines that the level rule held back are written out first, oldest
    // first, so that the file shows what led up to the error.
    if (MP_Global_Debug == 0 && MP_log_stream) {
        for (int i = 0; i < MP_LOG_RING_SLOTS; i++) {
            RingSlot& slot = ring[(ring_write + i) % MP_LOG_RING_SLOTS];
            if (!slot.pending) continue;
            write_line(MP_log_stream, slot_line(slot));
            slot.pending = 0;
        }
        fflush(MP_log_stream);
    }

    char error_label[sizeof error_mark - 1 + MP_LOG_ERRLABEL_MAX + 1];
    size_t mark_len = sizeof error_mark - 1;
    memcpy(error_label, error_mark, mark_len);
    size_t label_len = label ? strnlen(label, MP_LOG_ERRLABEL_MAX) : 0;
    if (label_len) memcpy(error_label + mark_len, label, label_len);
    error_label[mark_len + label_len] = '\0';
    return MP_log_line(0, error_label, text, 1);
}

namespace {
// The bytes that service text keeps as they are: printable ASCII and the bytes from 0xA0 up,
// but for 0xC2, whose next byte decides (C2 80 to C2 9F is a C1 control in UTF-8).
constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; c++) plain[c] = true;
    for (int c = 0xA0; c <= 0xFF; c++) plain[c] = c != 0xC2;
    return plain;
}();
}  // namespace

size_t MP_escape_untrusted(char* out, size_t size, const char* text, size_t len, size_t* used) {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t o = 0;
    size_t i = 0;
    if (size > 0 && text) {
        const size_t limit = size - 1;
        while (i < len && o < limit) {
            // A run of plain bytes goes at once: service text is mostly that.
            size_t stop = len - i < limit - o ? len : i + (limit - o);
            size_t run = i;
            while (run < stop && kPlain[static_cast<unsigned char>(text[run])]) run++;
            memcpy(out + o, text + i, run - i);
            o += run - i;
            i = run;
            if (i == len || o == limit) break;

            unsigned char c = static_cast<unsigned char>(text[i]);
            unsigned char next = i + 1 < len ? static_cast<unsigned char>(text[i + 1]) : 0;
            char seq[8];
            size_t n = 0;
            size_t take = 1;
            auto hex = [&](unsigned char b) {
                seq[n++] = '\\';
                seq[n++] = 'x';
                seq[n++] = kHex[b >> 4];
                seq[n++] = kHex[b & 15];
            };
            if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
                // A C1 control in its UTF-8 form: both bytes, so that no terminal that reads
                // UTF-8 takes it for the control.
                hex(c);
                hex(next);
                take = 2;
            } else if (c == 0xC2) {
                seq[n++] = static_cast<char>(c);
            } else if (c == '\r' || c == '\n' || c == '\t') {
                seq[n++] = '\\';
                seq[n++] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
            } else {
                // Other bytes below 32, DEL and the raw C1 controls.
                hex(c);
            }
            // An escape is written whole or not at all.
            if (limit - o < n) break;
            memcpy(out + o, seq, n);
            o += n;
            i += take;
        }
    }
    if (size > 0) out[o] = '\0';
    if (used) *used = i;
    return o;
}

int MP_log_untrusted(int level, const char* label, const char* text, size_t len) {
    MP_TRACE("MP_log_untrusted");
    if (!text) len = 0;
    int force = level == 1 ? MP_Global_Debug : 0;
    size_t room;
    char* at = open_checked_line(label, &room);
    size_t used;
    size_t kept = escaped_copy(at, room, text, len, &used);
    // Longer, once escaped, than the ring keeps: the ring holds its beginning, and the rest is
    // written escaped piece by piece, so that no buffer need hold all of it.
    return close_line(level, kept, text ? text : "", len, used, force, true);
}

int MP_log_secret(const char* label, const char* text) {
    MP_TRACE("MP_log_secret");
    return secret_line(label, text);
}

namespace {

// Composes a printf-style text into buf; a format the C library refuses leaves it empty.
MP_PRINTF(2, 0)
const char* compose(char (&buf)[MP_LOG_LINE_SIZE], const char* format, va_list args) {
    if (vsnprintf(buf, sizeof buf, format, args) < 0) buf[0] = '\0';
    return buf;
}

}  // namespace

int MP_logf(int level, const char* label, const char* format, ...) {
    MP_TRACE("MP_logf");
    static char text[MP_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    compose(text, format, args);
    va_end(args);
    return MP_log_line(level, label, text, level == 1 ? MP_Global_Debug : 0);
}

int MP_logf_secret(const char* label, const char* format, ...) {
    MP_TRACE("MP_logf_secret");
    static char text[MP_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    compose(text, format, args);
    va_end(args);
    secret_line(label, text);
    // No copy of a credential outlives its line.
    memset(text, 0, strnlen(text, sizeof text));
    return 0;
}

int MP_errlogf(const char* label, const char* format, ...) {
    MP_TRACE("MP_errlogf");
    // A buffer of its own, so that a report composed here survives any line the error path
    // logs on the way (opening the log logs one).
    static char text[MP_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    compose(text, format, args);
    va_end(args);
    return MP_errlog(label, text);
}

void MP_log_reset() {
    MP_TRACE("MP_log_reset");
    mp_log_secrets::forget();
    for (RingSlot& slot : ring) {
        slot.pending = 0;
        slot.raw_at = 0;
        slot.len = 0;
        slot.text[0] = '\0';
    }
    ring_write = 0;
    stamp_valid = false;
    if (MP_log_stream) {
        fclose(MP_log_stream);
        MP_log_stream = nullptr;
    }
}

bool MP_log_is_open() { return MP_log_stream != nullptr; }

void mp_log_scrub_ring() {
    if (!mp_log_secrets::active()) return;
    // The lines of a service's text are redacted whenever they are written; the others were
    // redacted as they were stored, with the secrets known then.
    constexpr size_t kTextAt = 13;  // behind the stamp: the label and the text
    static char clean[MP_LOG_LINE_SIZE];
    for (RingSlot& slot : ring) {
        size_t len = static_cast<size_t>(slot.len);
        size_t found;
        if (slot.raw_at != 0 || len <= kTextAt ||
            mp_log_secrets::next(slot.text, len, kTextAt, len, &found) == len)
            continue;
        size_t used;
        size_t n =
            mp_log_secrets::copy(clean, MP_LOG_LINE_SIZE - 1 - kTextAt, slot.text, len, kTextAt, &used);
        memcpy(slot.text + kTextAt, clean, n);
        slot.len = static_cast<int>(kTextAt + n);
        slot.text[slot.len] = '\0';
    }
}
