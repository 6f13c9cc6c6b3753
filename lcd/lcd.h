// lcd.h - vistrel_lcd: the screens of both blocks on a character display through the LCDproc
// server LCDd: letters, protocol quoting, templates, the layout, the screens and the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mp_log.h"
#include "vistrel_reader.h"
#include "vp.h"

// ---------------------------------------------------------------------------------------------
// Sizes. Everything lives in fixed static storage.
inline constexpr int LCD_MAX_WIDTH = 80;      // columns used of a wider display
inline constexpr int LCD_MAX_ROWS = 8;        // rows of a screen that are used
inline constexpr int LCD_TEXT_MAX = 256;      // characters of one expanded line
inline constexpr int LCD_TEMPLATE_MAX = 200;  // characters of one template
inline constexpr int LCD_MAX_RECORDINGS = 16; // recording screens at most
// Characters of LCD_Host=: well below the settings reader's pieces of 127 characters, so that
// a longer name is refused whole rather than cut.
inline constexpr int LCD_HOST_MAX = 63;
inline constexpr int LCD_DEFAULT_PORT = 13666;
inline constexpr char LCD_DEFAULT_HOST[] = "127.0.0.1";

// ---------------------------------------------------------------------------------------------
// Letters: LCDd's drivers map ISO-8859-1 onto their displays' characters.

// Converts len bytes of a block's text (up to its first zero byte), written in enc, into
// ISO-8859-1 as a person reads it: Raw texts have their JSON escapes undone (\uXXXX, surrogate
// pairs joined) and multi-byte UTF-8 decoded. A letter outside Latin-1 becomes, through the
// bridges' table (mp_encoding.h), the letters it stands for (the Angstrom sign A with its ring,
// fullwidth and mathematical letters plain, fractions as "1/7"), else its plain form ("EUR",
// "...", 'S' for Windows-1252's 0x80-0x9F too), else '?'; a combining mark makes one letter with
// the letter before it where Latin-1 has it, and is left out otherwise; control characters (C0,
// DEL, C1) become blanks. Writes at most size - 1 bytes and a zero, never part of a letter's
// replacement; returns the number written.
size_t lcd_latin1(vr_encoding enc, const char* in, size_t len, char* out, size_t size);

// ---------------------------------------------------------------------------------------------
// The LCDd protocol: one command a line; an argument with blanks is quoted.

// Writes len bytes of text as one double-quoted argument: '"' and '\' escaped with a
// backslash, control bytes (C0, DEL and 0x80-0x9F) as blanks, so that no text can end the
// argument or the line early, and no escape of LCDd's makes a control byte of it. Returns the
// length written (with a zero after it), or 0 and an empty out when size cannot hold it all.
size_t lcd_quote(const char* text, size_t len, char* out, size_t size);

// The display as LCDd describes it in its answer to "hello".
struct LcdDisplay {
    int width = 0;    // columns used (at most LCD_MAX_WIDTH)
    int rows = 0;     // rows used (at most LCD_MAX_ROWS)
    int cellwid = 5;  // pixels of a character cell, for the bars
    int cellhgt = 8;
    int real_width = 0;  // as reported
    int real_rows = 0;
};
// Reads "connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt 4 cellwid 5 cellhgt 8". Returns 0,
// or -1 with the reason in why when the line is no such answer or names no usable size.
int lcd_parse_connect(const char* line, LcdDisplay* display, char* why, size_t why_size);

// What one line from LCDd is.
enum LcdReply { LCD_SUCCESS, LCD_HUH, LCD_NOTICE, LCD_CONNECT, LCD_BYE, LCD_UNKNOWN };
LcdReply lcd_reply_kind(const char* line);

// Gathers LCDd's bytes into lines, however the reads split them. A line longer than the buffer
// is kept cut and marked.
struct LcdLineReader {
    static constexpr size_t kMax = 512;
    char line[kMax + 1] = {};
    size_t len = 0;
    bool too_long = false;
    bool done = false;  // line holds a whole line, given out by the last call
    // Takes bytes from data (n of them) up to and with the first line end: returns how many it
    // took, with *complete set when a whole line is now in line (zero-terminated, without its
    // line end and a carriage return before it). The next call starts a new line.
    size_t take(const char* data, size_t n, bool* complete);
};

// ---------------------------------------------------------------------------------------------
// Templates: "{Recording#.ChannelName}{|}REC", "{Position:mmss}/{Duration:mmss}".

// One value for a template field: a tag's type, number and text as its block holds it, in the
// block's encoding.
struct LcdValue {
    int type = VR_TYPE_TEXT;
    int ival = 0;
    const char* text = "";
    size_t len = 0;
    vr_encoding encoding = VR_TEXT_ASCII;
};
// Finds the value of a name: true and *value, or false when there is none (the field is empty).
using LcdLookup = bool (*)(const char* name, LcdValue* value, void* context);
struct LcdSource {
    LcdLookup lookup = nullptr;
    void* context = nullptr;
    // Replaces '#' in field names (the recording's number on its screen); 0 leaves '#'.
    int number = 0;
};

// A line made from a template for a display of some width.
struct LcdLine {
    char text[LCD_TEXT_MAX + 1] = {};
    int len = 0;
    // The text is longer than the width and is shown scrolling; otherwise it fits.
    bool scroll = false;
};
// Expands a template: literal text as it is, each {Name} or {Name:format} as its value in
// ISO-8859-1 (empty when there is none), and "{|}" places what follows at the right end of
// the line, cutting what precedes it. A line with "{|}" has exactly width characters; one
// without it and no longer than width is as long as it is; a longer one scrolls and is cut at
// LCD_TEXT_MAX. Formats: mmss, hmmss, hmm (a count of seconds: a number, or a duration text
// such as 0:45:00), hhmm, hhmmss (the clock of a date text), yes=TEXT and no=TEXT (TEXT when
// the value reads true, or not). A '{' without its '}' is literal text.
void lcd_expand(const char* tmpl, const LcdSource& source, int width, LcdLine* out);
// Why a template would not show as its writer meant (an unknown format, a '{' that is not
// closed, an empty name): 0, or -1 with the reason in why.
int lcd_template_check(const char* tmpl, char* why, size_t why_size);
// A count of seconds from a value: an integer tag's number, or a text of digits in up to three
// groups parted by ':' ("110", "1:50", "0:45:00"). Returns false when there is none.
bool lcd_seconds_of(const LcdValue& value, long long* seconds);
// The first two field names of a bar's template "{Value} {Maximum}", '#' replaced as above.
// Returns false when it has fewer than two.
bool lcd_bar_names(const char* tmpl, int number, char (&value)[VR_NAME_SIZE], char (&maximum)[VR_NAME_SIZE]);
// The bar's length in pixels over width cells of cellwid pixels: value / maximum of it, none
// when the maximum is not above 0.
int lcd_bar_pixels(long long value, long long maximum, int width, int cellwid);
// A time bar of width characters into out (LCD_TEXT_MAX + 1 bytes): value and maximum as m:ss
// (h:mm:ss from an hour on) at both ends and between them '=' for the part done and '-' for the
// rest; with no room for a bar of 3, only "value/maximum" as far as it fits. Returns its length.
int lcd_time_bar(long long value, long long maximum, int width, char* out);

// ---------------------------------------------------------------------------------------------
// The layout: per screen and per display height, a template per row.
// Volume and navigation are short screens that a change on the WifiRemote block brings up for a
// few seconds over the others (LcdWatch).
enum LcdScreenKind { LCD_RECORDING, LCD_PLAYING, LCD_IDLE, LCD_VOLUME, LCD_NAVIGATION, LCD_SCREEN_KINDS };
// A time bar is one row of text: the value's time, a bar of '=' and '-' and the maximum's time
// ("0:12 ==------- 1:30"), for displays with no row to spare for a bar of its own.
// A mark is one of LCDd's icons (PLAY, PAUSE, REC, ...) at a column of a row, over what the row
// shows there: its template gives the icon's name, or nothing for none.
enum LcdRowKind { LCD_ROW_NONE, LCD_ROW_TEXT, LCD_ROW_BAR, LCD_ROW_TIMEBAR, LCD_ROW_MARK };
struct LcdRowTemplate {
    LcdRowKind kind = LCD_ROW_NONE;  // never LCD_ROW_MARK: a mark goes beside what the row shows
    char text[LCD_TEMPLATE_MAX + 1] = {};
    int mark_column = 0;  // 1 and above when the row has a mark
    char mark[LCD_TEMPLATE_MAX + 1] = {};
};
// Whether a name is one of LCDd's icons that a mark may show.
bool lcd_icon_name(const char* name);
// Big digits are LCDd's own number widgets: each digit is three columns wide and a colon one,
// drawn from the display's top row down over as many rows as the driver's digits take (three or
// four on a display of four rows). A screen has at most one row of them.
inline constexpr int LCD_MAX_DIGITS = 8;
struct LcdSection {
    LcdScreenKind screen = LCD_IDLE;
    int min_rows = 1;  // used on displays of at least this many rows
    LcdRowTemplate rows[LCD_MAX_ROWS];
    char digits[LCD_TEMPLATE_MAX + 1] = {};  // the template of the big digits, "" for none
};
// The columns (from 1) of the big digits of text (digits and ':'; len of them) centred on a
// display of width columns: a blank between two characters where the width allows it, none
// where it does not. Returns false when they do not fit even so.
bool lcd_digit_columns(const char* text, int len, int width, int (&columns)[LCD_MAX_DIGITS]);
// Room for every screen at every height.
inline constexpr int LCD_MAX_SECTIONS = LCD_SCREEN_KINDS * LCD_MAX_ROWS;
struct LcdLayout {
    LcdSection sections[LCD_MAX_SECTIONS];
    int count = 0;
};
extern const char* const lcd_screen_names[LCD_SCREEN_KINDS];
// The built-in layout, as lcd.layout.sample spells it.
extern const char lcd_default_layout[];
// Reads a layout text (lines parted by LF or CR LF) into layout: for each screen that the text
// names, its sections replace the built-in ones. Every line that cannot be used gets an error
// line naming origin and the line number, and the rest is read. Returns the number of such lines.
int lcd_layout_read(LcdLayout* layout, const char* text, size_t len, const char* origin);
// The built-in layout, then plugins/lcd.layout when there is one (path, may be null).
void lcd_layout_load(LcdLayout* layout, const char* path);
// The section of a screen for a display of rows rows: the one with the most rows at most that
// many, or else the smallest; null when the screen has none.
const LcdSection* lcd_layout_pick(const LcdLayout& layout, LcdScreenKind screen, int rows);

// ---------------------------------------------------------------------------------------------
// The blocks, read through the readers' header once a second.
enum LcdBlockState { LCD_BLOCK_MISSING, LCD_BLOCK_STALE, LCD_BLOCK_LIVE };
struct LcdBlock {
    char name[VR_NAME_MAX] = "";  // this run's name (lcd_name_blocks)
    int stale_after = 0;
    vr_record* table = nullptr;  // VR_TABLE_RECORDS records
    int count = 0;               // tags in table while live
    LcdBlockState state = LCD_BLOCK_MISSING;
    vr_encoding encoding = VR_TEXT_RAW;
    int refusal = 0;  // the reader's refusal of the object at the name, told once
    LcdBlockState told = LCD_BLOCK_MISSING;  // the state last written to the log
};
extern LcdBlock lcd_mpx;
extern LcdBlock lcd_wfr;
// Names both blocks for this run: the bridges' names, with VISTREL_BLOCK_SUFFIX behind them when
// it is set. Returns 0, or VR_BAD_SUFFIX when the variable holds something that is no suffix.
int lcd_name_blocks();
// Reads a block afresh: missing when it cannot be opened, is not published or cannot be copied
// whole; stale when its publication time is more than its limit away from now; else live with
// its table. A torn copy keeps the table of the last good one. An object at the name that is
// not a block of this user is refused with an error line, once; a change of state is logged.
void lcd_block_read(LcdBlock* block, int64_t now);
// Judges a copied table: live, or stale by its header's time (read as unsigned 32-bit).
LcdBlockState lcd_block_age_state(const vr_record& header, int64_t now, int stale_after);
// A tag of a live block as a template value.
bool lcd_block_value(const LcdBlock& block, const char* name, LcdValue* value);

// ---------------------------------------------------------------------------------------------
// The screens as they should stand now.
enum LcdWidgetKind { LCD_WIDGET_NONE, LCD_WIDGET_STRING, LCD_WIDGET_SCROLLER, LCD_WIDGET_BAR };
struct LcdRow {
    LcdWidgetKind kind = LCD_WIDGET_NONE;
    char text[LCD_TEXT_MAX + 1] = {};
    int len = 0;
    int pixels = 0;
    char icon[16] = {};  // the mark's icon, "" for none
    int icon_column = 0;
};
struct LcdScreen {
    char id[24] = {};
    // The big digits: digits and ':' (LCDd's number 10), at digit_columns; none when 0.
    char digits[LCD_MAX_DIGITS + 1] = {};
    int digit_count = 0;
    int digit_columns[LCD_MAX_DIGITS] = {};
    char title[32] = {};
    bool foreground = false;
    bool alert = false;  // shown at once over every other screen, as long as it stands
    bool dark = false;   // with the display's backlight off
    LcdRow rows[LCD_MAX_ROWS];
};
inline constexpr int LCD_MAX_SCREENS = LCD_MAX_RECORDINGS + 4;
struct LcdScreens {
    LcdScreen screens[LCD_MAX_SCREENS];
    int count = 0;
};
// What changed lately on the WifiRemote block: the volume (Volume, IsMuted), and while nothing
// plays where the user is in the media centre (CurrentModule, SelectedItem). Each change shows
// its screen until the time kept here.
inline constexpr int LCD_VOLUME_SECONDS = 3;
struct LcdWatch {
    bool seen = false;  // the values below are those of a live block
    uint64_t volume = 0, navigation = 0;
    int64_t volume_until = 0, navigation_until = 0;
    // The last second at which something recorded, played or was navigated (or the program
    // started), and after how many seconds without any the idle screen turns the backlight off
    // (0: never).
    int64_t active_at = 0;
    int dark_after = 0;
    // The recording that the display's key brought to the front, and until when.
    int focus = 0;
    int64_t focus_until = 0;
};
// A press of the display's key at now: the next recording in progress of screens after the one
// in front (the first after the last), in front over the others for seconds.
void lcd_watch_key(LcdWatch* watch, const LcdScreens& screens, int64_t now, int seconds);
// Notes the screens composed at now: any but the idle screen count as something going on.
void lcd_watch_activity(LcdWatch* watch, const LcdScreens& screens, int64_t now);
// Takes the WifiRemote block as read at now: a change of the volume shows the volume screen for
// LCD_VOLUME_SECONDS, a change of the module or the selected item while nothing plays the
// navigation screen for navigation_seconds. The first look at a live block, and a block that is
// not live, change nothing on the display.
void lcd_watch(LcdWatch* watch, const LcdBlock& wfr, int64_t now, int navigation_seconds);
// Composes the screens from both blocks at now: one per recording in progress of a live
// MPExtended block, the playing screen while a live WifiRemote block says something plays, and
// the idle screen when there is neither; and over them the volume and navigation screens while
// watch (when given) holds them.
void lcd_compose(const LcdLayout& layout, const LcdDisplay& display, const LcdBlock& mpx, const LcdBlock& wfr,
                 int64_t now, LcdScreens* out, const LcdWatch* watch = nullptr);
// The program value of a name that begins with '@' (the clock at now, the blocks' state).
bool lcd_program_value(const char* name, int64_t now, const LcdBlock& mpx, const LcdBlock& wfr, char* buf,
                       size_t size, LcdValue* value);

// ---------------------------------------------------------------------------------------------
// The commands that bring what LCDd shows from one set of screens to another.

// A batch of whole command lines, each with its line end, and where each begins.
struct LcdCommands {
    static constexpr size_t kBytes = 64 * 1024;
    static constexpr int kMax = 1024;
    char bytes[kBytes];
    size_t len = 0;
    int starts[kMax];
    int count = 0;
    bool overflow = false;
    void clear() {
        len = 0;
        count = 0;
        overflow = false;
    }
    // Adds one command line; a command that does not fit marks the batch as overflowing.
    void add(const char* line, size_t line_len);
};
// Appends to cmds the commands that turn have into want: screens removed, added (with their
// name, priority and widgets) and changed widget by widget; nothing for what stays the same.
// A screen whose commands do not all fit in the batch gets none of them (the batch is marked as
// overflowing), so that no screen is ever sent in part; sent (when given) receives what LCDd
// holds once the batch is through: want's screens that fit, and have's for the others.
void lcd_diff(const LcdScreens& have, const LcdScreens& want, const LcdDisplay& display, LcdCommands* cmds,
              LcdScreens* sent = nullptr);
// The commands that take all of have off the display, and those of also (when given) that have
// does not hold.
void lcd_remove_all(const LcdScreens& have, LcdCommands* cmds, const LcdScreens* also = nullptr);

// ---------------------------------------------------------------------------------------------
// Settings and the session with LCDd.
struct LcdSettings {
    LcdSettings() { memcpy(host, LCD_DEFAULT_HOST, sizeof LCD_DEFAULT_HOST); }
    char host[LCD_HOST_MAX + 1] = {};
    int port = LCD_DEFAULT_PORT;
    char layout_path[260] = VP_PLUGINS "lcd.layout";
    char cfg_path[260] = VP_PLUGINS "MP.cfg";
    bool once = false;
    int navigation_seconds = 5;  // LCD_NavigationSeconds=
    int backlight_off_seconds = 0;  // LCD_BacklightOffSeconds=, 0 for never
};
extern LcdSettings lcd_settings;
// Reads LCD_Host=, LCD_Port=, LCD_NavigationSeconds= and LCD_BacklightOffSeconds= (and Debug=)
// from the settings file,
// through the bridges' shared reader.
void lcd_read_cfg(const char* path);
// Command-line options over the settings: --host, --port, --layout, --config. Returns 0 to run,
// 1 when --help was answered, 2 for a wrong option (written to err).
int lcd_options(int argc, char** argv, FILE* out, FILE* err);
extern const char lcd_usage[];

// Whether a connection to LCDd stands, and the display it reported.
extern bool lcd_connected;
extern LcdDisplay lcd_display;
// Connects, says hello and names the client, each answer awaited until one deadline
// (MP_Limits::lcd_answer_ms) whatever LCDd sends meanwhile. Returns 0, or -1 with the reason
// logged (also when a stop request came meanwhile).
int lcd_session_open();
// What lcd_session_send did.
enum : int { LCD_SENT = 0, LCD_SEND_FAILED = -1, LCD_SEND_STOPPED = 1 };
// Sends the commands in chunks that each fit one network packet, and waits for each chunk's
// answers before the next (LCDd parses each read as whole lines), all of them within one
// deadline (MP_Limits::lcd_answer_ms) from the start. LCD_SENT when every command succeeded;
// LCD_SEND_FAILED when LCDd refused one, closed, or did not answer in time, after which the
// session is closed; LCD_SEND_STOPPED when a stop request came on the way: the session stays
// open for lcd_session_finish, and some of the commands may have had their effect.
int lcd_session_send(const LcdCommands& cmds);
// After a stop request: sends the commands (those that take the screens off), waits for their
// answers and for those still due to a send that the request cut short, within 0.5 s at most,
// and closes the session. Refusals count as answers (a screen of an update cut short may never
// have been added). Returns 0 when every answer came, -1 otherwise; LCDd drops a client's
// screens when its connection closes, so they go either way.
int lcd_session_finish(const LcdCommands& cmds);
void lcd_session_close();
// Why the last open or send failed (a connect error, a refusal, the connection's end).
const char* lcd_session_reason();
// Takes LCDd's unasked lines (listen, ignore, keys) while it waits up to ms; returns
// VP_WAIT_STOP on a stop request, VP_WAIT_TIME otherwise; a lost connection closes the session.
// Whatever LCDd sends, at most 64 KiB a second is read (also while answers are awaited); an
// unexpected line is logged, at most three in ten seconds and the others counted.
int lcd_session_idle(int ms);
// Bytes read from LCDd since the program started.
unsigned long long lcd_session_bytes_read();
// The display's key that steps through the recordings in progress, reserved (shared with LCDd's
// own use of it) with every connection; and the presses of it since the last call.
inline constexpr char LCD_STEP_KEY[] = "Down";
int lcd_session_take_keys();

// The program: the loop of a second, the retry every 5 s (MP_Limits::lcd_retry_ms), and the end
// within a second of a stop request.
int lcd_main(int argc, char** argv);

// Every line of the program goes through these two, into its log and onto the console (only
// onto the console while no log is open). A report of level 0 is always written; 1 to 3 follow
// Debug= as the bridges' lines do. Text from outside (LCDd's answers, a layout file) is escaped
// by the caller with MP_escape_untrusted.
void lcd_report(int level, const char* format, ...) MP_PRINTF(2, 3);
void lcd_error(const char* format, ...) MP_PRINTF(1, 2);
