// proc_stats.h - what the load measurements read of a process on Linux: its processor ticks, a
// line of its status, and a monotonic clock.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

// User and system ticks of a process (fields 14 and 15 of its stat line), or -1.
inline long long cpu_ticks(pid_t pid) {
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    // The name in parentheses may hold blanks; the fields are counted behind its ")".
    const char* p = strrchr(buf, ')');
    if (p == nullptr) return -1;
    long long utime = 0, stime = 0;
    int field = 2;
    for (const char* q = p + 1; *q; q++) {
        if (*q != ' ') continue;
        field++;
        if (field == 14) utime = atoll(q + 1);
        if (field == 15) {
            stime = atoll(q + 1);
            break;
        }
    }
    return utime + stime;
}

// The value of a "Key:" line of the process's status (VmRSS, VmHWM, ...), or "?".
inline std::string status_field(pid_t pid, const char* key) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr) return "?";
    char line[256];
    std::string value = "?";
    size_t key_len = strlen(key);
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
            const char* v = line + key_len + 1;
            while (*v == ' ' || *v == '\t') v++;
            value.assign(v, strcspn(v, "\n"));
        }
    }
    fclose(f);
    return value;
}

inline double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
