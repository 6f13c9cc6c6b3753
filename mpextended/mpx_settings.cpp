// mpx_settings.cpp - the MPExtended bridge's defaults, its settings file and its first tags.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "mp_cfg.h"
#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"

char MP_Global_mUserName[256];
char MP_Global_mPassword[256];
int MP_Global_mWait;

namespace {

constexpr char kLabel[] = "MP_read_cfg_file:";
int globals_done = 0;

enum Key { kDebug, kAddress, kPort, kUserName, kPassword, kWait, kEncoding, kKeyCount };
// Compared in this order; the first key that begins the line decides.
constexpr std::string_view kKeys[kKeyCount] = {
    "Debug=",
    "MPExtended_IPAddress=",
    "MPExtended_Port=",
    "MPExtended_UserName=",
    "MPExtended_Password=",
    "MPExtended_Wait=",
    "Text_Encoding=",
};

// The pause between polls is limited to 0 .. one day, so that its milliseconds always fit.
void set_wait(const char* value) {
    int v;
    MP_CfgNumber r = MP_cfg_read_int(value, &v);
    if (r == MP_CFG_NO_NUMBER) return;
    int limited = v < 0 ? 0 : v > MPX_WAIT_MAX ? MPX_WAIT_MAX : v;
    if (r == MP_CFG_TOO_BIG || limited != v)
        MP_errlogf(kLabel, "MPExtended_Wait= value out of range 0-%d; using %d", MPX_WAIT_MAX,
                   limited);
    MP_Global_mWait = limited;
}

void apply_line(const char* line) {
    const char* value = nullptr;
    int k = MP_cfg_key(line, kKeys, kKeyCount, &value);
    switch (k) {
        case kDebug: MP_cfg_set_debug(kLabel, value); break;
        case kAddress:
            MP_cfg_set_text(kLabel, MP_Global_IPAddress, sizeof MP_Global_IPAddress, value, kKeys[k].data());
            break;
        case kPort: MP_cfg_set_port(kLabel, &MP_Global_Port, value, kKeys[k].data()); break;
        case kUserName:
            MP_cfg_set_secret(kLabel, MP_Global_mUserName, sizeof MP_Global_mUserName, value, kKeys[k].data());
            break;
        case kPassword:
            MP_cfg_set_secret(kLabel, MP_Global_mPassword, sizeof MP_Global_mPassword, value, kKeys[k].data());
            break;
        case kWait: set_wait(value); break;
        case kEncoding: MP_text_encoding_setting(kLabel, value, kKeys[k].data()); break;
        default: break;
    }
}

void copy_text(char* dest, size_t size, const char* text) { snprintf(dest, size, "%s", text); }

}  // namespace

void MP_Extended_defaults() {
    MP_TRACE("MP_Extended_defaults");
    copy_text(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "Vistrel_MPExtended.log");
    copy_text(MP_Global_Title, sizeof MP_Global_Title, "Vistrel MPExtended Interface v");
    copy_text(MP_Global_Version, sizeof MP_Global_Version, "1.0.7.33");
    MP_Global_Debug = 0;
    // The count is 0 at start-up anyway; setting it makes a repeated call leave an empty
    // table as well.
    MP_Numtags = 0;
    MP_Clear_tags();
    MP_Global_BarChar = 0;
    copy_text(MP_Global_DateFormat, sizeof MP_Global_DateFormat, "%H:%M %d/%m/%y");
    MP_Global_Port = MPX_DEFAULT_PORT;
    snprintf(MP_Global_IPAddress, sizeof MP_Global_IPAddress, "%d.%d.%d.%d", 127, 0, 0, 1);
    MP_Global_Connected = 0;
    copy_text(MP_Global_mUserName, sizeof MP_Global_mUserName, MPX_DEFAULT_USERNAME);
    copy_text(MP_Global_mPassword, sizeof MP_Global_mPassword, MPX_DEFAULT_PASSWORD);
    // Empties the recent-lines ring and leaves the log closed.
    MP_log_reset();
    MP_Global_mWait = MPX_DEFAULT_WAIT;
    MP_Global_TextEncoding = MP_TEXT_RAW;
}

void MP_init_globals() {
    MP_TRACE("MP_init_globals");
    if (globals_done) return;
    globals_done = 1;
    MP_Extended_defaults();
}

int MP_read_cfg_file(int unused) {
    MP_TRACE("MP_read_cfg_file");
    (void)unused;
    MP_init_globals();
    MP_logl(3, kLabel, "Started");

    MP_cfg_read_file(kLabel, MPX_CFG_PATH, apply_line);
    MP_Extended_register_secrets();

    MP_put_tag("IsRecording", MP_TYPE_TEXT, 1, "false");
    MP_put_tag("NRecordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("Recordings", MP_TYPE_TEXT, 0, "None");
    MP_put_tag("IRecordings", MP_TYPE_INT, 0, "0");

    MP_logf(3, kLabel, "MP_Global_IPAddress=%s", MP_cfg_shown(MP_Global_IPAddress));
    MP_logf(3, kLabel, "MP_Global_Port[%d]=%d", 0, MP_Global_Port);
    // The credentials show at debug level 3 only; the ring keeps these lines without them.
    MP_logf_secret(kLabel, "MP_Global_mUserName=%s", MP_Global_mUserName);
    MP_logf_secret(kLabel, "MP_Global_mPassword=%s", MP_Global_mPassword);
    MP_logf(3, kLabel, "MP_Global_mWait=%d", MP_Global_mWait);
    // Raw, the default, goes unsaid, so that the log reads as it always has.
    if (MP_text_readable())
        MP_logf(3, kLabel, "MP_Global_TextEncoding=%s", MP_TEXT_ENCODING_NAMES[MP_Global_TextEncoding]);
    MP_logl(3, kLabel, "Finished");
    return 0;
}
