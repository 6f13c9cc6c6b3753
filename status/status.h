// status.h - the status monitor: bridge start-up, its two block channels, the merged tables
// and the screen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mp_tags.h"

// The monitor's two channels: 0 the WifiRemote bridge, 1 the MPExtended bridge.
inline constexpr int STATUS_CHANNELS = 2;
extern const char* const MP_status_block_name[STATUS_CHANNELS];
extern const char* const MP_status_program[STATUS_CHANNELS];
extern const char* const MP_status_start_arg[STATUS_CHANNELS];

// The copies kept between cycles, zero at start. The merged table holds the WifiRemote header
// and tags as copied, then the MPExtended tags appended to them as far as its 2,049 rows reach;
// rows beyond that are listed straight from the MPExtended copy.
extern MP_TagEntry MP_status_header1;
extern MP_TagEntry MP_status_header2;
extern MP_TagEntry MP_status_mpx_table[MP_TABLE_SIZE];
extern MP_TagEntry MP_status_merged[MP_TABLE_SIZE];
extern int MP_status_count1;
extern int MP_status_count2;
extern int MP_status_row_total;

// Start-up.
void MP_Kernel32_Start();
// 1 running, 0 not running, -1 unknown (no process list, or no way to read image paths).
int MP_status_check_process(const char* name);
void MP_status_start_bridges();

// Blocks.
void MP_status_open_block(int channel, const char* name);
void MP_status_copy_block(int channel, void* dest, size_t length);
// Why a channel has no view ("" while it has one or has not been opened).
const char* MP_status_channel_problem(int channel);
void MP_status_read_tables();

// The screen.
void MP_status_time_text(char* dest, int64_t seconds);
const char* MP_status_now_text();
void MP_status_print_tags();
// Reads both tables and composes the whole screen; returns its text and length.
const char* MP_status_compose(size_t* length);
// One cycle: compose and show the screen.
void MP_status_show();
