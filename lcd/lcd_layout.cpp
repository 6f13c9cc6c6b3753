// lcd_layout.cpp - the layout: the built-in one and plugins/lcd.layout, read into sections per screen and height.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "lcd.h"

bool lcd_icon_name(const char* name) {
    static const char* const kIcons[] = {"PLAY",       "PAUSE",       "REC",        "STOP",         "FF",
                                         "FR",         "NEXT",        "PREV",       "PLAYR",        "ELLIPSIS",
                                         "HEART_OPEN", "HEART_FILLED", "ARROW_UP",  "ARROW_DOWN",   "ARROW_LEFT",
                                         "ARROW_RIGHT", "BLOCK_FILLED", "CHECKBOX_ON", "CHECKBOX_OFF"};
    for (const char* icon : kIcons)
        if (strcmp(icon, name) == 0) return true;
    return false;
}

const char* const lcd_screen_names[LCD_SCREEN_KINDS] = {"recording", "playing", "idle", "volume", "navigation"};

namespace {

constexpr size_t kFileMax = 64 * 1024;
char file_text[kFileMax + 1];

// "[name]" or "[name:R]": the screen and its rows, or false.
bool section_header(std::string_view line, LcdScreenKind* screen, int* rows, char* why, size_t why_size) {
    if (line.size() < 2 || line.back() != ']') {
        snprintf(why, why_size, "a section header must end with ']'");
        return false;
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    size_t colon = inner.find(':');
    std::string_view name = inner.substr(0, colon);
    *rows = 1;
    if (colon != std::string_view::npos) {
        std::string_view digits = inner.substr(colon + 1);
        int r = 0;
        bool ok = !digits.empty() && digits.size() <= 2;
        for (char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            r = r * 10 + (c - '0');
        }
        if (!ok || r < 1 || r > LCD_MAX_ROWS) {
            snprintf(why, why_size, "the rows of a section are 1 to %d", LCD_MAX_ROWS);
            return false;
        }
        *rows = r;
    }
    for (int s = 0; s < LCD_SCREEN_KINDS; s++) {
        if (name == lcd_screen_names[s]) {
            *screen = static_cast<LcdScreenKind>(s);
            return true;
        }
    }
    snprintf(why, why_size, "no screen of that name (recording, playing, idle, volume, navigation)");
    return false;
}

// "LineN=" or "BarN=": the row's kind and index, the template after '=', or false.
bool row_line(std::string_view line, LcdRowKind* kind, int* row, std::string_view* tmpl, char* why,
              size_t why_size) {
    size_t eq = line.find('=');
    std::string_view key = line.substr(0, eq);
    std::string_view digits;
    if (key.substr(0, 4) == "Line") {
        *kind = LCD_ROW_TEXT;
        digits = key.substr(4);
    } else if (key.substr(0, 3) == "Bar") {
        *kind = LCD_ROW_BAR;
        digits = key.substr(3);
    } else if (key.substr(0, 7) == "TimeBar") {
        *kind = LCD_ROW_TIMEBAR;
        digits = key.substr(7);
    } else if (key.substr(0, 4) == "Mark") {
        *kind = LCD_ROW_MARK;
        digits = key.substr(4);
    } else {
        snprintf(why, why_size, "neither a section header nor a LineN=, BarN=, TimeBarN=, MarkN= or Digits= line");
        return false;
    }
    if (eq == std::string_view::npos || digits.size() != 1 || digits[0] < '1' || digits[0] > '0' + LCD_MAX_ROWS) {
        snprintf(why, why_size, "rows are Line1= to Line%d=, Bar1= to Bar%d=, TimeBar1= to TimeBar%d=", LCD_MAX_ROWS,
                 LCD_MAX_ROWS, LCD_MAX_ROWS);
        return false;
    }
    *row = digits[0] - '1';
    *tmpl = line.substr(eq + 1);
    return true;
}

// The section of that screen and height, made when there is none yet. There is room for
// every screen at every height, and no two sections share both.
LcdSection* section_for(LcdLayout* layout, LcdScreenKind screen, int rows) {
    for (int i = 0; i < layout->count; i++)
        if (layout->sections[i].screen == screen && layout->sections[i].min_rows == rows) return &layout->sections[i];
    LcdSection* s = &layout->sections[layout->count++];
    *s = LcdSection{};
    s->screen = screen;
    s->min_rows = rows;
    return s;
}

void drop_screen(LcdLayout* layout, LcdScreenKind screen) {
    int kept = 0;
    for (int i = 0; i < layout->count; i++)
        if (layout->sections[i].screen != screen) layout->sections[kept++] = layout->sections[i];
    layout->count = kept;
}

// A layout line as an error line shows it: cut, control bytes escaped.
const char* shown(std::string_view line) {
    static char out[96];
    MP_escape_untrusted(out, sizeof out, line.data(), line.size() < 60 ? line.size() : 60, nullptr);
    return out;
}

}  // namespace

int lcd_layout_read(LcdLayout* layout, const char* text, size_t len, const char* origin) {
    bool replaced[LCD_SCREEN_KINDS] = {};
    LcdSection* section = nullptr;
    bool skipping = false;  // inside a section that could not be used
    int bad = 0, number = 0;
    char why[160];
    std::string_view all(text, len);
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string_view::npos) end = all.size();
        std::string_view line = all.substr(at, end - at);
        at = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '/') continue;
        auto refuse = [&]() {
            bad++;
            lcd_error("%s:%d: %s: %s", origin, number, why, shown(line));
        };

        if (line[0] == '[') {
            LcdScreenKind screen;
            int rows;
            skipping = true;
            section = nullptr;
            if (!section_header(line, &screen, &rows, why, sizeof why)) {
                refuse();
                continue;
            }
            if (!replaced[screen]) {
                drop_screen(layout, screen);
                replaced[screen] = true;
            }
            section = section_for(layout, screen, rows);
            skipping = false;
            continue;
        }

        LcdRowKind kind = LCD_ROW_NONE;
        int row = -1;
        std::string_view tmpl;
        bool digits = line.substr(0, 7) == "Digits=";
        if (digits) tmpl = line.substr(7);
        else if (!row_line(line, &kind, &row, &tmpl, why, sizeof why)) {
            refuse();
            continue;
        }
        if (section == nullptr) {
            if (!skipping) {
                snprintf(why, sizeof why, "a row before any section header");
                refuse();
            }
            continue;
        }
        // The file is UTF-8; what goes to LCDd is ISO-8859-1, and no control byte.
        char letters[LCD_TEMPLATE_MAX + 2];
        size_t n = lcd_latin1(VR_TEXT_UTF8, tmpl.data(), tmpl.size(), letters, sizeof letters);
        if (n > static_cast<size_t>(LCD_TEMPLATE_MAX)) {
            snprintf(why, sizeof why, "a template longer than %d characters", LCD_TEMPLATE_MAX);
            refuse();
            continue;
        }
        if (digits) {
            if (lcd_template_check(letters, why, sizeof why) != 0) refuse();
            memcpy(section->digits, letters, n + 1);
            continue;
        }
        LcdRowTemplate& r = section->rows[row];
        if (kind == LCD_ROW_MARK) {
            // "COLUMN TEMPLATE": the icon's column, 1 to the widest display, and its name.
            int column = 0;
            size_t i = 0;
            while (i < n && i < 3 && letters[i] >= '0' && letters[i] <= '9') column = column * 10 + (letters[i++] - '0');
            if (i == 0 || column < 1 || column > LCD_MAX_WIDTH || i >= n || letters[i] != ' ' || i + 1 == n) {
                snprintf(why, sizeof why, "a mark is a column of 1 to %d, a blank and the icon: Mark1=20 REC",
                         LCD_MAX_WIDTH);
                refuse();
                continue;
            }
            const char* icon = letters + i + 1;
            if (strchr(icon, '{') == nullptr && !lcd_icon_name(icon)) {
                snprintf(why, sizeof why, "no icon of LCDd's of that name (PLAY, PAUSE, REC, STOP, FF, FR, ...)");
                refuse();
                continue;
            }
            if (lcd_template_check(icon, why, sizeof why) != 0) refuse();
            r.mark_column = column;
            memcpy(r.mark, icon, n - i);
            continue;
        }
        if (kind == LCD_ROW_BAR || kind == LCD_ROW_TIMEBAR) {
            char value[VR_NAME_SIZE], maximum[VR_NAME_SIZE];
            if (!lcd_bar_names(letters, 0, value, maximum)) {
                snprintf(why, sizeof why, "a bar needs two tags: {Value} {Maximum}");
                refuse();
                continue;
            }
        } else if (lcd_template_check(letters, why, sizeof why) != 0) {
            // Shown all the same, as far as it can be.
            refuse();
        }
        r.kind = kind;
        memcpy(r.text, letters, n + 1);
    }
    return bad;
}

void lcd_layout_load(LcdLayout* layout, const char* path) {
    layout->count = 0;
    lcd_layout_read(layout, lcd_default_layout, strlen(lcd_default_layout), "built-in layout");
    if (path == nullptr || path[0] == '\0') return;
    // Opened as the bridges open their settings: a link, a FIFO that would hold the client
    // before it shows anything, a device or a file of another user is not read.
    FILE* f = nullptr;
    int others = -1;
    int rc = vp_file_open_own(path, &f, &others);
    if (rc != 0 && vp_error_is_missing(rc)) {
        lcd_report(1, "No %s: the built-in layout is shown", path);
        return;
    }
    if (rc != 0) {
        char why[256];
        vp_open_error_text(rc, why, sizeof why);
        lcd_error("%s is not read: %s; the built-in layout is shown", path, why);
        return;
    }
    if (vp_file_modes && others > 0 && (others & VP_OTHERS_WRITE))
        lcd_error("other users may change %s and so what the display shows; make it yours alone: chmod 600 %s",
                  path, path);
    size_t n = fread(file_text, 1, kFileMax + 1, f);
    fclose(f);
    if (n > kFileMax) {
        lcd_error("%s is longer than %zu bytes; only those are read", path, kFileMax);
        n = kFileMax;
    }
    int bad = lcd_layout_read(layout, file_text, n, path);
    lcd_report(1, "Layout read from %s%s", path, bad ? " (with lines left out)" : "");
}

const LcdSection* lcd_layout_pick(const LcdLayout& layout, LcdScreenKind screen, int rows) {
    const LcdSection* best = nullptr;
    const LcdSection* smallest = nullptr;
    for (int i = 0; i < layout.count; i++) {
        const LcdSection& s = layout.sections[i];
        if (s.screen != screen) continue;
        if (smallest == nullptr || s.min_rows < smallest->min_rows) smallest = &s;
        if (s.min_rows <= rows && (best == nullptr || s.min_rows > best->min_rows)) best = &s;
    }
    return best ? best : smallest;
}
