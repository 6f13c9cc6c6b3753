// file.cpp - Win32: file size and modification time through a low-level open; private files.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "vp.h"

int vp_file_stat(const char* path, long long* size, time_t* mtime) {
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return -1;
    struct _stat64 st;
    int rc = _fstat64(fd, &st);
    _close(fd);
    if (rc != 0) return -2;
    *size = static_cast<long long>(st.st_size);
    *mtime = static_cast<time_t>(st.st_mtime);
    return 0;
}

// The file takes the access rules of its folder, as every file the programs write does.
FILE* vp_file_open_private(const char* path, int truncate) { return fopen(path, truncate ? "w" : "a"); }
