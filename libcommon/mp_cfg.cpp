// mp_cfg.cpp - the settings file's common syntax: piecewise line reading, skipped lines, values.
#include "mp_cfg.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_tcp.h"
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
                   size - 1, setting);
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

void MP_cfg_set_port(const char* label, const char* value, const char* key) {
    int v;
    MP_CfgNumber r = MP_cfg_read_int(value, &v);
    if (r == MP_CFG_NO_NUMBER) return;
    if (r == MP_CFG_TOO_BIG || v < 1 || v > 65535) {
        MP_errlogf(label, "%s value out of range 1-65535; keeping %d", key, MP_Global_Port);
        return;
    }
    MP_Global_Port = v;
}

int MP_cfg_read_file(const char* label, const char* path, void (*apply)(const char* line)) {
    MP_TRACE("MP_cfg_read_file");
    FILE* f = fopen(path, "r");
    if (!f) {
        MP_errlog(label, "Failed to open cfg file");
        return -1;
    }
    MP_logl(3, label, "File Opened");
    // The settings hold the services' passwords and choose the servers that receive them: say
    // so at start when other users may read or change the file.
    int others = vp_file_modes ? vp_file_others_access(path) : 0;
    if (others > 0) {
        const char* what = others == VP_OTHERS_READ    ? "read"
                           : others == VP_OTHERS_WRITE ? "change"
                                                       : "read and change";
        MP_errlogf(label, "%s holds passwords and other users may %s it; make it private: chmod 600 %s",
                   path, what, path);
    }
    while (fgets(cfg_line, sizeof cfg_line, f)) {
        strcpytonl(cfg_line, cfg_line);
        // Empty lines, comments ("/") and indented lines are skipped.
        char first = cfg_line[0];
        if (first == '\0' || first == '\r' || first == '\n' || first == ' ' || first == '/')
            continue;
        apply(cfg_line);
    }
    fclose(f);
    return 0;
}
