// lcd_commands.cpp - the LCDd commands that change what the display holds from one set of screens to the next.
#include <cstdio>
#include <cstring>

#include "lcd.h"

namespace {

// Frames of LCDd's renderer (eight a second) between two steps of a scrolling line.
constexpr int kScrollSpeed = 2;

// The widget of a row: its id tells its kind, so that a row that changes kind gets a new one.
void widget_id(char (&id)[16], LcdWidgetKind kind, int row) {
    char k = kind == LCD_WIDGET_SCROLLER ? 'm' : kind == LCD_WIDGET_BAR ? 'b' : 't';
    snprintf(id, sizeof id, "%c%d", k, row + 1);
}

// Room for one command: the longest is a scroller's, with a whole line quoted.
char line[2 * LCD_TEXT_MAX + 128];
char quoted[2 * LCD_TEXT_MAX + 3];

void command(LcdCommands* cmds, int n) {
    if (n > 0 && static_cast<size_t>(n) < sizeof line) cmds->add(line, static_cast<size_t>(n));
    else cmds->overflow = true;
}

void set_widget(const LcdScreen& s, int r, const LcdDisplay& display, LcdCommands* cmds) {
    const LcdRow& row = s.rows[r];
    char id[16];
    widget_id(id, row.kind, r);
    if (row.kind == LCD_WIDGET_BAR) {
        command(cmds, snprintf(line, sizeof line, "widget_set %s %s 1 %d %d", s.id, id, r + 1, row.pixels));
        return;
    }
    lcd_quote(row.text, static_cast<size_t>(row.len), quoted, sizeof quoted);
    if (row.kind == LCD_WIDGET_SCROLLER)
        command(cmds, snprintf(line, sizeof line, "widget_set %s %s 1 %d %d %d m %d %s", s.id, id, r + 1,
                               display.width, r + 1, kScrollSpeed, quoted));
    else
        command(cmds, snprintf(line, sizeof line, "widget_set %s %s 1 %d %s", s.id, id, r + 1, quoted));
}

// The mark of a row: added, set, or taken off, after the row's own widget so that LCDd draws it
// over that one.
void add_icon(const LcdScreen& s, int r, LcdCommands* cmds) {
    command(cmds, snprintf(line, sizeof line, "widget_add %s i%d icon", s.id, r + 1));
    command(cmds, snprintf(line, sizeof line, "widget_set %s i%d %d %d %s", s.id, r + 1, s.rows[r].icon_column, r + 1,
                           s.rows[r].icon));
}
void del_icon(const LcdScreen& s, int r, LcdCommands* cmds) {
    command(cmds, snprintf(line, sizeof line, "widget_del %s i%d", s.id, r + 1));
}

void add_widget(const LcdScreen& s, int r, const LcdDisplay& display, LcdCommands* cmds) {
    static const char* const types[] = {"", "string", "scroller", "hbar"};
    char id[16];
    widget_id(id, s.rows[r].kind, r);
    command(cmds, snprintf(line, sizeof line, "widget_add %s %s %s", s.id, id, types[s.rows[r].kind]));
    set_widget(s, r, display, cmds);
}

// The big digits: a number widget a character, d1 to d8, set to the digit or LCDd's 10 for ':'.
void set_digit(const LcdScreen& s, int k, LcdCommands* cmds) {
    int value = s.digits[k] == ':' ? 10 : s.digits[k] - '0';
    command(cmds, snprintf(line, sizeof line, "widget_set %s d%d %d %d", s.id, k + 1, s.digit_columns[k], value));
}
void add_digits(const LcdScreen& s, LcdCommands* cmds) {
    for (int k = 0; k < s.digit_count; k++) {
        command(cmds, snprintf(line, sizeof line, "widget_add %s d%d num", s.id, k + 1));
        set_digit(s, k, cmds);
    }
}
// From one screen's digits to another's: changed digits set anew, or, when their number or
// places changed, all taken off and added again.
void change_digits(const LcdScreen& h, const LcdScreen& w, LcdCommands* cmds) {
    bool same_places = h.digit_count == w.digit_count &&
                       memcmp(h.digit_columns, w.digit_columns, sizeof h.digit_columns) == 0;
    if (same_places) {
        for (int k = 0; k < w.digit_count; k++)
            if (h.digits[k] != w.digits[k]) set_digit(w, k, cmds);
        return;
    }
    for (int k = 0; k < h.digit_count; k++)
        command(cmds, snprintf(line, sizeof line, "widget_del %s d%d", h.id, k + 1));
    add_digits(w, cmds);
}

// One option a command: LCDd answers a screen_set once for every option it carries, so that
// one with several would answer as several commands.
void set_screen(const LcdScreen& s, bool whole, LcdCommands* cmds) {
    lcd_quote(s.title, strlen(s.title), quoted, sizeof quoted);
    command(cmds, snprintf(line, sizeof line, "screen_set %s -name %s", s.id, quoted));
    command(cmds, snprintf(line, sizeof line, "screen_set %s -priority %s", s.id,
                           s.alert ? "alert" : s.foreground ? "foreground" : "info"));
    // The heartbeat would blink in the last column over the text.
    if (whole) command(cmds, snprintf(line, sizeof line, "screen_set %s -heartbeat off", s.id));
}

// The backlight while the screen shows: off, or as LCDd has it otherwise ("open").
void set_backlight(const LcdScreen& s, LcdCommands* cmds) {
    command(cmds, snprintf(line, sizeof line, "screen_set %s -backlight %s", s.id, s.dark ? "off" : "open"));
}

const LcdScreen* find(const LcdScreens& set, const char* id) {
    for (int i = 0; i < set.count; i++)
        if (strcmp(set.screens[i].id, id) == 0) return &set.screens[i];
    return nullptr;
}

bool same_row(const LcdRow& a, const LcdRow& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == LCD_WIDGET_BAR) return a.pixels == b.pixels;
    return a.len == b.len && memcmp(a.text, b.text, static_cast<size_t>(a.len)) == 0;
}

}  // namespace

void LcdCommands::add(const char* text, size_t text_len) {
    if (count == kMax || text_len + 1 > kBytes - len) {
        overflow = true;
        return;
    }
    starts[count++] = static_cast<int>(len);
    memcpy(bytes + len, text, text_len);
    len += text_len;
    bytes[len++] = '\n';
}

// Every removal fits in an empty batch, which is where they go first.
static_assert(LCD_MAX_SCREENS * 2 <= LcdCommands::kMax && LCD_MAX_SCREENS * 2 * 40 < LcdCommands::kBytes);
// One screen's commands (its name, priority, heartbeat, backlight, for each row a delete, an add
// and a set of its widget and two commands of its mark, and for each big digit a delete, an add
// and a set) always fit in an empty batch, so that every screen gets there in some update.
constexpr int kScreenCommands = 4 + 5 * LCD_MAX_ROWS + 3 * LCD_MAX_DIGITS;
static_assert(kScreenCommands * sizeof line < LcdCommands::kBytes && kScreenCommands < LcdCommands::kMax);

void lcd_diff(const LcdScreens& have, const LcdScreens& want, const LcdDisplay& display, LcdCommands* cmds,
              LcdScreens* sent) {
    static LcdScreens unused;
    LcdScreens& result = sent ? *sent : unused;
    result.count = 0;
    for (int i = 0; i < have.count; i++)
        if (find(want, have.screens[i].id) == nullptr)
            command(cmds, snprintf(line, sizeof line, "screen_del %s", have.screens[i].id));
    for (int i = 0; i < want.count; i++) {
        const LcdScreen& w = want.screens[i];
        const LcdScreen* h = find(have, w.id);
        // Where this screen's commands begin, to take them back whole when some do not fit.
        const size_t len = cmds->len;
        const int count = cmds->count;
        const bool overflow = cmds->overflow;
        cmds->overflow = false;
        if (h == nullptr) {
            command(cmds, snprintf(line, sizeof line, "screen_add %s", w.id));
            set_screen(w, true, cmds);
            if (w.dark) set_backlight(w, cmds);
            add_digits(w, cmds);
            for (int r = 0; r < LCD_MAX_ROWS; r++) {
                if (w.rows[r].kind != LCD_WIDGET_NONE) add_widget(w, r, display, cmds);
                if (w.rows[r].icon[0] != '\0') add_icon(w, r, cmds);
            }
        } else {
            if (h->foreground != w.foreground || h->alert != w.alert || strcmp(h->title, w.title) != 0)
                set_screen(w, false, cmds);
            if (h->dark != w.dark) set_backlight(w, cmds);
            change_digits(*h, w, cmds);
            for (int r = 0; r < LCD_MAX_ROWS; r++) {
                const LcdRow& hr = h->rows[r];
                const LcdRow& wr = w.rows[r];
                // A row widget added anew is drawn after the mark: the mark is added again after it.
                bool readded = hr.kind != wr.kind && wr.kind != LCD_WIDGET_NONE;
                if (!same_row(hr, wr)) {
                    if (hr.kind == wr.kind) {
                        set_widget(w, r, display, cmds);
                    } else {
                        if (hr.kind != LCD_WIDGET_NONE) {
                            char id[16];
                            widget_id(id, hr.kind, r);
                            command(cmds, snprintf(line, sizeof line, "widget_del %s %s", w.id, id));
                        }
                        if (wr.kind != LCD_WIDGET_NONE) add_widget(w, r, display, cmds);
                    }
                }
                bool had = hr.icon[0] != '\0', has = wr.icon[0] != '\0';
                if (had && (!has || readded)) del_icon(w, r, cmds);
                if (has && (!had || readded))
                    add_icon(w, r, cmds);
                else if (has && (strcmp(hr.icon, wr.icon) != 0 || hr.icon_column != wr.icon_column))
                    command(cmds, snprintf(line, sizeof line, "widget_set %s i%d %d %d %s", w.id, r + 1, wr.icon_column,
                                           r + 1, wr.icon));
            }
        }
        if (cmds->overflow) {
            // Left for a later update, which finds the screen as LCDd still holds it.
            cmds->len = len;
            cmds->count = count;
            if (h != nullptr) result.screens[result.count++] = *h;
        } else {
            result.screens[result.count++] = w;
        }
        cmds->overflow = overflow || cmds->overflow;
    }
}

void lcd_remove_all(const LcdScreens& have, LcdCommands* cmds, const LcdScreens* also) {
    for (int i = 0; i < have.count; i++)
        command(cmds, snprintf(line, sizeof line, "screen_del %s", have.screens[i].id));
    if (also == nullptr) return;
    for (int i = 0; i < also->count; i++)
        if (find(have, also->screens[i].id) == nullptr)
            command(cmds, snprintf(line, sizeof line, "screen_del %s", also->screens[i].id));
}
