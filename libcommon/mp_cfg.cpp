// mp_cfg.cpp - the settings file's common syntax: piecewise line reading, skipped lines, values.
#include "mp_cfg.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_text.h"
#include "vp.h"

namespace {

// One piece of the file and its terminator.
char cfg_line[MP_CFG_PIECE_MAX + 1];

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

MP_CfgNumber MP_cfg_read_int(const char* s, int* value) {
    while (is_space(*s)) s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;
    if (*s < '0' || *s > '9') return MP_CFG_NO_NUMBER;
    long long v = 0;
    bool too_big = false;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) {
            too_big = true;
            v = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) v = -v;
    if (too_big || v > INT_MAX) {
        *value = negative ? INT_MIN : INT_MAX;
        return MP_CFG_TOO_BIG;
    }
    *value = static_cast<int>(v);
    return MP_CFG_NUMBER;
}

const char* MP_cfg_read_word(const char* s, int* len) {
    while (is_space(*s)) s++;
    int n = 0;
    while (s[n] && !is_space(s[n])) n++;
    *len = n;
    return s;
}

int MP_cfg_set_text(const char* label, char* setting, int size, const char* value, const char* key) {
    int len;
    const char* word = MP_cfg_read_word(value, &len);
    if (len == 0) return 0;
    if (len >= size) {
        MP_errlogf(label, "%s value of %d characters is longer than %d; keeping %s", key, len,
                   size - 1, MP_cfg_shown(setting));
        return 0;
    }
    memcpy(setting, word, static_cast<size_t>(len));
    setting[len] = '\0';
    return 1;
}

int MP_cfg_set_secret(const char* label, char* setting, int size, const char* value, const char* key) {
    int len;
    MP_cfg_read_word(value, &len);
    if (len >= size) {
        MP_errlogf(label, "%s value of %d characters is longer than %d; the value before it is kept",
                   key, len, size - 1);
        return 0;
    }
    return MP_cfg_set_text(label, setting, size, value, key);
}

int MP_cfg_key(const char* line, const std::string_view* keys, int count, const char** value) {
    for (int k = 0; k < count; k++) {
        if (strncmp(line, keys[k].data(), keys[k].size()) != 0) continue;
        *value = line + keys[k].size();
        return k;
    }
    return -1;
}

void MP_cfg_set_debug(const char* label, const char* value) {
    int v;
    MP_CfgNumber r = MP_cfg_read_int(value, &v);
    if (r == MP_CFG_NUMBER) MP_Global_Debug = v;
    if (r == MP_CFG_TOO_BIG) MP_errlogf(label, "Debug= value out of range; keeping %d", MP_Global_Debug);
}

void MP_cfg_set_port(const char* label, int* port, const char* value, const char* key) {
    int v;
    MP_CfgNumber r = MP_cfg_read_int(value, &v);
    if (r == MP_CFG_NO_NUMBER) return;
    if (r == MP_CFG_TOO_BIG || v < 1 || v > 65535) {
        MP_errlogf(label, "%s value out of range 1-65535; keeping %d", key, *port);
        return;
    }
    *port = v;
}

const char* MP_cfg_shown(const char* text, size_t len) {
    // Two at a time, so that one line can show two values.
    static char shown[2][4 * MP_CFG_SHOWN_MAX + 1];
    static int next = 0;
    char* out = shown[next];
    next ^= 1;
    if (!text) text = "";
    if (len == static_cast<size_t>(-1)) len = strnlen(text, MP_CFG_SHOWN_MAX);
    if (len > MP_CFG_SHOWN_MAX) len = MP_CFG_SHOWN_MAX;
    MP_escape_untrusted(out, sizeof shown[0], text, len, nullptr);
    return out;
}

namespace {

// Reads the next piece into cfg_line as fgets would: up to and with a line feed, or
// MP_CFG_PIECE_MAX characters. Past MP_CFG_READ_MAX bytes of the file nothing more is read.
bool read_piece(FILE* f, long long* total) {
    size_t n = 0;
    int c = 0;
    while (n < MP_CFG_PIECE_MAX && *total < MP_CFG_READ_MAX && (c = getc(f)) != EOF) {
        ++*total;
        cfg_line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    cfg_line[n] = '\0';
    return n > 0;
}

}  // namespace

int MP_cfg_read_file(const char* label, const char* path, void (*apply)(const char* line)) {
    MP_TRACE("MP_cfg_read_file");
    FILE* f = nullptr;
    int others = -1;
    int rc = vp_file_open_own(path, &f, &others);
    if (rc != 0) {
        if (vp_error_is_missing(rc)) {
            MP_errlog(label, "Failed to open cfg file");
        } else {
            // Someone else may have put it there (a link, a FIFO or a device that would hold the
            // bridge before it publishes, a file of another user): nothing of it is taken.
            char why[256];
            vp_open_error_text(rc, why, sizeof why);
            MP_errlogf(label, "Failed to open cfg file %s: %s; the defaults are used", path, why);
        }
        return -1;
    }
    MP_logl(3, label, "File Opened");
    // The settings hold the services' passwords and choose the servers that receive them: say
    // so at start when other users may read or change the file that was opened.
    if (!vp_file_modes) others = 0;
    if (others > 0) {
        const char* what = others == VP_OTHERS_READ    ? "read"
                           : others == VP_OTHERS_WRITE ? "change"
                                                       : "read and change";
        MP_errlogf(label, "%s holds passwords and other users may %s it; make it private: chmod 600 %s",
                   path, what, path);
    }
    long long total = 0;
    while (read_piece(f, &total)) {
        strcpytonl(cfg_line, cfg_line);
        // Empty lines, comments ("/") and indented lines are skipped.
        char first = cfg_line[0];
        if (first == '\0' || first == '\r' || first == '\n' || first == ' ' || first == '/')
            continue;
        apply(cfg_line);
    }
    if (total >= MP_CFG_READ_MAX && getc(f) != EOF)
        MP_errlogf(label, "%s is longer than %d bytes; the rest of it is not read", path, MP_CFG_READ_MAX);
    fclose(f);
    return 0;
}
