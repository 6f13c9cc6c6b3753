// status.h - the status monitor: bridge start-up, its two block channels, the merged tables
// and the screen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mp_encoding_names.h"
#include "mp_limits.h"
#include "vistrel_reader.h"

// The monitor's two channels: 0 the WifiRemote bridge, 1 the MPExtended bridge.
inline constexpr int STATUS_CHANNELS = 2;
// The blocks' names of this run: the bridges' own names, with VISTREL_BLOCK_SUFFIX behind them
// when it is set (MP_status_name_blocks, at start).
inline constexpr int STATUS_NAME_MAX = VR_NAME_MAX;
extern const char* const MP_status_base_name[STATUS_CHANNELS];
extern char MP_status_block_name[STATUS_CHANNELS][STATUS_NAME_MAX];
// Names both blocks from the environment. Returns 0, or VR_BAD_SUFFIX (the names stay the
// bridges' own) when VISTREL_BLOCK_SUFFIX holds something that is no suffix.
int MP_status_name_blocks();
extern const char* const MP_status_program[STATUS_CHANNELS];
extern const char* const MP_status_start_arg[STATUS_CHANNELS];

// The copies kept between cycles, zero at start. The merged table holds the WifiRemote header
// and tags as copied, then the MPExtended tags appended to them as far as its 2,049 rows reach;
// rows beyond that are listed straight from the MPExtended copy.
extern vr_record MP_status_header1;
extern vr_record MP_status_header2;
extern vr_record MP_status_mpx_table[VR_TABLE_RECORDS];
extern vr_record MP_status_merged[VR_TABLE_RECORDS];
extern int MP_status_count1;
extern int MP_status_count2;
extern int MP_status_row_total;

// Start-up.
// Whether a bridge's program file may be started: a regular file that belongs to the monitor's
// user or to root (Windows: to the administrators; a file system that records no owners is not
// asked) and that nobody else may change, in a folder that nobody else may change; whoever may
// change either could have a program of theirs run as the monitor's user. Returns true, or false
// with why (size bytes) naming the file and what is wrong, fit for a terminal.
bool MP_status_program_safe(const char* program, char* why, size_t size);
// Starts each bridge that is not running and whose program file is safe to start (otherwise an
// error line on the console and on the screen says why), then opens both blocks.
void MP_status_start_bridges();

// Blocks.
void MP_status_open_block(int channel, const char* name);
// Why a channel's bridge was not started and why the channel has no view ("" while there is
// nothing to say).
const char* MP_status_channel_problem(int channel);
// Notes why a channel's bridge was not started, for the screen.
void MP_status_note_start_problem(int channel, const char* text);
void MP_status_read_tables();

// The screen.
void MP_status_time_text(char* dest, int64_t seconds);
void MP_status_print_tags();
// Reads both tables and composes the whole listing; returns its text and length.
const char* MP_status_compose(size_t* length);
// One cycle: reads both tables and shows them in the form that the console takes: a screen
// that fits the window when standard output is a terminal of known size, else the whole
// listing.
void MP_status_show();

// Filters: the words given on the command line. A row is listed when its name begins with one
// of them (the tag table's prefix lookup: bytes compared as they are), every row when none is
// given. Words past the first STATUS_MAX_FILTERS are ignored; returns the number kept.
inline constexpr int STATUS_MAX_FILTERS = 64;
int MP_status_set_filter(int count, const char* const* words);
bool MP_status_filtered();
// Filter word i, or null past the last.
const char* MP_status_filter_word(int i);
bool MP_status_row_listed(const vr_record& row);

// The age of a block's publication as shown after its status line, in brackets: "[12 s ago]",
// "[STALE, 5 min ago]" once older than stale_after, "[never published]" for a time of 0 and
// "[3 s ahead]" for a time later than now. The time is the header's 32-bit count of seconds,
// read as unsigned so that it stays right after January 2038.
void MP_status_age_text(char* dest, size_t size, int64_t now, int32_t published, int stale_after);

// The text encodings that the rows are shown in: the one that --encoding named (-1 when none
// was given), the settings file's (plugins/MP.cfg of the folder, read at start), and each block's
// marker as last copied. A block's texts are shown in the option's encoding, else its marker's,
// else the settings file's.
extern int MP_status_encoding_option;
extern int MP_status_settings_encoding;
extern char MP_status_marker[STATUS_CHANNELS][MP_TEXT_MARKER_SIZE];
int MP_status_encoding(int channel);
// The channel whose block row r of the listing comes from.
int MP_status_row_channel(int r);

// A field of at most width bytes up to its zero, made safe for a terminal in out, as its block's
// encoding means it (MP_term_text): in Raw (out width + 1 bytes) control bytes, DEL and the C1
// controls, raw (0x80 to 0x9F) or UTF-8 encoded (C2 80 to C2 9F, one '?' for both bytes), show as
// '?'; in the readable encodings (out 3 * width + 1 bytes) the letters as UTF-8, every control
// and every byte that is no character as '?'.
const char* MP_status_console_text(char* out, const char* field, size_t width, int encoding = MP_TEXT_RAW);

// The lines of both screen forms, without their line ends, as long as they come (dest holds
// STATUS_LINE_MAX bytes). Channel 0 or 1's state line, with the age of its block at now; row r
// of the listing.
inline constexpr size_t STATUS_LINE_MAX = 1024;
size_t MP_status_state_line(char* dest, int channel, int64_t now);
size_t MP_status_row_line(char* dest, int r);
const vr_record& MP_status_listed_row(int r);

// The whole listing from the copies as they are, at now: both state lines, the listing of
// every row that the filters let through, the total and, when filtered, how many matched.
const char* MP_status_full_screen(int64_t now, size_t* length);
// A screen that fits a window of rows by cols from the copies as they are: the state lines
// (wrapped, so that the age stays in sight), the column header, as many listed rows as fit from
// the paging position on, and a last line with the total, how many rows are not shown and how to
// see them (the paging keys when keys is true). Lines parted by '\n', each narrower than cols.
const char* MP_status_fitted_screen(int64_t now, int rows, int cols, bool keys, size_t* length);

// Paging. The position is an index among the listed rows; STATUS_LAST keeps the last rows in
// sight as the tables grow. A screen clamps it to the rows there are.
inline constexpr int STATUS_LAST = 0x7fffffff;
extern int MP_status_first;
// The first listed row and the number of rows of the last fitted screen.
extern int MP_status_shown_first;
extern int MP_status_page_rows;
// Moves the position by a key (j/k and the arrows a row, Space/f/b and the page keys a page,
// g/Home and G/End to the ends). Returns whether the key was one of these.
bool MP_status_page(int key);

// The monitor's loop: a screen a second, keys read in between while the console gives them;
// returns when q is pressed.
extern bool MP_status_keys_on;
void MP_status_run();
extern const char MP_status_usage[];
