// wfr_identify.cpp - the identify message in the variant that the welcome's AuthMethod names.
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "wfr.h"

namespace {

// Appends text as the inside of a JSON string: a double quote and a backslash get a backslash
// in front, and control characters are written as \u00XX, so that no setting or computer name
// can end the string early or make the message invalid. Never writes at or past end - 1.
char* cat_escaped(char* pos, char* end, const char* text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (; *text != '\0' && pos < end - 1; text++) {
        unsigned char c = static_cast<unsigned char>(*text);
        char escaped[7];
        int n = 0;
        if (c == '"' || c == '\\') {
            escaped[n++] = '\\';
            escaped[n++] = static_cast<char>(c);
        } else if (c < 0x20) {
            memcpy(escaped, "\\u00", 4);
            escaped[4] = kHex[c >> 4];
            escaped[5] = kHex[c & 15];
            n = 6;
        } else {
            escaped[n++] = static_cast<char>(c);
        }
        // A sequence is written whole or not at all.
        if (end - 1 - pos < n) break;
        memcpy(pos, escaped, static_cast<size_t>(n));
        pos += n;
    }
    *pos = '\0';
    return pos;
}

}  // namespace

int MP_WifiRemote_identify(char method, const char* computer, char* out, int size) {
    MP_TRACE("MP_WifiRemote_identify");
    if (method < '0' || method > '3' || size <= 0) return -1;
    char* end = out + size;
    out[0] = '\0';
    char* p = MP_cat_text(out, end, "{\"Type\":\"identify\",\"Name\":\"");
    p = cat_escaped(p, end, computer);
    p = MP_cat_text(p, end, "\",\"Application\":\"Vistrelbox MP Client\",\"Version\":\"");
    p = cat_escaped(p, end, MP_Global_Version);
    p = MP_cat_text(p, end, "\",\"AutologinKey\":null,\"Authenticate\":");
    switch (method) {
        case '0': p = MP_cat_text(p, end, "null}\r\n\r\n"); break;
        case '1':
            p = MP_cat_text(p, end, "{ \"AuthMethod\":\"userpass\",\"Password\":\"");
            p = cat_escaped(p, end, MP_Global_wPassword);
            p = MP_cat_text(p, end, "\",\"User\":\"");
            p = cat_escaped(p, end, MP_Global_wUserName);
            p = MP_cat_text(p, end, "\"}}\r\n\r\n");
            break;
        case '2':
            p = MP_cat_text(p, end, "{ \"AuthMethod\":\"passcode\",\"PassCode\":\"");
            p = cat_escaped(p, end, MP_Global_wPasscode);
            p = MP_cat_text(p, end, "\"}}\r\n\r\n");
            break;
        default:
            p = MP_cat_text(p, end, "{ \"AuthMethod\":\"userpass\",\"Password\":\"");
            p = cat_escaped(p, end, MP_Global_wPassword);
            p = MP_cat_text(p, end, "\",\"User\":\"");
            p = cat_escaped(p, end, MP_Global_wUserName);
            p = MP_cat_text(p, end, "\",\"passcode\":\"");
            p = cat_escaped(p, end, MP_Global_wPasscode);
            p = MP_cat_text(p, end, "\"}}\r\n\r\n");
            break;
    }
    return static_cast<int>(p - out);
}
