// mpx.h - the MPExtended bridge: its settings, its start-up and its main routine.
#pragma once

#include "vp.h"

// Settings of this bridge beside the common ones (mp_log.h, mp_tcp.h).
extern char MP_Global_mUserName[256];
extern char MP_Global_mPassword[256];
extern int MP_Global_mWait;  // seconds between polls, 0 to MPX_WAIT_MAX

inline constexpr int MPX_DEFAULT_PORT = 4322;
inline constexpr int MPX_DEFAULT_WAIT = 10;
// The pause is multiplied by 1,000 for a sleep in milliseconds; a day keeps that far from any
// overflow and is longer than any sensible poll interval.
inline constexpr int MPX_WAIT_MAX = 86400;
inline constexpr char MPX_DEFAULT_USERNAME[] = "admin";
inline constexpr char MPX_DEFAULT_PASSWORD[] = "vstrl";
inline constexpr char MPX_CFG_PATH[] = VP_PLUGINS "MP.cfg";
inline constexpr char MPX_BLOCK_NAME[] = "Vistrel_MPExtended";
inline constexpr char MPX_CONNECTION_TAG[] = "TCP[MPEx]:";

// Sets the process-wide defaults and empties the tag table; only the first call does so.
void MP_init_globals();
// The work of MP_init_globals without its once-only guard: every default set afresh.
void MP_Extended_defaults();
// Reads plugins/MP.cfg, stores the four summary tags and logs the settings in force. The
// argument is not used.
int MP_read_cfg_file(int unused);
// Start-up up to the publication block: trace, crash report, defaults, log, settings, block.
void MP_Extended_startup();
// The program: start-up, then the connection loop for ever.
[[noreturn]] void MP_Extended_main();
