// lcd_main.cpp - vistrel_lcd's start-up and its loop: a look at both blocks every second, LCDd kept up to date.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lcd.h"
#include "mp_crash.h"

namespace {

constexpr double kRetrySeconds = 5.0;

LcdLayout layout;
// What LCDd holds of ours, and what it should hold now.
LcdScreens have, want;
LcdCommands commands;

// The reason of the last failed connection, told once on the console until it changes.
char told[512];

void failed(bool lost) {
    const char* why = lcd_session_reason();
    if (!lost && strcmp(why, told) == 0) {
        lcd_report(2, "LCDd at %s:%d: %s", lcd_settings.host, lcd_settings.port, why);
        return;
    }
    snprintf(told, sizeof told, "%s", why);
    lcd_report(0, "LCDd at %s:%d: %s%s; trying again every %d s", lcd_settings.host, lcd_settings.port,
               lost ? "connection lost: " : "", why, static_cast<int>(kRetrySeconds));
}

int64_t now_seconds() {
    time_t t;
    unsigned short ms;
    vp_time_now(&t, &ms);
    return static_cast<int64_t>(t);
}

// One second's work: the blocks read, the screens composed and sent. Returns false when the
// connection was lost on the way.
bool update(int64_t now) {
    lcd_block_read(&lcd_mpx, now);
    lcd_block_read(&lcd_wfr, now);
    if (!lcd_connected) return true;
    lcd_compose(layout, lcd_display, lcd_mpx, lcd_wfr, now, &want);
    commands.clear();
    lcd_diff(have, want, lcd_display, &commands);
    if (commands.overflow) lcd_error("More commands than one update holds; some screens are not complete");
    if (commands.count == 0) return true;
    if (lcd_session_send(commands) != 0) {
        have.count = 0;
        return false;
    }
    have = want;
    return true;
}

}  // namespace

int lcd_main(int argc, char** argv) {
    MP_trace_enter("main");
    MP_install_exception_handler();
    snprintf(MP_Global_Title, sizeof MP_Global_Title, "Vistrel LCD client");
    snprintf(MP_Global_Version, sizeof MP_Global_Version, "1.0");
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "vistrel_lcd.log");
    int rc = lcd_options(argc, argv, stdout, stderr);
    if (rc != 0) return rc == 1 ? 0 : 2;
    // The log's refusal is written without a line end of its own.
    if (!MP_open_log()) fputs(" (lines go to the console only)\n", stdout);
    if (lcd_name_blocks() != 0) {
        lcd_error("VISTREL_BLOCK_SUFFIX takes 1 to %d letters, digits, '.', '_' or '-'", VR_SUFFIX_MAX);
        return 2;
    }
    lcd_read_cfg(lcd_settings.cfg_path);
    lcd_layout_load(&layout, lcd_settings.layout_path);
    int net = vp_net_start();
    if (net != 0) {
        lcd_error("The socket library cannot be started: %d", net);
        return 1;
    }
    if (vp_stop_catch() != 0) lcd_error("Ctrl-C cannot be caught; the screens stay on the display until LCDd notices the end");
    lcd_report(0, "vistrel_lcd: the Vistrel blocks on LCDd at %s:%d", lcd_settings.host, lcd_settings.port);

    double next_attempt = 0;
    while (!vp_stop_requested()) {
        double cycle = vp_process_seconds();
        if (!lcd_connected && cycle >= next_attempt) {
            lcd_report(2, "Connecting to LCDd at %s:%d", lcd_settings.host, lcd_settings.port);
            if (lcd_session_open() == 0) {
                have.count = 0;
                told[0] = '\0';
                lcd_report(0, "Connected to LCDd at %s:%d: a display of %dx%d", lcd_settings.host, lcd_settings.port,
                           lcd_display.real_width, lcd_display.real_rows);
            } else {
                failed(false);
                next_attempt = cycle + kRetrySeconds;
            }
        }
        if (!update(now_seconds())) {
            failed(true);
            next_attempt = vp_process_seconds() + kRetrySeconds;
        }
        // Until the next second, LCDd's unasked lines are taken as they come.
        int left = static_cast<int>((cycle + 1.0 - vp_process_seconds()) * 1000.0);
        if (left > 0 && lcd_session_idle(left) == VP_WAIT_STOP) break;
        if (!lcd_connected && have.count > 0) {
            // The connection ended while idle: LCDd dropped our screens with it.
            have.count = 0;
            failed(true);
            next_attempt = vp_process_seconds() + kRetrySeconds;
        }
    }

    if (lcd_connected) {
        commands.clear();
        lcd_remove_all(have, &commands);
        if (lcd_session_send(commands) == 0) lcd_report(1, "Screens taken off the display");
        lcd_session_close();
    }
    lcd_report(0, "vistrel_lcd ends");
    MP_close_log();
    return 0;
}
