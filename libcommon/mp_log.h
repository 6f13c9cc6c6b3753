// mp_log.h - the log file with levels, the recent-lines ring and the call-name trace.
#pragma once

#include <cstddef>
#include <cstring>
#include <ctime>
#include <type_traits>

// Process-wide log settings; each program's initialisation sets them before MP_open_log.
extern int MP_Global_Debug;
extern char MP_Global_LogPath[260];
extern char MP_Global_Title[256];
extern char MP_Global_Version[64];

// Sizes of the log's fixed storage.
inline constexpr int MP_LOG_RING_SLOTS = 21;        // recent lines kept in memory
inline constexpr int MP_LOG_LINE_SIZE = 4096;       // a composed line and its terminator
inline constexpr int MP_LOG_LABEL_MAX = 4081;       // longest label that fits the line prefix
inline constexpr int MP_LOG_ERRLABEL_MAX = 246;     // longest label of an error line
inline constexpr int MP_TRACE_ENTRIES = 256;        // names kept on the call-name trace
inline constexpr int MP_TRACE_NAME_MAX = 255;       // longest name kept on the trace
inline constexpr long long MP_LOG_RESTART_SIZE = 5242880;  // a larger log file starts afresh

// Call-name trace: every traced function pushes its name on entry and pops it on return.
// Past MP_TRACE_ENTRIES names the depth still counts, but the deeper names are not kept.
// A pushed name is copied (at most MP_TRACE_NAME_MAX characters), so it may live in any
// buffer; the crash report prints the copies.
void MP_trace_enter(const char* name);
void MP_trace_leave();
void MP_trace_print();
int MP_trace_depth();

// The trace's storage, owned by mp_trace.cpp; MP_TraceScope pushes and pops inline, since
// the traced functions include some that run for every tag store.
namespace mp_trace_detail {
// Entry i holds the name pushed when the depth was i.
extern char names[MP_TRACE_ENTRIES][MP_TRACE_NAME_MAX + 1];
extern int depth;

// MP_trace_enter for a name held in a character array, normally a literal: its length is
// known when compiling, so the copy is a move of fixed size instead of a measurement and a
// copy. A name that ends before the array does keeps its terminator in the copy, so it reads
// the same.
template <size_t N>
inline void enter_array(const char (&name)[N]) {
    constexpr size_t kLen = N - 1 < static_cast<size_t>(MP_TRACE_NAME_MAX) ? N - 1 : MP_TRACE_NAME_MAX;
    if (depth >= 0 && depth < MP_TRACE_ENTRIES) {
        char* entry = names[depth];
        for (size_t i = 0; i < kLen; i++) entry[i] = name[i];
        entry[kLen] = '\0';
    }
    depth++;
}

// MP_trace_leave: a pop without a push would make the next push store below the stack.
inline void leave() {
    if (depth > 0) depth--;
}
}  // namespace mp_trace_detail

// Pushes a name for the life of a scope, so that every return path pops it.
class MP_TraceScope {
public:
    // A name in a character array (a literal, as every traced function passes its own name).
    template <size_t N>
    explicit MP_TraceScope(const char (&name)[N]) {
        mp_trace_detail::enter_array(name);
    }
    // A name behind a pointer.
    template <typename T>
        requires(std::is_convertible_v<T, const char*> && !std::is_array_v<std::remove_reference_t<T>>)
    explicit MP_TraceScope(T&& name) {
        MP_trace_enter(name);
    }
    ~MP_TraceScope() { mp_trace_detail::leave(); }
    MP_TraceScope(const MP_TraceScope&) = delete;
    MP_TraceScope& operator=(const MP_TraceScope&) = delete;
};
#define MP_TRACE(name) MP_TraceScope mp_trace_scope_(name)

// The log core and its three entry points. Results carry no information.
int MP_log_line(int level, const char* label, const char* text, int force);
// A line composed in place, for a text built piece by piece at a high rate (the tag store's):
// MP_log_open_line writes the stamp and the label into the ring slot that the next line takes
// and returns where the text goes, with *room the number of text characters that the slot
// keeps. The caller writes its text there, at most *room characters, and then calls
// MP_log_close_untrusted_line with their count, which stores the line and writes it out under
// the level rule. Nothing may be logged in between.
char* MP_log_open_line(const char* label, size_t label_len, size_t* room);
// The text holds a service's bytes (the names and texts of tags): the ring keeps them as they
// are, and they are escaped as MP_log_untrusted escapes them, and below Debug=3 redacted
// (MP_log_add_secret), whenever the line is written, now or with the lines held back for an
// error. The tag store logs a line for every store, and most of them are never written.
int MP_log_close_untrusted_line(int level, size_t text_len, int force);
int MP_log(const char* label, const char* text);
int MP_logl(int level, const char* label, const char* text);
int MP_errlog(const char* label, const char* text);

// Lines that hold credentials: the settings in force, and what a bridge sends (the Basic
// authorization, the identify message). They are written as level-3 lines, only when the debug
// level is 3 or more; the recent-lines ring keeps their stamp and label with MP_LOG_WITHHELD
// for a text, so that an error at debug level 0 shows where such a line was but not what it held.
inline constexpr int MP_LOG_SECRET_LEVEL = 3;
inline constexpr char MP_LOG_WITHHELD[] = "(withheld below Debug=3)";
int MP_log_secret(const char* label, const char* text);

// Credentials in any other line. A service may send back what it received (an error page that
// echoes the request's headers, a message that repeats the identify), and such text reaches the
// log as a service's text, a flattened message or a tag store. So the bridges register their
// credentials here once their settings are read, in every form in which they are sent, and
// below Debug=3 every line that the log writes, or keeps for a later error, shows
// MP_LOG_REDACTED in place of each occurrence, in its label and its text, whatever its source.
// An empty text is never a secret. A secret shorter than MP_LOG_SECRET_WORD bytes (a one-letter
// password) is replaced only where it stands alone, with no letter or digit right before or
// after it: every "a" or every "12" of the log replaced would leave it unreadable, while such a
// credential sent back by a service still stands alone (in quotes, behind a colon, at the end
// of a header line).
inline constexpr int MP_LOG_SECRETS_MAX = 16;
inline constexpr int MP_LOG_SECRET_POOL = 8192;  // bytes of all secrets together
inline constexpr size_t MP_LOG_SECRET_WORD = 4;
inline constexpr char MP_LOG_REDACTED[] = "***";
// Registers len bytes of text as a secret (the log keeps a copy); the lines already kept are
// redacted afresh. Returns 0 (also for an empty text or one registered before), or -1 when
// MP_LOG_SECRETS_MAX secrets or the pool are used up and it is not kept.
int MP_log_add_secret(const char* text, size_t len);
// Forgets every registered secret (MP_log_reset does so too).
void MP_log_forget_secrets();

// Text from a service: len bytes of text, which need no terminator (a window of a receive
// buffer), logged with its control bytes escaped, so that nothing a service sends reaches a
// terminal as a control or forges a log line. CR, LF and tab show as \r, \n and \t; other bytes
// below 32, DEL and the C1 controls 0x80-0x9F as \xNN; a C1 control in its UTF-8 form (C2 80
// to C2 9F, among them CSI and OSC) as \xc2\xNN. Every other byte is kept. Level 1 follows
// MP_log's rule, any other level MP_logl's. A long text is written whole; the ring keeps what
// fits of its escaped form.
int MP_log_untrusted(int level, const char* label, const char* text, size_t len);
// The escaping of MP_log_untrusted, for service text that goes into a label or an error line:
// len bytes of text into out (size bytes, terminator included), whole escapes only. Returns the
// number of characters written; *used, when given, gets the number of text bytes they show.
size_t MP_escape_untrusted(char* out, size_t size, const char* text, size_t len, size_t* used);

#if defined(__MINGW32__) && !defined(__clang__)
#define MP_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define MP_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// printf-style forms: the text is composed into a static buffer of 4,096 bytes, cut there.
// MP_logf at level 1 follows MP_log (forced by a non-zero debug level); at any other level it
// follows MP_logl.
int MP_logf(int level, const char* label, const char* format, ...) MP_PRINTF(3, 4);
int MP_errlogf(const char* label, const char* format, ...) MP_PRINTF(2, 3);
// MP_log_secret for a printf-style text.
int MP_logf_secret(const char* label, const char* format, ...) MP_PRINTF(2, 3);

int MP_open_log();
int MP_close_log();
int MP_log_file_size(const char* path);
const char* MP_libcommon_version();

// Empties the recent-lines ring, forgets the registered secrets and marks the log as not open
// (the programs' initialisation). A stream that is still open is closed without a banner, so
// that no file handle is left over.
void MP_log_reset();
// Whether a log file is open.
bool MP_log_is_open();

// Copies n bytes from src to dest, which must not overlap, a word at a time and inline: the
// texts of a tag store are mostly a few dozen bytes, for which a call into the C library
// costs more than the copy. The last word ends at n, so no byte outside the n is touched.
inline void MP_copy_bytes(char* dest, const char* src, size_t n) {
    if (n < 8) {
        for (size_t i = 0; i < n; i++) dest[i] = src[i];
        return;
    }
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        unsigned long long w;
        memcpy(&w, src + i, 8);
        memcpy(dest + i, &w, 8);
    }
    if (i < n) {
        unsigned long long w;
        memcpy(&w, src + n - 8, 8);
        memcpy(dest + n - 8, &w, 8);
    }
}

// Bounded appenders for composing frequent log texts without printf (the tag store writes one
// line per store). Each writes from pos but never at or past end - 1, keeps the text
// zero-terminated and returns the position after the last character written; when pos is
// already at or past end it writes nothing.
char* MP_cat_text(char* pos, char* end, const char* text);
// As "%*d": the decimal value, right-aligned in at least width characters.
char* MP_cat_int(char* pos, char* end, int value, int width);
// The decimal digits of value, last digit first, with a trailing '-' for a negative value;
// returns how many were written (at most 11). The magnitude is taken as unsigned so that the
// most negative int converts without overflow.
inline int MP_digits_reversed(char (&digits)[12], int value) {
    int n = 0;
    unsigned int mag = value < 0 ? 0u - static_cast<unsigned int>(value)
                                 : static_cast<unsigned int>(value);
    do {
        digits[n++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag);
    if (value < 0) digits[n++] = '-';
    return n;
}
// Two decimal digits of a value from 0 to 99 (no terminator): the fields of log stamps and
// date texts.
inline void MP_put_two_digits(char* out, int v) {
    out[0] = static_cast<char>('0' + v / 10 % 10);
    out[1] = static_cast<char>('0' + v % 10);
}
// As "%*s": the text, right-aligned in at least width characters.
char* MP_cat_padded(char* pos, char* end, const char* text, int width);

// The fixed 24-character date text of C's asctime, "Www Mmm dd hh:mm:ss yyyy" with the day
// padded by a blank, without a line end; out holds at least 25 bytes. Returns 0, or -1 with
// out empty when the fields are out of range or the year does not have four digits.
int MP_asctime_text(const struct tm* tm, char* out);
