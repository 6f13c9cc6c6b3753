// lcd_letters.cpp - a block's texts in each of its four encodings, turned into ISO-8859-1 for LCDd
// through the bridges' table of letters.
#include <cstring>
#include <string_view>

#include "lcd.h"
#include "mp_encoding.h"
#include "mp_encoding_names.h"

namespace {

// What a broken character, or a byte that is no letter, is read as: a '?'.
constexpr unsigned long kInvalid = 0x110000;

// The output under way: whole replacements only, always zero-terminated.
struct Out {
    char* at;
    size_t room;  // bytes left before the terminator
    size_t written = 0;
    bool full = false;
    // The letter of the last byte written, which a combining mark after it may change; 0 when
    // the last character was written otherwise, or a mark could not change it.
    unsigned long last = 0;

    void put(std::string_view s) {
        if (full || s.size() > room) {
            full = true;
            return;
        }
        memcpy(at, s.data(), s.size());
        at += s.size();
        room -= s.size();
        written += s.size();
        last = 0;
    }
    void byte(unsigned char c) {
        char ch = static_cast<char>(c);
        put(std::string_view(&ch, 1));
        if (!full) last = c;
    }
    // A code point as ISO-8859-1: controls (C0, DEL, C1) as blanks; beyond 0xFF the letters it
    // stands for, or its plain form, from the bridges' table, or '?'; a combining mark changes
    // the letter before it where ISO-8859-1 has the result, and is left out otherwise.
    void code(unsigned long cp) {
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            byte(' ');
            return;
        }
        if (cp <= 0xFF) {
            byte(static_cast<unsigned char>(cp));
            return;
        }
        if (cp <= 0x10FFFF && MP_text_is_mark(static_cast<uint32_t>(cp))) {
            uint32_t made = last != 0 ? MP_text_compose(static_cast<uint32_t>(last), static_cast<uint32_t>(cp)) : 0;
            if (made != 0 && made <= 0xFF) {
                at[-1] = static_cast<char>(made);
                last = made;
            } else {
                last = 0;
            }
            return;
        }
        uint32_t letters[4];
        int k = cp <= 0x10FFFF ? MP_text_equivalent(static_cast<uint32_t>(cp), letters) : 0;
        if (k > 0) {
            char b[4];
            for (int i = 0; i < k; i++) b[i] = static_cast<char>(letters[i]);
            put(std::string_view(b, static_cast<size_t>(k)));
            if (k == 1 && !full) last = letters[0];
            return;
        }
        int len = 0;
        const char* plain = cp <= 0x10FFFF ? MP_text_plain_form(static_cast<uint32_t>(cp), &len) : nullptr;
        if (plain != nullptr)
            put(std::string_view(plain, static_cast<size_t>(len)));
        else
            byte('?');
    }
};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at s (n bytes there), or -1.
long hex4(const unsigned char* s, size_t n) {
    if (n < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_value(static_cast<char>(s[i]));
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// One UTF-8 character at s (n bytes there): its code point and length, or a length of the
// bytes that make up one broken character (its lead and the continuation bytes that follow)
// and a code point of -1.
long utf8_char(const unsigned char* s, size_t n, size_t* used) {
    unsigned char c = s[0];
    size_t need;
    unsigned long cp;
    unsigned long least;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1, cp = c & 0x1Fu, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2, cp = c & 0x0Fu, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3, cp = c & 0x07u, least = 0x10000;
    } else {
        // A continuation byte without its lead, an over-long lead (C0, C1) or no lead at all.
        *used = 1;
        return -1;
    }
    size_t i = 1;
    for (; i <= need && i < n && (s[i] & 0xC0) == 0x80; i++) cp = (cp << 6) | (s[i] & 0x3Fu);
    *used = i;
    if (i <= need) return -1;  // cut short
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return static_cast<long>(cp);
}

// One character of UTF-8 at s (n bytes there) into out, a broken one as '?'; returns the bytes
// it took.
size_t utf8_letter(const unsigned char* s, size_t n, Out& out) {
    if (s[0] < 0x80) {
        out.code(s[0]);
        return 1;
    }
    size_t used;
    long cp = utf8_char(s, n, &used);
    out.code(cp < 0 ? kInvalid : static_cast<unsigned long>(cp));
    return used;
}

// Raw: the texts as the services sent them inside their JSON strings. Escapes are undone; a
// multi-byte character that the bridge kept (channel names) is decoded.
void raw_text(const unsigned char* s, size_t n, Out& out) {
    size_t i = 0;
    while (i < n && !out.full) {
        unsigned char c = s[i];
        if (c == '\\' && i + 1 < n) {
            unsigned char e = s[i + 1];
            switch (e) {
            case '"': case '\\': case '/':
                out.byte(e);
                i += 2;
                continue;
            case 'b': case 'f': case 'n': case 'r': case 't':
                out.byte(' ');
                i += 2;
                continue;
            case 'u': {
                long cp = hex4(s + i + 2, n - i - 2);
                if (cp < 0) {
                    // A "\u" cut short (the text was cut at its field) or not followed by hex.
                    out.byte('?');
                    i += 2;
                    continue;
                }
                i += 6;
                // A surrogate pair stands for one letter beyond U+FFFF; a half alone for none.
                if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i] == '\\' && s[i + 1] == 'u') {
                    long low = hex4(s + i + 2, n - i - 2);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        i += 6;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                }
                out.code(cp >= 0xD800 && cp <= 0xDFFF ? kInvalid : static_cast<unsigned long>(cp));
                continue;
            }
            default:
                // Not an escape of JSON: the backslash stands for itself.
                out.byte('\\');
                i += 1;
                continue;
            }
        }
        i += utf8_letter(s + i, n - i, out);
    }
}

// Windows-1252's letters 0x80-0x9F, which ISO-8859-1 lacks, in their plain form from the
// bridges' table ("EUR", "...", 'S'); '?' for its five empty places.
void windows_1252(const unsigned char* s, size_t n, Out& out) {
    for (size_t i = 0; i < n && !out.full; i++) {
        uint32_t cp = MP_cp1252_char(s[i]);
        if (cp == 0)
            out.byte('?');
        else
            out.code(cp);
    }
}

void ascii(const unsigned char* s, size_t n, Out& out) {
    for (size_t i = 0; i < n && !out.full; i++) out.code(s[i] < 0x80 ? s[i] : kInvalid);
}

void utf8(const unsigned char* s, size_t n, Out& out) {
    size_t i = 0;
    while (i < n && !out.full) i += utf8_letter(s + i, n - i, out);
}

}  // namespace

size_t lcd_latin1(vr_encoding enc, const char* in, size_t len, char* out, size_t size) {
    if (size == 0) return 0;
    // A text ends at its zero byte, as every field of a block does.
    const void* zero = len ? memchr(in, '\0', len) : nullptr;
    if (zero) len = static_cast<size_t>(static_cast<const char*>(zero) - in);
    Out o{out, size - 1};
    const auto* s = reinterpret_cast<const unsigned char*>(in);
    switch (enc) {
    case VR_TEXT_WINDOWS_1252: windows_1252(s, len, o); break;
    case VR_TEXT_ASCII: ascii(s, len, o); break;
    case VR_TEXT_UTF8: utf8(s, len, o); break;
    case VR_TEXT_RAW:
    default: raw_text(s, len, o); break;
    }
    out[o.written] = '\0';
    return o.written;
}
