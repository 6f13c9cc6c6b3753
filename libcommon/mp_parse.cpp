// mp_parse.cpp - the single-pass flattener that turns compact JSON into dotted tag names.
#include "mp_parse.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"

namespace {

constexpr int NAME_CHARS = 63;    // a tag name fits the table's 64-byte name with its zero
constexpr int VALUE_CHARS = 256;  // a string value is cut here before it is stored
constexpr int TEXT_CHARS = 4095;  // array texts, property values and reported messages

// Working buffers. Each is filled and handed to the tag table before the scan goes on, and
// nothing in them is needed once a nested object has been flattened, so every level of
// nesting can share them.
char g_name[NAME_CHARS + 1];
char g_value[VALUE_CHARS + 1];
char g_text[TEXT_CHARS + 1];
char g_message[TEXT_CHARS + 1];
int g_depth;  // nested objects open in the current flattening

// A dry run stores and reports nothing; it hands each store to its visitor, if any. A real run
// hands each store to its visitor, if any, once made.
bool g_dry = false;
MP_ParseVisitor g_visit = nullptr;
void* g_visit_context = nullptr;
// Set whenever the scan reads the text's terminating zero.
bool g_reached_end = false;

// Whether the scan writes its stores and reports: not in a dry run.
bool reporting() { return !g_dry; }

void store(const char* name, int type, int ival, const char* text, bool dates = true) {
    int entry = 0;
    if (!g_dry) entry = dates ? MP_put_tag(name, type, ival, text) : MP_put_tag_undated(name, type, ival, text);
    if (g_visit) g_visit(name, type, ival, text, entry, g_visit_context);
}

// Whether text[i] is the text's terminating zero; reading it is noted.
bool at_zero(const char* text, int i) {
    if (text[i] != '\0') return false;
    g_reached_end = true;
    return true;
}

const char* const PROPERTIES = "Properties.";

// Index of the first `sought` at or after start, or -1. A backslash hides itself and the
// character after it, so an escaped quote never ends a string; a backslash too close to the
// end finds nothing. This is the library's strfind rule, but it stops at the text's zero
// instead of measuring the whole text first: flattening one object of a long response then
// costs the bytes of that object, not those of the response. start must not lie past the zero.
// sought is one of the three characters that the flattener searches for: '"', ']' or '{'.
//
// Most of a text is passed over here, inside names and string values, so the runs in between
// are passed over by strcspn, which the C library does many bytes at a time; it stops at the
// sought character, a backslash or the zero.
int find_unescaped(const char* text, char sought, int start) {
    const char* stops = sought == '"' ? "\"\\" : sought == ']' ? "]\\" : "{\\";
    for (int p = start;; ++p) {
        p += static_cast<int>(strcspn(text + p, stops));
        char c = text[p];
        if (c == '\0' || (c == '\\' && (text[p + 1] == '\0' || text[p + 2] == '\0'))) {
            g_reached_end = true;
            return -1;
        }
        if (c == '\\') {
            p += 2;
            c = text[p];
        }
        if (c == sought) return p;
    }
}

// Whether the n characters from p on all lie before the text's zero.
bool readable(const char* text, int p, int n) {
    for (int j = 0; j < n; ++j)
        if (at_zero(text, p + j)) return false;
    return true;
}

// Position one past the text's zero: where a scan that gives up on the rest of the text ends.
int past_end(const char* text, int from) {
    return from + static_cast<int>(strlen(text + from)) + 1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Copies n characters into a buffer of cap characters (plus the zero), cut to fit.
void copy_cut(char* dest, int cap, const char* src, int n) {
    if (n > cap) n = cap;
    memcpy(dest, src, static_cast<size_t>(n));
    dest[n] = '\0';
}

// Stores a string value (a member's or a property's) under the name in g_name: in Raw, and for
// a date, as it stands, cut to cap characters; in the readable encodings converted.
void store_string(char* buf, int cap, const char* src, int n) {
    if (!MP_text_readable() || MP_text_is_date(src, n)) {
        copy_cut(buf, cap, src, n);
        store(g_name, MP_TYPE_TEXT, 0, buf);
        return;
    }
    MP_text_convert(buf, src, n);
    store(g_name, MP_TYPE_TEXT, 0, buf, false);
}

// The beginning of the full names of one object's members: the prefix and its ".", as far as
// they fit. Once written into g_name it stays there for the following members of the object,
// until anything else writes g_name (a property run, a nested object).
struct NameHead {
    bool in_name;  // g_name begins with the head
    int used;      // characters of g_name that the head takes
    int total;     // the head's whole length, what does not fit included
};

// Builds the full name (prefix, ".", member; or the member alone) into g_name, cut to 63
// characters, and returns its whole length, so that the caller can tell a name that fits.
int build_name(const char* prefix, int prefix_len, const char* member, int member_len,
               NameHead& head) {
    if (!head.in_name) {
        head.used = 0;
        head.total = 0;
        if (prefix_len != 0) {
            // The prefix is read no further than one character past what a name can hold.
            int plen = static_cast<int>(strnlen(prefix, NAME_CHARS + 1));
            int used = plen > NAME_CHARS ? NAME_CHARS : plen;
            memcpy(g_name, prefix, static_cast<size_t>(used));
            if (used < NAME_CHARS) g_name[used++] = '.';
            head.used = used;
            head.total = plen + 1;
        }
        head.in_name = true;
    }
    int used = head.used;
    int total = head.total;
    int room = NAME_CHARS - used;
    int n = member_len < room ? member_len : room;
    MP_text_copy_name(g_name + used, member, n);
    g_name[used + n] = '\0';
    return total + member_len;
}

void report_long_name(const char* where, int at) {
    if (!reporting()) return;
    MP_errlogf(where, "Tag name longer than %d characters at %d, nothing stored", NAME_CHARS, at);
}

void report_illegal(const char* text, int at) {
    if (!reporting()) return;
    int head = snprintf(g_message, sizeof g_message, "Illegal character code %d found at %d on line:",
                        static_cast<int>(static_cast<signed char>(text[at])), at);
    // The scanned text follows, escaped (it came from a service) and cut so that the whole
    // message fits the buffer.
    size_t room = sizeof g_message - static_cast<size_t>(head);
    MP_escape_untrusted(g_message + head, room, text, strnlen(text, room), nullptr);
    MP_errlog("Parse_item:", g_message);
}

// Reads a number that starts at s (a digit or "-") and stores it. Returns where the scan goes
// on: past every following digit and "-". A number beyond 32 bits keeps its digits as its text
// and the nearest 32-bit value as its integer; a "-" without digits stores nothing.
int parse_number(const char* text, int s, bool name_fits, int at) {
    int j = s;
    bool negative = text[j] == '-';
    if (negative) ++j;
    long long limit = negative ? 2147483648LL : 2147483647LL;
    long long value = 0;
    bool beyond = false;
    int first_digit = j;
    for (; is_digit(text[j]); ++j) {
        if (beyond) continue;
        value = value * 10 + (text[j] - '0');
        beyond = value > limit;
    }
    int end = j;
    while (is_digit(text[end]) || text[end] == '-') ++end;
    at_zero(text, end);
    if (j == first_digit) {
        if (reporting()) MP_errlogf("Parse_item:", "No digits in number at %d, nothing stored", s);
        return end;
    }
    if (!name_fits) {
        report_long_name("Parse_item:", at);
        return end;
    }
    int ival;
    if (beyond) {
        ival = negative ? INT_MIN : INT_MAX;
        copy_cut(g_value, VALUE_CHARS, text + s, j - s);
    } else {
        ival = static_cast<int>(negative ? -value : value);
        // The decimal text of the value, as "%d" gives it: the digits just read, without
        // leading zeros, and the sign unless the value is 0. Nine of the twenty members of a
        // recording are numbers.
        char* v = g_value;
        if (negative && ival != 0) *v++ = '-';
        int first = first_digit;
        while (first < j - 1 && text[first] == '0') first++;
        int n = j - first;  // at most 10 digits: the value is within 32 bits
        for (int d = 0; d < n; d++) v[d] = text[first + d];
        v[n] = '\0';
    }
    store(g_name, MP_TYPE_INT, ival, g_value);
    return end;
}

bool parse_item(const char* label, char* prefix, const char* text, int* pos, int* prefix_len);

// Reads a run of {"Tag":"#name","Value":"value"} elements from *pos on. Returns true when the
// position has been moved past the text's zero, so that no caller reads there.
bool parse_tags(const char* prefix, const char* text, int* pos) {
    MP_TRACE("MP_Parse_tags");
    int p = *pos;
    if (p < 0) {
        if (reporting()) MP_errlogf("Parse_tags:", "Position %d lies before the text", p);
        return true;
    }
    while (text[p] == '{' || text[p] == ',') {
        // Nothing in front of the name is looked at; the name's first character is dropped.
        int a = readable(text, p, 9) ? find_unescaped(text, '"', p + 9) : -1;
        if (a < 0) {
            if (reporting()) MP_errlogf("Parse_tags:", "Cant find terminating quote for Tag at %d", p);
            *pos = past_end(text, p);
            return true;
        }
        int b = readable(text, a, 11) ? find_unescaped(text, '"', a + 11) : -1;
        if (b < 0) {
            if (reporting()) MP_errlogf("Parse_tags:", "Cant find terminating quote for Value at %d", a);
            *pos = past_end(text, a);
            return true;
        }
        int name_len = a - (p + 9);
        if (b > a + 11) {
            int plen = static_cast<int>(strlen(prefix));
            if (plen + name_len > NAME_CHARS) {
                report_long_name("Parse_tags:", p + 9);
            } else {
                memcpy(g_name, prefix, static_cast<size_t>(plen));
                MP_text_copy_name(g_name + plen, text + p + 9, name_len);
                g_name[plen + name_len] = '\0';
                store_string(g_text, TEXT_CHARS, text + a + 11, b - (a + 11));
            }
        }
        // The element ends with "}" and a separator; the next one starts behind them.
        *pos = b + 3;
        if (at_zero(text, b + 1) || at_zero(text, b + 2)) return true;
        p = b + 3;
        if (at_zero(text, p)) return false;
    }
    if (!at_zero(text, p)) *pos = p + 1;
    return false;
}

// Flattens the object whose "{" (or "[" or ",") stands at *pos. Returns true when the
// position has been moved past the text's zero: the scan of the text has ended.
bool parse_item(const char* label, char* prefix, const char* text, int* pos, int* prefix_len) {
    MP_TRACE("MP_Parse_item");
    int p = *pos;
    if (p < 0) {
        if (reporting()) MP_errlogf("Parse_item:", "Position %d lies before the text", p);
        return true;
    }
    char c = text[p];
    if (c != '{' && c != '[' && c != ',') {
        *pos = p + 1;
        return at_zero(text, p);
    }
    *pos = p + 1;
    c = text[p + 1];
    if (c == '}' || c == ']' || c == ',' || c == '\r' || c == '\n' || at_zero(text, p + 1)) {
        *pos = p + 2;  // an empty object stores nothing
        return c == '\0';
    }
    NameHead head{false, 0, 0};
    int i = p + 1;
    while (!at_zero(text, i)) {
        if (text[i] == ',' || text[i] == '{') *pos = ++i;
        c = text[i];
        // A line break ends an object just as "}" does.
        if (c == '}' || c == ']' || c == '\r' || c == '\n' || at_zero(text, i)) {
            *pos = i + 1;
            return c == '\0';
        }
        if (c == '{') return false;  // the next object of a list: the caller goes on there
        if (c != '"') {
            report_illegal(text, i);
            *pos = i + 1;
            return false;
        }
        int q = i;
        int k = find_unescaped(text, '"', q + 1);
        if (k < 0) {
            if (reporting()) MP_errlogf("Parse_item:", "Cant find terminating quote for tagname at %d", q);
            *pos = q + 1;
            return false;
        }
        bool fits = build_name(prefix, *prefix_len, text + q + 1, k - q - 1, head) <= NAME_CHARS;
        // The ":" after the name is stepped over unseen; a name that ends the text has no value.
        int s = at_zero(text, k + 1) ? k + 1 : k + 2;
        i = *pos = s;
        c = text[s];
        bool tag_name = g_name[0] == 'T' && g_name[1] == 'a' && g_name[2] == 'g';
        if (c == '[' && tag_name && g_name[3] == 's') {
            *pos = s + 1;
            head.in_name = false;  // the run writes its own names into g_name
            if (parse_tags(PROPERTIES, text, pos)) return true;
        } else if (c == '[' && text[s + 1] == ']') {
            *pos = s + 2;  // an empty array ends this object's scan
            return false;
        } else if (c == '[') {
            // Nested arrays are not matched: the first "]" ends the stored text.
            int r = find_unescaped(text, ']', s + 1);
            if (r < 0) {
                if (reporting()) MP_errlogf("Parse_item:", "Cant find closing bracket for array at %d", s);
                *pos = past_end(text, s);
                return true;
            }
            if (fits) {
                if (MP_text_readable())
                    MP_text_convert_array(g_text, text + s, r - s + 1);
                else
                    copy_cut(g_text, TEXT_CHARS, text + s, r - s + 1);
                store(g_name, MP_TYPE_INT, 0, g_text);
            } else {
                report_long_name("Parse_item:", q);
            }
            *pos = r + 1;
        } else if (tag_name) {
            // The member is read as a property/value element that starts in front of its
            // name. When no element can start there, the scan goes on behind the name, so
            // that it always moves forward.
            int element = k - 5;
            *pos = element >= 0 ? element : q;
            head.in_name = false;  // the run writes its own names into g_name
            if (element >= 0 && parse_tags(PROPERTIES, text, pos)) return true;
            if (*pos <= q) *pos = k + 1;
        } else if (is_digit(c) || c == '-') {
            *pos = parse_number(text, s, fits, q);
        } else if (c == 'f' && strncmp(text + s, "false", 5) == 0) {
            if (fits) store(g_name, MP_TYPE_TEXT, 0, "false");
            else report_long_name("Parse_item:", q);
            *pos = s + 5;
        } else if (c == 't' && strncmp(text + s, "true", 4) == 0) {
            if (fits) store(g_name, MP_TYPE_TEXT, 1, "true");
            else report_long_name("Parse_item:", q);
            *pos = s + 4;
        } else if (c == 'n' && strncmp(text + s, "null", 4) == 0) {
            if (fits) store(g_name, MP_TYPE_TEXT, 0, "null");
            else report_long_name("Parse_item:", q);
            *pos = s + 4;
        } else if (c == '{') {
            if (g_depth >= MP_PARSE_MAX_DEPTH) {
                if (reporting())
                    MP_errlogf("Parse_item:", "Objects nested deeper than %d levels at %d, rest of text not read",
                               MP_PARSE_MAX_DEPTH, s);
                *pos = past_end(text, s);
                return true;
            }
            // The members inside are named after this member. A name too long to store is
            // kept cut, with its whole length, so that every name inside is too long as well.
            int full = static_cast<int>(strlen(g_name));
            memcpy(prefix, g_name, static_cast<size_t>(full) + 1);
            *prefix_len = fits ? full : NAME_CHARS + 1;
            ++g_depth;
            bool ended = parse_item(label, prefix, text, pos, prefix_len);
            --g_depth;
            // The prefix is emptied, not restored: members after a nested object are named
            // without any prefix.
            *prefix_len = 0;
            prefix[0] = '\0';
            head.in_name = false;  // the nested object wrote its names into g_name
            if (ended) return true;
        } else if (c == '"') {
            int e = find_unescaped(text, '"', s + 1);
            if (e < 0) {
                if (reporting()) MP_errlogf("Parse_item:", "Cant find terminating quote for value at %d", s);
                *pos = past_end(text, s);
                return true;
            }
            // An empty string stores nothing, so that a tag of that name keeps its value.
            if (e > s + 1) {
                if (fits) {
                    store_string(g_value, VALUE_CHARS, text + s + 1, e - s - 1);
                } else {
                    report_long_name("Parse_item:", q);
                }
            }
            // The character after the closing quote is stepped over unseen, even a "}".
            *pos = e + 2;
            if (at_zero(text, e + 1)) return true;
        } else {
            // Nothing the scanner knows starts here: the rest of the text is abandoned. A value
            // cut short by the text's end may have been a false, true or null.
            if (strnlen(text + s, 5) < 5) g_reached_end = true;
            if (reporting()) {
                MP_escape_untrusted(g_message, sizeof g_message, text + s,
                                    strnlen(text + s, sizeof g_message), nullptr);
                MP_errlog("Parse item: Unknown character-", g_message);
            }
            *pos = past_end(text, s);
            return true;
        }
        i = *pos;
    }
    return false;
}

// The prefix of a dry run, which the run empties after a nested object as a real run does.
char g_dry_prefix[NAME_CHARS + 2];

bool arguments_missing(const char* where, const void* a, const void* b, const void* c, const void* d) {
    if (a != nullptr && b != nullptr && c != nullptr && d != nullptr) return false;
    MP_errlog(where, "Called without a text, position or prefix");
    return true;
}

}  // namespace

void MP_Parse(const char* label, const char* text) {
    MP_TRACE("MP_Parse");
    char prefix[65] = "";
    int pos = 0;
    int prefix_len = 0;
    MP_Parse_it(label, prefix, text, &pos, &prefix_len);
}

void MP_Parse_it(const char* label, char* prefix, const char* text, int* pos, int* prefix_len) {
    MP_TRACE("MP_Parse_it");
    if (arguments_missing("Parse_it:", text, pos, prefix, prefix_len)) return;
    if (*pos < 0) {
        MP_errlogf("Parse_it:", "Position %d lies before the text", *pos);
        return;
    }
    // Each object found is flattened under the tag lock, so that its tags form one group.
    while (text[*pos] != '\0') {
        int brace = find_unescaped(text, '{', *pos);
        if (brace < 0) return;
        *pos = brace;
        MP_lock();
        bool ended = parse_item(label, prefix, text, pos, prefix_len);
        MP_unlock();
        if (ended) return;
    }
}

void MP_Parse_item(const char* label, char* prefix, const char* text, int* pos, int* prefix_len) {
    if (arguments_missing("Parse_item:", text, pos, prefix, prefix_len)) return;
    parse_item(label, prefix, text, pos, prefix_len);
}

void MP_Parse_item_visited(const char* label, char* prefix, const char* text, int* pos, int* prefix_len,
                           MP_ParseVisitor visit, void* context) {
    g_visit = visit;
    g_visit_context = context;
    MP_Parse_item(label, prefix, text, pos, prefix_len);
    g_visit = nullptr;
    g_visit_context = nullptr;
}

void MP_Parse_tags(const char* label, const char* prefix, const char* text, int* pos) {
    (void)label;  // handed down by the callers but used in no output
    if (arguments_missing("Parse_tags:", text, pos, prefix, prefix)) return;
    parse_tags(prefix, text, pos);
}

MP_ParseDryRun MP_Parse_item_dry(const char* prefix, int prefix_len, const char* text, int pos,
                                 MP_ParseVisitor visit, void* context) {
    MP_TRACE("MP_Parse_item_dry");
    MP_ParseDryRun run{pos, true, false};
    if (text == nullptr || prefix == nullptr) return run;
    // The prefix is read no further than one character past what a name can hold, as a real
    // run reads it.
    size_t plen = strnlen(prefix, NAME_CHARS + 1);
    memcpy(g_dry_prefix, prefix, plen);
    g_dry_prefix[plen] = '\0';
    int dry_prefix_len = prefix_len;
    g_dry = true;
    g_visit = visit;
    g_visit_context = context;
    g_reached_end = false;
    run.ended = parse_item("", g_dry_prefix, text, &pos, &dry_prefix_len);
    run.position = pos;
    run.reached_end = g_reached_end;
    g_dry = false;
    g_visit = nullptr;
    g_visit_context = nullptr;
    return run;
}
