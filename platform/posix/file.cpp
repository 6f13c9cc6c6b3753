// file.cpp - POSIX: file size and modification time through a low-level open; private files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vp.h"

int vp_file_stat(const char* path, long long* size, time_t* mtime) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    struct stat st;
    int rc = fstat(fd, &st);
    close(fd);
    if (rc != 0) return -2;
    *size = static_cast<long long>(st.st_size);
    *mtime = st.st_mtime;
    return 0;
}

FILE* vp_file_open_private(const char* path, int truncate) {
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = open(path, flags, 0600);
    if (fd < 0) return nullptr;
    // A file made earlier with wider rights is narrowed too; one that belongs to somebody else
    // cannot be, and is written all the same.
    fchmod(fd, 0600);
    FILE* f = fdopen(fd, truncate ? "w" : "a");
    if (!f) close(fd);
    return f;
}
