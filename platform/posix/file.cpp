// file.cpp - POSIX: file size and modification time through a low-level open.
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
