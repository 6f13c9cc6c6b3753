// lcd_screens.cpp - the screens that both blocks call for now: recordings in progress, what plays, or the clock.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lcd.h"

namespace {

constexpr char kDays[] = "SunMonTueWedThuFriSat";
constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// What a screen's templates look their names up in: its block (none for the clock), the
// program's own values, and room for the text of one of those.
struct Lookup {
    const LcdBlock* block;
    const LcdBlock* mpx;
    const LcdBlock* wfr;
    int64_t now;
    char buf[64];
};

bool look_up(const char* name, LcdValue* value, void* context) {
    auto* l = static_cast<Lookup*>(context);
    if (name[0] == '@') return lcd_program_value(name, l->now, *l->mpx, *l->wfr, l->buf, sizeof l->buf, value);
    return l->block != nullptr && lcd_block_value(*l->block, name, value);
}

bool text_is(const LcdBlock& block, const char* name, const char* text) {
    LcdValue v;
    return lcd_block_value(block, name, &v) && v.len == strlen(text) && memcmp(v.text, text, v.len) == 0;
}

// A name of digits only, as a number value.
bool number_value(const char* name, LcdValue* value) {
    size_t n = strlen(name);
    if (n == 0 || n > 9 || strspn(name, "0123456789") != n) return false;
    value->type = VR_TYPE_TEXT;
    value->text = name;
    value->len = n;
    value->encoding = VR_TEXT_ASCII;
    return true;
}

// A hash of a tag's text (FNV-1a), or of its absence, to tell a change.
uint64_t text_hash(const LcdBlock& block, const char* name, uint64_t h) {
    LcdValue v;
    if (!lcd_block_value(block, name, &v)) return h * 1099511628211ULL;
    for (size_t i = 0; i < v.len; i++) h = (h ^ static_cast<unsigned char>(v.text[i])) * 1099511628211ULL;
    return (h ^ 0xFF) * 1099511628211ULL;
}

// One screen of a kind, its rows made from the layout's section for the display.
void add_screen(const LcdLayout& layout, const LcdDisplay& display, LcdScreenKind kind, int number,
                Lookup& lookup, LcdScreens* out) {
    if (out->count == LCD_MAX_SCREENS) return;
    LcdScreen& s = out->screens[out->count++];
    s = LcdScreen{};
    static const char* const kIds[LCD_SCREEN_KINDS] = {"", "play", "idle", "volume", "nav"};
    static const char* const kTitles[LCD_SCREEN_KINDS] = {"", "Playing", "Clock", "Volume", "Navigation"};
    if (kind == LCD_RECORDING) {
        snprintf(s.id, sizeof s.id, "vistrel_rec%d", number);
        snprintf(s.title, sizeof s.title, "Recording %d", number);
    } else {
        snprintf(s.id, sizeof s.id, "vistrel_%s", kIds[kind]);
        snprintf(s.title, sizeof s.title, "%s", kTitles[kind]);
    }
    s.foreground = kind != LCD_IDLE;
    s.alert = kind == LCD_VOLUME || kind == LCD_NAVIGATION;
    const LcdSection* section = lcd_layout_pick(layout, kind, display.rows);
    if (section == nullptr) return;
    LcdSource source{look_up, &lookup, number};
    if (section->digits[0] != '\0') {
        // Only the digits and colons of the text: LCDd has no big form of anything else.
        static LcdLine line;
        lcd_expand(section->digits, source, LCD_TEXT_MAX, &line);
        int n = 0;
        for (int i = 0; i < line.len && n < LCD_MAX_DIGITS; i++)
            if ((line.text[i] >= '0' && line.text[i] <= '9') || line.text[i] == ':') s.digits[n++] = line.text[i];
        s.digits[n] = '\0';
        if (n > 0 && lcd_digit_columns(s.digits, n, display.width, s.digit_columns)) s.digit_count = n;
        else s.digits[0] = '\0';
    }
    for (int r = 0; r < display.rows && r < LCD_MAX_ROWS; r++) {
        const LcdRowTemplate& t = section->rows[r];
        LcdRow& row = s.rows[r];
        if (t.mark_column > 0 && t.mark_column <= display.width) {
            // Only a name of LCDd's icons: anything else (a tag's text) would be refused.
            static LcdLine icon;
            lcd_expand(t.mark, source, LCD_TEXT_MAX, &icon);
            if (icon.len < static_cast<int>(sizeof row.icon) && lcd_icon_name(icon.text)) {
                memcpy(row.icon, icon.text, static_cast<size_t>(icon.len) + 1);
                row.icon_column = t.mark_column;
            }
        }
        if (t.kind == LCD_ROW_TEXT) {
            static LcdLine line;
            lcd_expand(t.text, source, display.width, &line);
            row.kind = line.scroll ? LCD_WIDGET_SCROLLER : LCD_WIDGET_STRING;
            memcpy(row.text, line.text, static_cast<size_t>(line.len) + 1);
            row.len = line.len;
        } else if (t.kind == LCD_ROW_TIMEBAR || t.kind == LCD_ROW_BAR) {
            // A bar's value and maximum: the maximum is a tag, or a number as it stands ({100}
            // for a volume in percent).
            char value_name[VR_NAME_SIZE], maximum_name[VR_NAME_SIZE];
            LcdValue value, maximum;
            long long v = 0, m = 0;
            bool known = lcd_bar_names(t.text, number, value_name, maximum_name) &&
                         look_up(value_name, &value, &lookup) &&
                         (look_up(maximum_name, &maximum, &lookup) || number_value(maximum_name, &maximum)) &&
                         lcd_seconds_of(value, &v) && lcd_seconds_of(maximum, &m);
            if (t.kind == LCD_ROW_TIMEBAR) {
                row.kind = LCD_WIDGET_STRING;
                if (known) row.len = lcd_time_bar(v, m, display.width, row.text);
            } else {
                row.kind = LCD_WIDGET_BAR;
                if (known) row.pixels = lcd_bar_pixels(v, m, display.width, display.cellwid);
            }
        }
    }
}

}  // namespace

bool lcd_digit_columns(const char* text, int len, int width, int (&columns)[LCD_MAX_DIGITS]) {
    if (len <= 0 || len > LCD_MAX_DIGITS) return false;
    int tight = 0;
    for (int i = 0; i < len; i++) tight += text[i] == ':' ? 1 : 3;
    int gap = tight + (len - 1) <= width ? 1 : 0;
    int total = tight + gap * (len - 1);
    if (total > width) return false;
    int column = 1 + (width - total) / 2;
    for (int i = 0; i < len; i++) {
        columns[i] = column;
        column += (text[i] == ':' ? 1 : 3) + gap;
    }
    return true;
}

int lcd_time_bar(long long value, long long maximum, int width, char* out) {
    auto clock = [](long long t, char* buf, size_t size) {
        if (t < 0) t = 0;
        if (t > 359999) t = 359999;
        return t >= 3600 ? snprintf(buf, size, "%lld:%02lld:%02lld", t / 3600, t / 60 % 60, t % 60)
                         : snprintf(buf, size, "%lld:%02lld", t / 60, t % 60);
    };
    if (width > LCD_TEXT_MAX) width = LCD_TEXT_MAX;
    if (width < 0) width = 0;
    char left[16], right[16];
    int l = clock(value, left, sizeof left), r = clock(maximum, right, sizeof right);
    int inner = width - l - r - 2;
    int n;
    if (inner < 3) {
        n = snprintf(out, static_cast<size_t>(width) + 1, "%s/%s", left, right);
        if (n > width) n = width;
        return n < 0 ? 0 : n;
    }
    long long done = maximum > 0 ? (value < 0 ? 0 : value) * inner / maximum : 0;
    if (done > inner) done = inner;
    n = snprintf(out, static_cast<size_t>(width) + 1, "%s ", left);
    for (int i = 0; i < inner; i++) out[n++] = i < done ? '=' : '-';
    n += snprintf(out + n, static_cast<size_t>(width - n) + 1, " %s", right);
    return n;
}

bool lcd_program_value(const char* name, int64_t now, const LcdBlock& mpx, const LcdBlock& wfr, char* buf,
                       size_t size, LcdValue* value) {
    struct tm tm;
    bool clock = strcmp(name, "@Time") == 0 || strcmp(name, "@Date") == 0;
    if (clock && vp_localtime(static_cast<time_t>(now), &tm) != 0) return false;
    int n;
    if (strcmp(name, "@Time") == 0) {
        n = snprintf(buf, size, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    } else if (strcmp(name, "@Date") == 0) {
        n = snprintf(buf, size, "%.3s %02d %.3s", kDays + 3 * (tm.tm_wday % 7), tm.tm_mday,
                     kMonths + 3 * (tm.tm_mon % 12));
    } else if (strcmp(name, "@NoData") == 0 || strcmp(name, "@DateOrNoData") == 0) {
        // The date where the row has room for it: while both bridges have data.
        bool tv = mpx.state != LCD_BLOCK_LIVE, player = wfr.state != LCD_BLOCK_LIVE;
        if (!tv && !player && name[1] == 'D') return lcd_program_value("@Date", now, mpx, wfr, buf, size, value);
        n = snprintf(buf, size, "%s", tv && player ? "No data: TV, player" : tv ? "No data: TV" : player ? "No data: player" : "");
    } else {
        return false;
    }
    if (n < 0) return false;
    value->type = VR_TYPE_TEXT;
    value->ival = 0;
    value->text = buf;
    value->len = strnlen(buf, size);
    value->encoding = VR_TEXT_ASCII;
    return true;
}

void lcd_watch(LcdWatch* watch, const LcdBlock& wfr, int64_t now, int navigation_seconds) {
    if (wfr.state != LCD_BLOCK_LIVE) {
        // A bridge that comes back is looked at afresh: what it says then is no change.
        watch->seen = false;
        watch->volume_until = watch->navigation_until = 0;
        return;
    }
    constexpr uint64_t kStart = 14695981039346656037ULL;
    uint64_t volume = text_hash(wfr, "IsMuted", text_hash(wfr, "Volume", kStart));
    uint64_t navigation = text_hash(wfr, "SelectedItem", text_hash(wfr, "CurrentModule", kStart));
    if (watch->seen) {
        if (volume != watch->volume) watch->volume_until = now + LCD_VOLUME_SECONDS;
        if (navigation != watch->navigation && !text_is(wfr, "IsPlaying", "true"))
            watch->navigation_until = now + navigation_seconds;
    }
    watch->seen = true;
    watch->volume = volume;
    watch->navigation = navigation;
}

void lcd_watch_key(LcdWatch* watch, const LcdScreens& screens, int64_t now, int seconds) {
    int first = 0, next = 0;
    int current = now < watch->focus_until ? watch->focus : 0;
    for (int i = 0; i < screens.count; i++) {
        int k = 0;
        if (sscanf(screens.screens[i].id, "vistrel_rec%d", &k) != 1 || k <= 0) continue;
        if (first == 0 || k < first) first = k;
        if (k > current && (next == 0 || k < next)) next = k;
    }
    int chosen = next != 0 ? next : first;
    if (chosen == 0) return;
    watch->focus = chosen;
    watch->focus_until = now + seconds;
}

void lcd_watch_activity(LcdWatch* watch, const LcdScreens& screens, int64_t now) {
    if (watch->active_at == 0) watch->active_at = now;
    for (int i = 0; i < screens.count; i++)
        if (strcmp(screens.screens[i].id, "vistrel_idle") != 0) watch->active_at = now;
}

void lcd_compose(const LcdLayout& layout, const LcdDisplay& display, const LcdBlock& mpx, const LcdBlock& wfr,
                 int64_t now, LcdScreens* out, const LcdWatch* watch) {
    out->count = 0;
    Lookup lookup{&mpx, &mpx, &wfr, now, {}};
    // The recordings in progress are Recording1 to Recording<IRecordings>; a slot whose
    // recording has ended reads false and keeps its old texts, which are never shown. An empty
    // list leaves the counts and the slots as they were and sets only IsRecording to false.
    LcdValue count;
    if (text_is(mpx, "IsRecording", "true") && lcd_block_value(mpx, "IRecordings", &count)) {
        long long n = 0;
        lcd_seconds_of(count, &n);
        for (int k = 1; k <= n && k <= LCD_MAX_RECORDINGS; k++) {
            char name[VR_NAME_SIZE];
            snprintf(name, sizeof name, "Recording%d.IsRecording", k);
            if (text_is(mpx, name, "true")) add_screen(layout, display, LCD_RECORDING, k, lookup, out);
        }
    }
    if (text_is(wfr, "IsPlaying", "true")) {
        lookup.block = &wfr;
        add_screen(layout, display, LCD_PLAYING, 0, lookup, out);
    }
    bool playing = out->count > 0 && strcmp(out->screens[out->count - 1].id, "vistrel_play") == 0;
    // The recording that the display's key brought to the front.
    if (watch != nullptr && now < watch->focus_until) {
        char id[24];
        snprintf(id, sizeof id, "vistrel_rec%d", watch->focus);
        for (int i = 0; i < out->count; i++)
            if (strcmp(out->screens[i].id, id) == 0) out->screens[i].alert = true;
    }
    if (out->count == 0) {
        lookup.block = nullptr;
        add_screen(layout, display, LCD_IDLE, 0, lookup, out);
        // Long without anything going on, the idle screen turns the backlight off.
        if (watch != nullptr && watch->dark_after > 0 && watch->active_at > 0 && now - watch->active_at >= watch->dark_after)
            out->screens[out->count - 1].dark = true;
    }
    if (watch == nullptr || wfr.state != LCD_BLOCK_LIVE) return;
    lookup.block = &wfr;
    if (now < watch->volume_until) add_screen(layout, display, LCD_VOLUME, 0, lookup, out);
    if (now < watch->navigation_until && !playing) add_screen(layout, display, LCD_NAVIGATION, 0, lookup, out);
}
