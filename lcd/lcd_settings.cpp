// lcd_settings.cpp - where LCDd is: LCD_Host= and LCD_Port= of the bridges' settings file, and the command line over them.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "lcd.h"
#include "mp_cfg.h"

LcdSettings lcd_settings;

namespace {

constexpr char kLabel[] = "lcd_read_cfg";

// What the command line sets; it wins over the settings file.
char option_host[LCD_HOST_MAX + 1];
int option_port = 0;

// A host name or a dotted address: letters, digits, '.', '-' and '_' only. The name is written
// into the program's lines, so nothing else of the file's may come along.
bool host_word(const char* text) {
    if (*text == '\0') return false;
    for (const char* p = text; *p; p++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// A number from lo to hi sets the setting; one out of that range is refused with an error line.
void set_number(const char* value, int* setting, int lo, int hi, const char* key) {
    int v;
    MP_CfgNumber r = MP_cfg_read_int(value, &v);
    if (r == MP_CFG_NO_NUMBER) return;
    if (r == MP_CFG_TOO_BIG || v < lo || v > hi)
        lcd_error("%s value out of range %d-%d; keeping %d", key, lo, hi, *setting);
    else
        *setting = v;
}

void apply(const char* line) {
    static constexpr std::string_view keys[] = {"Debug=", "LCD_Host=", "LCD_Port=", "LCD_NavigationSeconds=",
                                                "LCD_BacklightOffSeconds="};
    const char* value;
    switch (MP_cfg_key(line, keys, 5, &value)) {
    case 0: MP_cfg_set_debug(kLabel, value); break;
    case 1: {
        char host[sizeof lcd_settings.host];
        memcpy(host, lcd_settings.host, sizeof host);
        if (MP_cfg_set_text(kLabel, host, sizeof host, value, "LCD_Host=") == 0) break;
        if (host_word(host))
            memcpy(lcd_settings.host, host, sizeof host);
        else
            lcd_error("LCD_Host= value holds characters that no host name has; keeping %s", lcd_settings.host);
        break;
    }
    case 2: set_number(value, &lcd_settings.port, 1, 65535, "LCD_Port="); break;
    case 3: set_number(value, &lcd_settings.navigation_seconds, 1, 60, "LCD_NavigationSeconds="); break;
    case 4: set_number(value, &lcd_settings.backlight_off_seconds, 0, 86400, "LCD_BacklightOffSeconds="); break;
    default: break;  // the bridges' keys
    }
}

// A whole decimal port number, 1 to 65535.
bool port_word(const char* text, int* port) {
    long v = 0;
    if (*text == '\0') return false;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9' || p - text > 5) return false;
        v = v * 10 + (*p - '0');
    }
    if (v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

bool copy_path(char* dest, size_t size, const char* value) {
    size_t n = strlen(value);
    if (n == 0 || n >= size) return false;
    memcpy(dest, value, n + 1);
    return true;
}

}  // namespace

const char lcd_usage[] =
    "Usage: vistrel_lcd [--host HOST] [--port N] [--layout FILE] [--config FILE]\n"
    "\n"
    "Shows the Vistrel bridges' blocks on a character display through the LCDproc server LCDd:\n"
    "a screen for each recording in progress, one for what plays, and the clock when there is\n"
    "neither. Reads both blocks once a second; a block older than 60 s (MPExtended) or 30 s\n"
    "(WifiRemote), or none at all, shows as \"No data\". When LCDd cannot be reached, or ends the\n"
    "connection, it tries again every 5 s. Ctrl-C takes its screens off the display and ends it.\n"
    "\n"
    "  --host HOST     LCDd's computer (LCD_Host= in the settings file; 127.0.0.1)\n"
    "  --port N        LCDd's port (LCD_Port=; 13666)\n"
    "  --layout FILE   the screens' layout (plugins/lcd.layout; the built-in one without it)\n"
    "  --config FILE   the settings file (plugins/MP.cfg)\n"
    "  --help          this text\n"
    "\n"
    "It logs to plugins/vistrel_lcd.log and the console; Debug= of the settings file applies.\n";

int lcd_options(int argc, char** argv, FILE* out, FILE* err) {
    option_host[0] = '\0';
    option_port = 0;
    for (int i = 1; i < argc; i += 2) {
        // Every option but --help takes a value, the word after it.
        const char* a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(lcd_usage, out);
            return 1;
        }
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = v != nullptr;
        if (ok && strcmp(a, "--host") == 0) {
            ok = strlen(v) <= static_cast<size_t>(LCD_HOST_MAX) && host_word(v);
            if (ok) memcpy(option_host, v, strlen(v) + 1);
        } else if (ok && strcmp(a, "--port") == 0) {
            ok = port_word(v, &option_port);
        } else if (ok && strcmp(a, "--layout") == 0) {
            ok = copy_path(lcd_settings.layout_path, sizeof lcd_settings.layout_path, v);
        } else if (ok && strcmp(a, "--config") == 0) {
            ok = copy_path(lcd_settings.cfg_path, sizeof lcd_settings.cfg_path, v);
        } else {
            fprintf(err, "vistrel_lcd: unknown option %s\n\n%s", a, lcd_usage);
            return 2;
        }
        if (!ok) {
            fprintf(err, "vistrel_lcd: %s takes %s\n", a,
                    strcmp(a, "--port") == 0 ? "a port number from 1 to 65535"
                    : strcmp(a, "--host") == 0 ? "a host name or address (letters, digits, '.', '-', '_')"
                                               : "a file name");
            return 2;
        }
    }
    return 0;
}

void lcd_read_cfg(const char* path) {
    long long size;
    time_t mtime;
    vp_clear_error();
    // Without a settings file the defaults hold; that is no error for a display client.
    if (vp_file_stat(path, &size, &mtime) == -1 && vp_error_is_missing(vp_last_error()))
        lcd_report(1, "No %s: LCDd is looked for at the defaults", path);
    else
        MP_cfg_read_file(kLabel, path, apply);
    if (option_host[0]) memcpy(lcd_settings.host, option_host, sizeof option_host);
    if (option_port) lcd_settings.port = option_port;
}
