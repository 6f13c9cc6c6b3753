// wfr_settings.cpp - the WifiRemote bridge's defaults, its settings, properties requests and first tags.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "mp_cfg.h"
#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "wfr.h"

char MP_Global_wPasscode[16];
char MP_Global_wUserName[512];
char MP_Global_wPassword[256];
char MP_Global_wRequest1[WFR_REQUEST_SIZE];
char MP_Global_wRequest2[WFR_REQUEST_SIZE];
int MP_Global_wAuthenticated;
double MP_Global_wPollMark;
int MP_Global_wPollStarted;

namespace {

constexpr char kLabel[] = "MP_read_cfg_file:";
constexpr char kFirstOpening[] = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Title\"";
constexpr char kSecondOpening[] = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Channel\"";
constexpr char kRequestEnd[] = "]}\r\n\r\n";
constexpr int kRequestEndLen = sizeof kRequestEnd - 1;
static_assert(sizeof kFirstOpening - 1 == 56 && sizeof kSecondOpening - 1 == 58);

int globals_done = 0;
int seed_properties = 0;
// The tag name of a property: "Properties." and the name.
char property_tag[80];

enum Key { kDebug, kAddress, kPort, kPasscode, kUserName, kPassword, kProperties, kEncoding, kKeyCount };
// Compared in this order; the first key that begins the line decides.
constexpr std::string_view kKeys[kKeyCount] = {
    "Debug=",
    "WifiRemote_IPAddress=",
    "WifiRemote_Port=",
    "WifiRemote_Passcode=",
    "WifiRemote_UserName=",
    "WifiRemote_Password=",
    "Properties=",
    "Text_Encoding=",
};

void copy_text(char* dest, size_t size, const char* text) { snprintf(dest, size, "%s", text); }

// A name that the request could not carry as a JSON string, or that the reply's flattening
// could not store under a tag name, would only ever yield a broken request or an empty tag.
const char* property_fault(const char* name, int len) {
    if (len == 0) return "is empty";
    if (len > WFR_PROPERTY_NAME_MAX) return "is longer than 52 characters";
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '"' || c == '\\' || c < 0x20) return "holds a quote, a backslash or a control character";
    }
    return nullptr;
}

// Appends ,"#name" to a request when it still leaves room for the request's end.
bool append_property(char* request, const char* name, int len) {
    size_t used = strlen(request);
    size_t need = 3 + static_cast<size_t>(len) + 1;
    if (used + need + kRequestEndLen >= WFR_REQUEST_SIZE) return false;
    char* p = request + used;
    memcpy(p, ",\"#", 3);
    memcpy(p + 3, name, static_cast<size_t>(len));
    p[3 + len] = '"';
    p[4 + len] = '\0';
    return true;
}

// The name is the whole rest of the line, blanks included; a carriage return left by a file
// with Windows line ends read on POSIX is no part of it.
void add_property(const char* name) {
    int len = static_cast<int>(strlen(name));
    if (len > 0 && name[len - 1] == '\r') len--;
    const char* fault = property_fault(name, len);
    if (fault) {
        MP_errlogf(kLabel, "Property \"%s\" %s; not requested", MP_cfg_shown(name, static_cast<size_t>(len)),
                   fault);
        return;
    }
    char* request = static_cast<int>(strlen(MP_Global_wRequest1)) <= WFR_FIRST_REQUEST_LIMIT
                        ? MP_Global_wRequest1
                        : MP_Global_wRequest2;
    if (!append_property(request, name, len)) {
        MP_errlogf(kLabel, "Property \"%s\" does not fit the properties requests; not requested",
                   MP_cfg_shown(name, static_cast<size_t>(len)));
        return;
    }
    snprintf(property_tag, sizeof property_tag, "Properties.%.*s", len, name);
    if (seed_properties == 1) MP_put_tag(property_tag, MP_TYPE_TEXT, 0, "");
    MP_logl(3, "MP_read_cfg_file: Defined ", MP_cfg_shown(property_tag));
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
        case kPasscode:
            MP_cfg_set_secret(kLabel, MP_Global_wPasscode, sizeof MP_Global_wPasscode, value, kKeys[k].data());
            break;
        case kUserName:
            MP_cfg_set_secret(kLabel, MP_Global_wUserName, sizeof MP_Global_wUserName, value, kKeys[k].data());
            break;
        case kPassword:
            MP_cfg_set_secret(kLabel, MP_Global_wPassword, sizeof MP_Global_wPassword, value, kKeys[k].data());
            break;
        case kProperties: add_property(value); break;
        case kEncoding: MP_text_encoding_setting(kLabel, value, kKeys[k].data()); break;
        default: break;
    }
}

}  // namespace

void MP_WifiRemote_defaults() {
    MP_TRACE("MP_WifiRemote_defaults");
    copy_text(MP_Global_Title, sizeof MP_Global_Title, "Vistrel WIFIRemote Interface v");
    copy_text(MP_Global_Version, sizeof MP_Global_Version, "1.0.6.18");
    copy_text(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "Vistrel_WIFIRemote.log");
    MP_Global_Debug = 0;
    snprintf(MP_Global_IPAddress, sizeof MP_Global_IPAddress, "%d.%d.%d.%d", 127, 0, 0, 1);
    MP_Global_Port = WFR_DEFAULT_PORT;
    copy_text(MP_Global_wPasscode, sizeof MP_Global_wPasscode, WFR_DEFAULT_PASSCODE);
    copy_text(MP_Global_wUserName, sizeof MP_Global_wUserName, WFR_DEFAULT_USERNAME);
    copy_text(MP_Global_wPassword, sizeof MP_Global_wPassword, WFR_DEFAULT_PASSWORD);
    MP_Global_wRequest1[0] = '\0';
    MP_Global_wRequest2[0] = '\0';
    MP_Global_Connected = 0;
    MP_Global_wAuthenticated = 0;
    MP_Global_wPollMark = 0.0;
    MP_Global_wPollStarted = 0;
    MP_Global_TextEncoding = MP_TEXT_RAW;
    // The count is 0 at start-up anyway; setting it makes a repeated call leave an empty
    // table as well.
    MP_Numtags = 0;
    MP_Clear_tags();
    // Empties the recent-lines ring and leaves the log closed.
    MP_log_reset();
    MP_WifiRemote_Decode_reset();
}

void MP_init_globals() {
    if (globals_done) return;
    globals_done = 1;
    MP_WifiRemote_defaults();
}

int MP_read_cfg_file(int seed) {
    MP_init_globals();
    seed_properties = seed;
    copy_text(MP_Global_wRequest1, sizeof MP_Global_wRequest1, kFirstOpening);
    copy_text(MP_Global_wRequest2, sizeof MP_Global_wRequest2, kSecondOpening);
    MP_logl(3, kLabel, "Started");

    MP_cfg_read_file(kLabel, WFR_CFG_PATH, apply_line);
    MP_WifiRemote_register_secrets();

    // Room for the end was kept by every addition.
    strcat(MP_Global_wRequest1, kRequestEnd);
    strcat(MP_Global_wRequest2, kRequestEnd);
    MP_put_tag("Position", MP_TYPE_INT, 0, "0");
    MP_put_tag("Duration", MP_TYPE_INT, 0, "0");

    MP_logf(3, kLabel, "MP_Global_IPAddress=%s", MP_cfg_shown(MP_Global_IPAddress));
    MP_logf(3, kLabel, "MP_Global_Port=%d", MP_Global_Port);
    // Raw, the default, goes unsaid, so that the log reads as it always has.
    if (MP_text_readable())
        MP_logf(3, kLabel, "MP_Global_TextEncoding=%s", MP_TEXT_ENCODING_NAMES[MP_Global_TextEncoding]);
    // The credentials show at debug level 3 only; the ring keeps these lines without them.
    MP_logf_secret(kLabel, "MP_Global_wPasscode=%s", MP_Global_wPasscode);
    MP_logf_secret(kLabel, "MP_Global_wUserName=%s", MP_Global_wUserName);
    MP_logf_secret(kLabel, "MP_Global_wPassword=%s", MP_Global_wPassword);
    MP_logl(3, kLabel, "Finished");
    return 0;
}
