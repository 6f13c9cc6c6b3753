// fuzz_lcd.cpp - libFuzzer target: the display client's template expander and its protocol
// quoting, with a random tag table.
//
// The input is a template, a zero byte, and a tag table of lines "T name=value" (T the type
// digit); its first bytes choose the display's width, the tags' encoding and the screen's
// recording number. Each run checks that no line is longer than its room, that a line that does
// not scroll fits the width, that nothing of a control byte reaches the display, and that every
// text quoted for LCDd reads back as the text itself under LCDd's own rules, inside one argument
// of one command line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_checks.h"
#include "lcd.h"

namespace {

constexpr int kTags = 32;
struct Tag {
    char name[VR_NAME_SIZE];
    int type;
    char text[VR_TEXT_SIZE];
    size_t len;
};
Tag tags[kTags];
int tag_count = 0;
vr_encoding encoding = VR_TEXT_RAW;

bool look_up(const char* name, LcdValue* v, void*) {
    for (int i = 0; i < tag_count; i++) {
        if (strcmp(tags[i].name, name) != 0) continue;
        v->type = tags[i].type;
        v->ival = static_cast<int>(tags[i].len) * 7 - 20;
        v->text = tags[i].text;
        v->len = tags[i].len;
        v->encoding = encoding;
        return true;
    }
    return false;
}

bool control(unsigned char c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

// Reads a quoted argument as LCDd does (a backslash takes the next character, and makes a line
// end, a tab or a carriage return of n, t and r), requiring that it is one argument that takes up
// the whole of what was written and that it reads back as the text with its controls as blanks.
void check_quoted(const char* quoted, size_t n, const char* text, size_t len) {
    fuzz_check(n >= 2 && quoted[0] == '"' && quoted[n - 1] == '"', "a quoted text not within quotes");
    fuzz_check(strlen(quoted) == n, "a quoted text with a zero inside");
    static char back[4 * LCD_TEXT_MAX + 8];
    size_t b = 0;
    for (size_t i = 1; i + 1 < n; i++) {
        unsigned char c = static_cast<unsigned char>(quoted[i]);
        fuzz_check(!control(c), "a control byte inside a command");
        fuzz_check(c != '"', "a quote that ends the argument early");
        if (c == '\\') {
            fuzz_check(i + 2 < n, "a backslash that escapes the closing quote");
            char e = quoted[++i];
            fuzz_check(e == '"' || e == '\\', "an escape that LCDd turns into something else");
            back[b++] = e;
        } else {
            back[b++] = static_cast<char>(c);
        }
    }
    fuzz_check(b == len, "the quoted text reads back at another length");
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char want = control(c) ? ' ' : static_cast<char>(c);
        fuzz_check(back[i] == want, "the quoted text reads back as another text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    int width = 1 + data[0] % LCD_MAX_WIDTH;
    encoding = static_cast<vr_encoding>(data[1] % 4);
    int number = data[2] % 20;
    const char* in = reinterpret_cast<const char*>(data + 3);
    size_t n = size - 3;

    // The template, as the layout reader makes it of a file's line: ISO-8859-1 from UTF-8.
    const void* zero = memchr(in, '\0', n);
    size_t tmpl_len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - in) : n;
    static char tmpl[4 * LCD_TEMPLATE_MAX];
    lcd_latin1(VR_TEXT_UTF8, in, tmpl_len < 2 * LCD_TEMPLATE_MAX ? tmpl_len : 2 * LCD_TEMPLATE_MAX, tmpl,
               LCD_TEMPLATE_MAX + 1);

    // The tag table: "T name=value" lines.
    tag_count = 0;
    size_t at = zero ? tmpl_len + 1 : n;
    while (at < n && tag_count < kTags) {
        const char* line = in + at;
        const void* nl = memchr(line, '\n', n - at);
        size_t line_len = nl ? static_cast<size_t>(static_cast<const char*>(nl) - line) : n - at;
        at += line_len + 1;
        const void* eq = memchr(line, '=', line_len);
        if (line_len < 2 || eq == nullptr || eq == line) continue;
        Tag& t = tags[tag_count++];
        t.type = (line[0] - '0') & 3;
        size_t eq_at = static_cast<size_t>(static_cast<const char*>(eq) - line);
        size_t name_len = eq_at - 1 < VR_NAME_SIZE - 1 ? eq_at - 1 : VR_NAME_SIZE - 1;
        memcpy(t.name, line + 1, name_len);
        t.name[name_len] = '\0';
        size_t value_len = line_len - eq_at - 1;
        if (value_len > VR_TEXT_SIZE - 4) value_len = VR_TEXT_SIZE - 4;
        memcpy(t.text, static_cast<const char*>(eq) + 1, value_len);
        t.text[value_len] = '\0';
        t.len = strnlen(t.text, value_len);
    }

    static LcdLine line;
    LcdSource source{look_up, nullptr, number};
    lcd_expand(tmpl, source, width, &line);
    fuzz_check(line.len >= 0 && line.len <= LCD_TEXT_MAX, "a line longer than its room");
    fuzz_check(line.scroll || line.len <= width, "a line that does not scroll is longer than the display");
    fuzz_check(line.text[line.len] == '\0' && strlen(line.text) == static_cast<size_t>(line.len),
               "a line without its zero, or with one inside");
    for (int i = 0; i < line.len; i++)
        fuzz_check(!control(static_cast<unsigned char>(line.text[i])), "a control byte on the display");

    static char quoted[2 * LCD_TEXT_MAX + 3];
    size_t q = lcd_quote(line.text, static_cast<size_t>(line.len), quoted, sizeof quoted);
    check_quoted(quoted, q, line.text, static_cast<size_t>(line.len));
    // Raw bytes of every tag, quoted as they are, control bytes and all.
    for (int i = 0; i < tag_count; i++) {
        q = lcd_quote(tags[i].text, tags[i].len, quoted, sizeof quoted);
        check_quoted(quoted, q, tags[i].text, tags[i].len);
    }

    // The line as a row of a screen: every command that takes it to LCDd is one line.
    static LcdScreens none, want;
    want.count = 1;
    LcdScreen& s = want.screens[0];
    snprintf(s.id, sizeof s.id, "vistrel_rec1");
    snprintf(s.title, sizeof s.title, "Recording 1");
    s.rows[0].kind = line.scroll ? LCD_WIDGET_SCROLLER : LCD_WIDGET_STRING;
    memcpy(s.rows[0].text, line.text, static_cast<size_t>(line.len) + 1);
    s.rows[0].len = line.len;
    char value[VR_NAME_SIZE], maximum[VR_NAME_SIZE];
    s.rows[1].kind = LCD_WIDGET_BAR;
    s.rows[1].pixels = 0;
    if (lcd_bar_names(tmpl, number, value, maximum)) {
        LcdValue v, m;
        long long vs = 0, ms = 0;
        if (look_up(value, &v, nullptr) && look_up(maximum, &m, nullptr) && lcd_seconds_of(v, &vs) &&
            lcd_seconds_of(m, &ms))
            s.rows[1].pixels = lcd_bar_pixels(vs, ms, width, 5);
    }
    fuzz_check(s.rows[1].pixels >= 0 && s.rows[1].pixels <= width * 5, "a bar beyond the display");
    LcdDisplay display;
    display.width = display.real_width = width;
    display.rows = display.real_rows = 2;
    static LcdCommands cmds;
    cmds.clear();
    lcd_diff(none, want, display, &cmds);
    fuzz_check(!cmds.overflow, "the commands of one screen do not fit");
    size_t lines = 0;
    for (size_t i = 0; i < cmds.len; i++) lines += cmds.bytes[i] == '\n';
    fuzz_check(lines == static_cast<size_t>(cmds.count), "a command that holds a line end of its own");
    return 0;
}
