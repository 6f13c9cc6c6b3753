// mp_encoding.cpp - the Text_Encoding setting, received text cleaned in pieces, cleaned text
// moved with its code points, and text values converted as the flattener stores them.
#include "mp_encoding.h"

#include <cstdint>
#include <cstring>

#include "mp_log.h"
#include "mp_text.h"

int MP_Global_TextEncoding = MP_TEXT_RAW;

namespace {

// The text that the flattener runs on, as its caller named it.
const char* named_text = nullptr;
const MP_TextPoint* named_points = nullptr;
int named_len = 0;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The bytes that a lead byte announces, as the Raw filter has always counted them.
int class_length(unsigned char lead) {
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead < 0xFC ? 5 : 6;
}

// The bytes of the sequence whose lead byte stands at s, within avail bytes: the lead and the
// continuation bytes behind it, up to its class length. *cut tells a sequence that the end of
// the bytes cut short (rather than a byte that is no continuation).
int sequence_length(const unsigned char* s, int avail, bool* cut) {
    int n = class_length(s[0]);
    int k = 1;
    while (k < n && k < avail && is_continuation(s[k])) k++;
    *cut = k < n && k == avail;
    return k;
}

// The character of a sequence of k bytes, or MP_TEXT_INVALID.
MP_TextPoint character_of(const unsigned char* s, int k) {
    int n = class_length(s[0]);
    if (k < n || n > 4) return MP_TEXT_INVALID;
    MP_TextPoint cp = s[0] & (0x7Fu >> n);
    for (int i = 1; i < k; i++) cp = (cp << 6) | (s[i] & 0x3Fu);
    static constexpr MP_TextPoint kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return MP_TEXT_INVALID;
    return cp;
}

// Position of the first byte of 0xC0 or above at or after from, or len.
int next_lead(const char* text, int from, int len) {
    return static_cast<int>(MP_next_lead(text, static_cast<size_t>(from), static_cast<size_t>(len)));
}

// Copies the code points of the tokens among n bytes of text (already in place at dest).
void copy_points(const char* dest, MP_TextPoint* dest_points, const MP_TextPoint* src_points, int n) {
    for (int p = next_lead(dest, 0, n); p < n; p = next_lead(dest, p + 1, n)) dest_points[p] = src_points[p];
}

// Whether n bytes at src lie within the named text, so that its bytes of 0xC0 and above are
// tokens. Compared as addresses: the bytes may belong to any buffer.
bool in_named(const char* src, int n) {
    if (named_text == nullptr || named_points == nullptr) return false;
    auto at = reinterpret_cast<uintptr_t>(src);
    auto base = reinterpret_cast<uintptr_t>(named_text);
    return at >= base && at + static_cast<uintptr_t>(n) <= base + static_cast<uintptr_t>(named_len);
}

// The value of four hex digits at s (avail bytes there), or -1; *digits gets how many of them
// are hex digits before the first that is not.
int hex4(const char* s, int avail, int* digits) {
    int v = 0;
    int i = 0;
    for (; i < 4 && i < avail; i++) {
        char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) break;
        v = v * 16 + d;
    }
    *digits = i;
    return i == 4 ? v : -1;
}

// The converted text as it grows: whole characters only, up to MP_TEXT_CONVERTED_MAX bytes.
struct Output {
    char* out;
    int len;
    // The letter that the last byte written stands for, which a combining mark after it may
    // change (Windows-1252); 0 when the last character was written otherwise, or a mark could
    // not change it (the marks after it are then left out too).
    MP_TextPoint last = 0;

    bool character(MP_TextPoint cp) {
        // UTF-8 keeps a mark as it is; the other encodings write the letter that the mark makes
        // with the one before it where they have one, and leave the mark out otherwise.
        if (MP_Global_TextEncoding != MP_TEXT_UTF8 && MP_text_is_mark(cp)) {
            MP_TextPoint made = last != 0 ? MP_text_compose(last, cp) : 0;
            unsigned char b = made != 0 && MP_Global_TextEncoding == MP_TEXT_WINDOWS_1252 ? MP_text_cp1252_byte(made) : 0;
            if (b != 0) out[len - 1] = static_cast<char>(b);
            last = b != 0 ? made : 0;
            return true;
        }
        int n = MP_text_put_char(MP_Global_TextEncoding, cp, out + len, MP_TEXT_CONVERTED_MAX - len);
        len += n;
        // One byte for a letter: its own byte in Windows-1252 (a one-letter plain form or a '?'
        // stands for a letter that no mark composes with, which leaves the marks out as well).
        last = n == 1 ? cp : 0;
        return n > 0;
    }
    bool bytes(const char* s, int n) {
        if (n > MP_TEXT_CONVERTED_MAX - len) return false;
        memcpy(out + len, s, static_cast<size_t>(n));
        len += n;
        last = 0;
        return true;
    }
    int done() {
        out[len] = '\0';
        return len;
    }
};

// The bytes from i on that stand for themselves in every encoding: printable ASCII but the
// backslash. Received texts are mostly such runs, which then go in one copy.
int plain_run(const char* src, int i, int n) {
    int j = i;
    // Eight bytes at a time while none of them is a control, DEL, a backslash or above ASCII:
    // (v - 0x01..) & ~v & 0x80.. is not 0 exactly when a byte of v is 0.
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kTops = 0x8080808080808080ULL;
    while (n - j >= 8) {
        uint64_t v;
        memcpy(&v, src + j, sizeof v);
        uint64_t below = (v - kOnes * 0x20) & ~v & kTops;
        uint64_t slash = v ^ (kOnes * '\\');
        uint64_t del = v ^ (kOnes * 0x7F);
        if (((v & kTops) | below | ((slash - kOnes) & ~slash & kTops) | ((del - kOnes) & ~del & kTops)) != 0) break;
        j += 8;
    }
    while (j < n) {
        unsigned char c = static_cast<unsigned char>(src[j]);
        if (c < 0x20 || c >= 0x7F || c == '\\') break;
        j++;
    }
    return j - i;
}

// Copies a plain run as far as the text has room; false when the room ended it.
bool plain(Output& o, const char* src, int* i, int run) {
    int room = MP_TEXT_CONVERTED_MAX - o.len;
    int k = run < room ? run : room;
    memcpy(o.out + o.len, src + *i, static_cast<size_t>(k));
    o.len += k;
    *i += k;
    if (k > 0) o.last = static_cast<unsigned char>(o.out[o.len - 1]);
    return k == run;
}

// The character that begins at src[i], a byte of 0x80 or above, and the bytes it takes: a token
// of a named text, a sequence of a raw one, or a stray continuation byte (invalid).
MP_TextPoint character_at(const char* src, int i, int n, bool named, int* used) {
    auto u = reinterpret_cast<const unsigned char*>(src);
    *used = 1;
    if (u[i] < 0xC0) return MP_TEXT_INVALID;
    if (named) return named_points[src + i - named_text];
    bool cut;
    *used = sequence_length(u + i, n - i, &cut);
    return character_of(u + i, *used);
}

// The character of a \u escape at src[i] (the backslash), surrogate pairs joined, and the bytes
// it takes: 6, 12 for a pair, or those of a damaged escape (\u and its hex digits), invalid.
MP_TextPoint unicode_escape(const char* src, int i, int n, int* used) {
    int digits = 0;
    int v = hex4(src + i + 2, n - i - 2, &digits);
    if (v < 0) {
        *used = 2 + digits;
        return MP_TEXT_INVALID;
    }
    *used = 6;
    if (v >= 0xDC00 && v <= 0xDFFF) return MP_TEXT_INVALID;  // a low half alone
    if (v < 0xD800 || v > 0xDBFF) return static_cast<MP_TextPoint>(v);
    // A high half counts only with the low half right behind it.
    int low_digits = 0;
    int low = i + 6 + 1 < n && src[i + 6] == '\\' && src[i + 7] == 'u' ? hex4(src + i + 8, n - i - 8, &low_digits) : -1;
    if (low < 0xDC00 || low > 0xDFFF) return MP_TEXT_INVALID;
    *used = 12;
    return 0x10000 + ((static_cast<MP_TextPoint>(v) - 0xD800) << 10) + (static_cast<MP_TextPoint>(low) - 0xDC00);
}

}  // namespace

int MP_text_encoding_setting(const char* label, const char* value, const char* key) {
    MP_TRACE("MP_text_encoding_setting");
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (space(*value)) value++;
    size_t len = 0;
    while (value[len] != '\0' && !space(value[len])) len++;
    int e = MP_text_encoding_named(value, len);
    if (e < 0) {
        // The value comes from a file that others may have written: escaped, and cut short.
        char shown[128];
        size_t used = 0;
        MP_escape_untrusted(shown, sizeof shown, value, len, &used);
        MP_errlogf(label, "%s value \"%s%s\" is no text encoding (Raw, Windows-1252, ASCII or UTF-8); using Raw",
                   key, shown, used < len ? "..." : "");
        e = MP_TEXT_RAW;
    }
    MP_Global_TextEncoding = e;
    return e;
}

int MP_text_clean(char* text, MP_TextPoint* points, int from, int len, bool last, int* held) {
    if (held) *held = 0;
    if (from < 0) from = 0;
    if (len <= from) return len > 0 ? len : 0;
    bool tokens = MP_text_readable() && points != nullptr;
    auto u = reinterpret_cast<unsigned char*>(text);
    // Nothing moves before the first lead byte, so the text up to there is only looked at.
    int r = next_lead(text, from, len);
    int w = r;
    while (r < len) {
        bool cut;
        int k = sequence_length(u + r, len - r, &cut);
        if (cut && !last) {
            // The rest of this character comes with the next piece.
            memmove(text + w, text + r, static_cast<size_t>(k));
            if (held) *held = k;
            return w;
        }
        if (tokens) {
            points[w] = character_of(u + r, k);
            text[w] = MP_TEXT_TOKEN;
        } else {
            text[w] = ' ';
        }
        w++;
        r += k;
        // The plain run up to the next lead byte moves down as one block.
        int next = next_lead(text, r, len);
        memmove(text + w, text + r, static_cast<size_t>(next - r));
        w += next - r;
        r = next;
    }
    return w;
}

void MP_text_drop(char* text, MP_TextPoint* points, int len, int k) {
    if (k <= 0 || len <= 0) return;
    if (k > len) k = len;
    int rest = len - k;
    memmove(text, text + k, static_cast<size_t>(rest));
    // Forward: every token's point moves to a lower index than it is read from.
    if (MP_text_readable() && points != nullptr) copy_points(text, points, points + k, rest);
}

void MP_text_copy(char* dest, MP_TextPoint* dest_points, const char* src, const MP_TextPoint* src_points, int n) {
    if (n <= 0) return;
    memcpy(dest, src, static_cast<size_t>(n));
    if (MP_text_readable() && dest_points != nullptr && src_points != nullptr) copy_points(dest, dest_points, src_points, n);
}

void MP_text_name(const char* text, const MP_TextPoint* points, int len) {
    named_text = text;
    named_points = text != nullptr ? points : nullptr;
    named_len = text != nullptr && len > 0 ? len : 0;
}

MP_TextNamed::MP_TextNamed(const char* text, const MP_TextPoint* points, int len)
    : text_(named_text), points_(named_points), len_(named_len) {
    MP_text_name(text, points, len);
}

MP_TextNamed::~MP_TextNamed() { MP_text_name(text_, points_, len_); }

void MP_text_blank_tokens(char* dest, const char* src, int n) {
    if (!in_named(src, n)) return;
    for (int p = next_lead(dest, 0, n); p < n; p = next_lead(dest, p + 1, n)) dest[p] = ' ';
}

bool MP_text_is_date(const char* src, int n) { return n >= 7 && memcmp(src, "\\/Date(", 7) == 0; }

namespace {

// An array's text (array set) keeps its escapes as they arrived; other text has them decoded.
int convert(char* out, const char* src, int n, bool array) {
    Output o{out, 0};
    bool named = in_named(src, n);
    int i = 0;
    while (i < n) {
        int run = plain_run(src, i, n);
        if (run > 0) {
            if (!plain(o, src, &i, run)) break;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(src[i]);
        unsigned char next = i + 1 < n ? static_cast<unsigned char>(src[i + 1]) : 0;
        if (array && c == '\\' && next >= 0x20 && next < 0x7F) {
            // An escape stays as it arrived, whole: \u and its hex digits, or two characters.
            int digits = 0;
            int len = next == 'u' ? 2 + (hex4(src + i + 2, n - i - 2, &digits), digits) : 2;
            if (!o.bytes(src + i, len)) break;
            i += len;
            continue;
        }
        MP_TextPoint cp = c;
        int used = 1;
        if (!array && c == '\\' && i + 1 < n) {
            used = 2;
            switch (src[i + 1]) {
                case '"': cp = '"'; break;
                case '\\': cp = '\\'; break;
                case '/': cp = '/'; break;
                // Line breaks, tabs and the like: controls, which are written as blanks.
                case 'b': cp = '\b'; break;
                case 'f': cp = '\f'; break;
                case 'n': cp = '\n'; break;
                case 'r': cp = '\r'; break;
                case 't': cp = '\t'; break;
                case 'u': cp = unicode_escape(src, i, n, &used); break;
                default:
                    // No escape of JSON: the backslash stays, and what follows is read on its own.
                    used = 1;
                    break;
            }
        } else if (c >= 0x80) {
            cp = character_at(src, i, n, named, &used);
        }
        if (!o.character(cp)) break;
        i += used;
    }
    return o.done();
}

}  // namespace

int MP_text_convert(char* out, const char* src, int n) { return convert(out, src, n, false); }

int MP_text_convert_array(char* out, const char* src, int n) { return convert(out, src, n, true); }

void MP_text_marker(char* out) {
    memset(out, 0, MP_TEXT_MARKER_SIZE);
    int e = MP_Global_TextEncoding >= 0 && MP_Global_TextEncoding < MP_TEXT_ENCODINGS ? MP_Global_TextEncoding : MP_TEXT_RAW;
    size_t head = sizeof MP_TEXT_MARKER_HEAD - 1;
    memcpy(out, MP_TEXT_MARKER_HEAD, head);
    memcpy(out + head, MP_TEXT_ENCODING_NAMES[e], strlen(MP_TEXT_ENCODING_NAMES[e]));
}
