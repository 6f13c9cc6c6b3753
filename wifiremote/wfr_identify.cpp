// wfr_identify.cpp - the identify message in the variant that the welcome's AuthMethod names.
#include <cstring>

#include "mp_log.h"
#include "mp_encoding.h"
#include "mp_text.h"
#include "wfr.h"

namespace {

// The message under construction. Each piece goes in whole or not at all; after a piece that
// does not fit nothing more is written, and full names the value to blame: the one that did not
// fit, or the last one inserted before a fixed piece that did not.
struct Builder {
    char* pos;
    char* end;  // one past the last byte of the buffer, whose last byte keeps the terminator
    const char* full;
    const char* last;

    void text(const char* piece) {
        size_t n = strlen(piece);
        if (full) return;
        if (static_cast<size_t>(end - 1 - pos) < n) {
            full = last ? last : "The buffer";
            return;
        }
        memcpy(pos, piece, n);
        pos += n;
    }

    // The inside of a JSON string: a double quote and a backslash get a backslash in front, and
    // control characters are written as \u00XX, so that no setting or computer name can end the
    // string early or make the message invalid. A value can grow sixfold this way.
    void escaped(const char* value, const char* name) {
        static constexpr char kHex[] = "0123456789abcdef";
        if (full) return;
        last = name;
        char* start = pos;
        for (; *value != '\0'; value++) {
            unsigned char c = static_cast<unsigned char>(*value);
            char seq[6];
            int n = 0;
            if (c == '"' || c == '\\') {
                seq[n++] = '\\';
                seq[n++] = static_cast<char>(c);
            } else if (c < 0x20) {
                memcpy(seq, "\\u00", 4);
                seq[4] = kHex[c >> 4];
                seq[5] = kHex[c & 15];
                n = 6;
            } else {
                seq[n++] = static_cast<char>(c);
            }
            if (end - 1 - pos < n) {
                pos = start;
                full = name;
                return;
            }
            memcpy(pos, seq, static_cast<size_t>(n));
            pos += n;
        }
    }
};

// Registers a credential with the log as it is, and as the identify message carries it.
int add_credential(const char* value) {
    // A value of 255 characters can grow sixfold in its JSON form.
    static char json[6 * 255 + 1];
    int rc = MP_add_credential(value);
    Builder b{json, json + sizeof json, nullptr, nullptr};
    b.escaped(value, "");
    *b.pos = '\0';
    if (b.full || MP_add_credential(json) != 0) rc = -1;
    memset(json, 0, sizeof json);
    return rc;
}

}  // namespace

int MP_WifiRemote_register_secrets() {
    MP_TRACE("MP_WifiRemote_register_secrets");
    MP_log_forget_secrets();
    int rc = add_credential(MP_Global_wPassword);
    if (add_credential(MP_Global_wPasscode) != 0) rc = -1;
    if (rc != 0) MP_errlog("MP_read_cfg_file:", "The credentials are too long to be kept out of the log");
    return rc;
}

int MP_WifiRemote_identify(char method, const char* computer, char* out, int size,
                           const char** too_long) {
    MP_TRACE("MP_WifiRemote_identify");
    if (too_long) *too_long = nullptr;
    if (method < '0' || method > '3' || size <= 0) return -1;
    Builder b{out, out + size, nullptr, nullptr};
    b.text("{\"Type\":\"identify\",\"Name\":\"");
    b.escaped(computer, "The computer name");
    b.text("\",\"Application\":\"Vistrelbox MP Client\",\"Version\":\"");
    b.escaped(MP_Global_Version, "The version");
    b.text("\",\"AutologinKey\":null,\"Authenticate\":");
    switch (method) {
        case '0': b.text("null}\r\n\r\n"); break;
        case '2':
            b.text("{ \"AuthMethod\":\"passcode\",\"PassCode\":\"");
            b.escaped(MP_Global_wPasscode, "WifiRemote_Passcode=");
            b.text("\"}}\r\n\r\n");
            break;
        default:
            // '1' sends the user and password; any other method sends the passcode as well.
            b.text("{ \"AuthMethod\":\"userpass\",\"Password\":\"");
            b.escaped(MP_Global_wPassword, "WifiRemote_Password=");
            b.text("\",\"User\":\"");
            b.escaped(MP_Global_wUserName, "WifiRemote_UserName=");
            if (method != '1') {
                b.text("\",\"passcode\":\"");
                b.escaped(MP_Global_wPasscode, "WifiRemote_Passcode=");
            }
            b.text("\"}}\r\n\r\n");
            break;
    }
    if (b.full) {
        // Nothing of a message that cannot be sent whole is left behind.
        out[0] = '\0';
        if (too_long) *too_long = b.full;
        return WFR_IDENTIFY_TOO_LONG;
    }
    *b.pos = '\0';
    return static_cast<int>(b.pos - out);
}
