// mp_limits.h - the pauses and limits of the connection loop and both conversations, in one place.
#pragma once

#include <cstddef>

// Today's values are the defaults; nothing changes them in a normal run. Tests, which cannot
// wait out a 5 s pause or a 60 s limit many times over, shorten them for a whole process tree
// through the environment variable VISTREL_TEST_LIMITS (MP_limits_from_environment).
struct MP_Limits {
    int reconnect_pause_ms = 5000;  // after every connection attempt, before the next one
    int send_ms = 10000;            // a send, as a whole, before the connection is given up
    int answer_ms = 10000;          // MPExtended: any single wait for the service
    int whole_answer_ms = 60000;    // MPExtended: a whole answer, waits included
    int silence_ms = 60000;         // WifiRemote: a plug-in that sends nothing for this long
    int poll_ms = 5000;             // WifiRemote: between two rounds of status requests
    int lcd_retry_ms = 5000;        // vistrel_lcd: between two attempts to reach LCDd
    int lcd_answer_ms = 5000;       // vistrel_lcd: LCDd's answer to hello, or to an update as a whole
};
extern MP_Limits MP_Global_Limits;

// A block whose last publication is older than this, in seconds, is stale: a live bridge
// publishes far more often. The monitor and vistrel_lcd mark it so; the reader's guide gives
// these limits to display authors.
inline constexpr int MP_STALE_WIFIREMOTE = 30;
inline constexpr int MP_STALE_MPEXTENDED = 60;

inline constexpr char MP_LIMITS_VARIABLE[] = "VISTREL_TEST_LIMITS";
// The longest value that a limit may be given (a day), so that no sum of them overflows.
inline constexpr int MP_LIMIT_MAX_MS = 86400000;

// Applies a list of limits in milliseconds, "name=ms" separated by commas ("reconnect=200,
// answer=500"), with the names reconnect, send, answer, whole, silence, poll, lcd_retry and
// lcd_answer, to limits.
// Each value is 1 to MP_LIMIT_MAX_MS. Returns 0 when every item was applied; otherwise the
// items that were sound are applied, the others left as they were, and why (size bytes) names
// the first that was not.
int MP_limits_parse(const char* text, MP_Limits* limits, char* why, size_t size);
// Applies VISTREL_TEST_LIMITS to MP_Global_Limits when it is set: a log line (level 1) names
// the limits in force, and an error line any item that was not applied. Programs call it once
// their log is open.
void MP_limits_from_environment();
