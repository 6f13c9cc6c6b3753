// lcd_template.cpp - a layout line's template expanded with tag values: fields, formats, the right-hand part.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "lcd.h"

namespace {

// A part of the line under construction, cut at LCD_TEXT_MAX.
struct Part {
    char text[LCD_TEXT_MAX + 1];
    int len = 0;
    void add(const char* s, size_t n) {
        size_t room = static_cast<size_t>(LCD_TEXT_MAX - len);
        if (n > room) n = room;
        memcpy(text + len, s, n);
        len += static_cast<int>(n);
    }
    void add(std::string_view s) { add(s.data(), s.size()); }
};

enum Format { F_NONE, F_MMSS, F_HMMSS, F_HMM, F_HHMM, F_HHMMSS, F_YES, F_NO, F_UNKNOWN };

// A field's format word and, for yes= and no=, the text that follows it.
Format format_of(std::string_view f, std::string_view* arg) {
    if (f.empty()) return F_NONE;
    if (f == "mmss") return F_MMSS;
    if (f == "hmmss") return F_HMMSS;
    if (f == "hmm") return F_HMM;
    if (f == "hhmm") return F_HHMM;
    if (f == "hhmmss") return F_HHMMSS;
    if (f.substr(0, 4) == "yes=") {
        *arg = f.substr(4);
        return F_YES;
    }
    if (f.substr(0, 3) == "no=") {
        *arg = f.substr(3);
        return F_NO;
    }
    return F_UNKNOWN;
}

// The field's name with '#' replaced by number (when above 0), into name. False when it is
// empty or does not fit a tag name.
bool field_name(std::string_view raw, int number, char (&name)[VR_NAME_SIZE]) {
    char digits[12];
    int digits_len = number > 0 ? snprintf(digits, sizeof digits, "%d", number) : 0;
    size_t n = 0;
    for (char c : raw) {
        if (c == '#' && number > 0) {
            if (n + static_cast<size_t>(digits_len) >= sizeof name) return false;
            memcpy(name + n, digits, static_cast<size_t>(digits_len));
            n += static_cast<size_t>(digits_len);
        } else {
            if (n + 1 >= sizeof name) return false;
            name[n++] = c;
        }
    }
    name[n] = '\0';
    return n > 0;
}

bool reads_true(const LcdValue& v) {
    if (v.type == VR_TYPE_INT && v.ival != 0) return true;
    return v.len == 4 && memcmp(v.text, "true", 4) == 0;
}

// The clock "hh:mm:ss" inside a date text ("Mon Dec  7 23:41:51 2026") or at its start.
const char* clock_in(const LcdValue& v) {
    auto is_clock = [](const char* s) {
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        return digit(s[0]) && digit(s[1]) && s[2] == ':' && digit(s[3]) && digit(s[4]) && s[5] == ':' &&
               digit(s[6]) && digit(s[7]);
    };
    if (v.len >= 19 && is_clock(v.text + 11)) return v.text + 11;
    if (v.len >= 8 && is_clock(v.text)) return v.text;
    return nullptr;
}

void add_seconds(Part& part, Format f, long long s) {
    char buf[48];
    long long h = s / 3600, m = s / 60 % 60, sec = s % 60;
    int n = 0;
    if (f == F_MMSS) n = snprintf(buf, sizeof buf, "%02lld:%02lld", s / 60, sec);
    if (f == F_HMMSS) n = snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, sec);
    if (f == F_HMM) n = snprintf(buf, sizeof buf, "%lld:%02lld", h, m);
    if (n > 0) part.add(buf, static_cast<size_t>(n));
}

// One field "{name}" or "{name:format}" into part.
void expand_field(std::string_view field, const LcdSource& source, Part& part) {
    size_t colon = field.find(':');
    std::string_view raw_name = field.substr(0, colon);
    std::string_view arg;
    Format f = colon == std::string_view::npos ? F_NONE : format_of(field.substr(colon + 1), &arg);
    char name[VR_NAME_SIZE];
    LcdValue v;
    if (!field_name(raw_name, source.number, name) || source.lookup == nullptr ||
        !source.lookup(name, &v, source.context))
        return;  // a missing tag shows as nothing
    switch (f) {
    case F_MMSS:
    case F_HMMSS:
    case F_HMM: {
        long long s;
        if (lcd_seconds_of(v, &s)) add_seconds(part, f, s);
        return;
    }
    case F_HHMM:
    case F_HHMMSS: {
        const char* clock = clock_in(v);
        if (clock) part.add(clock, f == F_HHMM ? 5 : 8);
        return;
    }
    case F_YES:
    case F_NO:
        if (reads_true(v) == (f == F_YES)) part.add(arg);
        return;
    default: {
        char letters[LCD_TEXT_MAX + 1];
        size_t n = lcd_latin1(v.encoding, v.text, v.len, letters, sizeof letters);
        part.add(letters, n);
        return;
    }
    }
}

// The '}' that closes the field opening at the '{' at i, or npos when another '{' or the end
// comes first: that '{' is then literal text.
size_t field_close(std::string_view t, size_t i) {
    size_t close = t.find('}', i + 1);
    size_t reopen = t.find('{', i + 1);
    return reopen < close ? std::string_view::npos : close;
}

}  // namespace

bool lcd_seconds_of(const LcdValue& value, long long* seconds) {
    const char* s = value.text;
    size_t n = value.len, i = 0;
    while (i < n && s[i] == ' ') i++;
    long long total = 0;
    int groups = 0;
    bool ok = i < n;
    while (ok && i < n && s[i] != ' ') {
        long long group = 0;
        int digits = 0;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; i++, digits++)
            if (digits < 9) group = group * 10 + (s[i] - '0');
        if (digits == 0 || digits > 9 || ++groups > 3) ok = false;
        total = total * 60 + group;
        if (ok && i < n && s[i] == ':') {
            i++;
            ok = i < n;
        }
    }
    while (ok && i < n && s[i] == ' ') i++;
    if (ok && i == n) {
        *seconds = total;
        return true;
    }
    // Integer tags carry their number in ival; a text that is no count leaves it to that.
    if (value.type == VR_TYPE_INT && value.ival >= 0) {
        *seconds = value.ival;
        return true;
    }
    return false;
}

void lcd_expand(const char* tmpl, const LcdSource& source, int width, LcdLine* out) {
    if (width < 1) width = 1;
    if (width > LCD_MAX_WIDTH) width = LCD_MAX_WIDTH;
    static Part left, right;
    left.len = right.len = 0;
    Part* part = &left;
    bool has_right = false;
    std::string_view t(tmpl);
    size_t i = 0;
    while (i < t.size()) {
        size_t close = t[i] == '{' ? field_close(t, i) : std::string_view::npos;
        if (close == std::string_view::npos) {
            // Literal text, up to the next '{'; a '{' without its '}' is literal too.
            size_t next = t.find('{', i + 1);
            size_t end = next == std::string_view::npos ? t.size() : next;
            part->add(t.substr(i, end - i));
            i = end;
            continue;
        }
        std::string_view field = t.substr(i + 1, close - i - 1);
        if (field == "|") {
            part = &right;
            has_right = true;
        } else {
            expand_field(field, source, *part);
        }
        i = close + 1;
    }

    out->scroll = false;
    if (has_right) {
        int r = right.len < width ? right.len : width;
        int l = left.len < width - r ? left.len : width - r;
        memcpy(out->text, left.text, static_cast<size_t>(l));
        memset(out->text + l, ' ', static_cast<size_t>(width - l - r));
        memcpy(out->text + width - r, right.text, static_cast<size_t>(r));
        out->len = width;
    } else {
        memcpy(out->text, left.text, static_cast<size_t>(left.len));
        out->len = left.len;
        out->scroll = left.len > width;
    }
    out->text[out->len] = '\0';
}

int lcd_template_check(const char* tmpl, char* why, size_t why_size) {
    std::string_view t(tmpl);
    for (size_t i = t.find('{'); i != std::string_view::npos; i = t.find('{', i + 1)) {
        size_t close = field_close(t, i);
        if (close == std::string_view::npos) {
            snprintf(why, why_size, "a '{' without its '}' (shown as it is)");
            return -1;
        }
        std::string_view field = t.substr(i + 1, close - i - 1);
        if (field == "|") {
            i = close;
            continue;
        }
        size_t colon = field.find(':');
        std::string_view name = field.substr(0, colon);
        std::string_view arg;
        if (name.empty()) {
            snprintf(why, why_size, "a field without a tag name");
            return -1;
        }
        // Two digits of a recording's number may take the place of '#'.
        size_t hashes = 0;
        for (char c : name) hashes += c == '#';
        if (name.size() + hashes >= VR_NAME_SIZE) {
            snprintf(why, why_size, "a tag name longer than %d characters", VR_NAME_SIZE - 1);
            return -1;
        }
        if (colon != std::string_view::npos && format_of(field.substr(colon + 1), &arg) == F_UNKNOWN) {
            snprintf(why, why_size, "an unknown format (mmss, hmmss, hmm, hhmm, hhmmss, yes=, no=)");
            return -1;
        }
        i = close;
    }
    return 0;
}

bool lcd_bar_names(const char* tmpl, int number, char (&value)[VR_NAME_SIZE], char (&maximum)[VR_NAME_SIZE]) {
    std::string_view t(tmpl);
    int found = 0;
    for (size_t i = t.find('{'); i != std::string_view::npos && found < 2; i = t.find('{', i + 1)) {
        size_t close = field_close(t, i);
        if (close == std::string_view::npos) continue;
        std::string_view field = t.substr(i + 1, close - i - 1);
        std::string_view raw = field.substr(0, field.find(':'));
        if (field != "|" && field_name(raw, number, found == 0 ? value : maximum)) found++;
        i = close;
    }
    return found == 2;
}

int lcd_bar_pixels(long long value, long long maximum, int width, int cellwid) {
    if (maximum <= 0 || width <= 0 || cellwid <= 0) return 0;
    if (value < 0) value = 0;
    if (value > maximum) value = maximum;
    long long total = static_cast<long long>(width) * cellwid;
    return static_cast<int>(value * total / maximum);
}
