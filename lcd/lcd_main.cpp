// lcd_main.cpp - vistrel_lcd's start-up and its loop: a look at both blocks every second, LCDd kept up to date.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lcd.h"
#include "mp_crash.h"
#include "mp_limits.h"

namespace {

LcdLayout layout;
// What LCDd holds of ours, what it should hold now, and what it holds once the commands of an
// update are through (less than want when they did not all fit in one batch).
LcdScreens have, want, sent;
LcdCommands commands;
// The latest changes of volume and navigation, whose screens stand for a few seconds.
LcdWatch watch;
// An update that a stop request cut short: LCDd may hold screens of want that have lacks.
bool cut_short = false;
// The batch overflowed in the last update; told once until it no longer does.
bool told_overflow = false;

double retry_seconds() { return MP_Global_Limits.lcd_retry_ms / 1000.0; }

// The reason of the last failed connection, told once on the console until it changes.
char told[512];

void failed(bool lost) {
    const char* why = lcd_session_reason();
    if (!lost && strcmp(why, told) == 0) {
        lcd_report(2, "LCDd at %s:%d: %s", lcd_settings.host, lcd_settings.port, why);
        return;
    }
    snprintf(told, sizeof told, "%s", why);
    lcd_report(0, "LCDd at %s:%d: %s%s; trying again every %g s", lcd_settings.host, lcd_settings.port,
               lost ? "connection lost: " : "", why, retry_seconds());
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
    lcd_watch(&watch, lcd_wfr, now, lcd_settings.navigation_seconds);
    watch.dark_after = lcd_settings.backlight_off_seconds;
    if (!lcd_connected) return true;
    lcd_compose(layout, lcd_display, lcd_mpx, lcd_wfr, now, &want, &watch);
    lcd_watch_activity(&watch, want, now);
    commands.clear();
    // A new connection: the display's key that steps through the recordings, shared with LCDd.
    if (have.count == 0) {
        char key[64];
        int n = snprintf(key, sizeof key, "client_add_key -shared %s", LCD_STEP_KEY);
        commands.add(key, static_cast<size_t>(n));
    }
    lcd_diff(have, want, lcd_display, &commands, &sent);
    if (commands.overflow && !told_overflow)
        lcd_error("More commands than one update holds; the screens that did not fit follow in the next updates");
    told_overflow = commands.overflow;
    if (commands.count == 0) return true;
    int rc = lcd_session_send(commands);
    if (rc == LCD_SEND_STOPPED) {
        cut_short = true;
        return true;
    }
    if (rc != LCD_SENT) {
        have.count = 0;
        return false;
    }
    have = sent;
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
    // After the settings, whose Debug= decides whether the limits in force are logged.
    MP_limits_from_environment();
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
            // The pause counts from each attempt's start, however long the attempt took.
            next_attempt = cycle + retry_seconds();
            if (lcd_session_open() == 0) {
                have.count = 0;
                told[0] = '\0';
                lcd_report(0, "Connected to LCDd at %s:%d: a display of %dx%d", lcd_settings.host, lcd_settings.port,
                           lcd_display.real_width, lcd_display.real_rows);
            } else if (!vp_stop_requested()) {
                failed(false);
            }
        }
        if (!update(now_seconds())) {
            failed(true);
            next_attempt = vp_process_seconds() + retry_seconds();
        }
        bool was_connected = lcd_connected;
        if (vp_stop_requested()) break;
        // Until the next second, LCDd's unasked lines are taken as they come.
        int left = static_cast<int>((cycle + 1.0 - vp_process_seconds()) * 1000.0);
        if (left > 0 && lcd_session_idle(left) == VP_WAIT_STOP) break;
        for (int k = lcd_session_take_keys(); k > 0; k--)
            lcd_watch_key(&watch, want, now_seconds(), lcd_settings.navigation_seconds);
        if (was_connected && !lcd_connected && !vp_stop_requested()) {
            // The connection ended while idle: LCDd dropped our screens with it.
            have.count = 0;
            failed(true);
            next_attempt = vp_process_seconds() + retry_seconds();
        }
    }

    if (lcd_connected) {
        // Within a second of the request: the screens taken off, whatever the server does.
        commands.clear();
        lcd_remove_all(have, &commands, cut_short ? &want : nullptr);
        if (lcd_session_finish(commands) == 0)
            lcd_report(1, "Screens taken off the display");
        else
            lcd_report(1, "LCDd did not answer in time as the program ended; the connection is closed, which takes "
                          "the screens off");
    }
    lcd_report(0, "vistrel_lcd ends");
    MP_close_log();
    return 0;
}
