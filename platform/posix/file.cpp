// file.cpp - POSIX: file size and modification time through a low-level open; private files.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "refusal.h"
#include "vp.h"

int vp_file_stat(const char* path, long long* size, time_t* mtime) {
    // Without O_NONBLOCK the open of a FIFO would wait for a writer for ever.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int rc = fstat(fd, &st);
    close(fd);
    if (rc != 0) return -2;
    if (!S_ISREG(st.st_mode)) return -1;
    *size = static_cast<long long>(st.st_size);
    *mtime = st.st_mtime;
    return 0;
}

namespace {
unsigned mode_bits(const struct stat& st) { return static_cast<unsigned>(st.st_mode & 07777); }

// Why an open failed, where the failure itself is the refusal: the last part of the path is
// a link (O_NOFOLLOW), or a FIFO without a reader or a socket (O_NONBLOCK), or a folder.
int refused_open(const char* path, int e) {
    struct stat st;
    if (e == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) return vp_refuse(VP_LINK, "%s", "");
    if (e == ENXIO) return vp_refuse(VP_NOT_PLAIN, "%s", "a FIFO or a socket");
    if (e == EISDIR) return vp_refuse(VP_NOT_PLAIN, "%s", "a folder");
    return e;
}
}  // namespace

int vp_file_open_private(const char* path, int truncate, FILE** stream) {
    *stream = nullptr;
    // Not O_TRUNC: nothing is emptied before the file is known to be ours.
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return refused_open(path, errno);
    struct stat st;
    int rc = 0;
    if (fstat(fd, &st) != 0)
        rc = errno;
    else if (!S_ISREG(st.st_mode))
        rc = vp_refuse(VP_NOT_PLAIN, "%s", vp_file_kind(st.st_mode & S_IFMT));
    else if (st.st_uid != geteuid())
        rc = vp_refuse(VP_FOREIGN, "owner uid %u, mode %04o", static_cast<unsigned>(st.st_uid),
                       mode_bits(st));
    else if (st.st_nlink != 1)
        rc = vp_refuse(VP_MANY_NAMES, "%lu hard links", static_cast<unsigned long>(st.st_nlink));
    // Writes to a regular file never wait; the flag only kept the open from waiting on a FIFO.
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        rc = errno;
    // A file of ours made earlier with wider rights is narrowed.
    else if (mode_bits(st) != 0600 && fchmod(fd, 0600) != 0)
        rc = errno;
    else if (truncate && ftruncate(fd, 0) != 0)
        rc = errno;
    if (rc != 0) {
        close(fd);
        return rc;
    }
    FILE* f = fdopen(fd, truncate ? "w" : "a");
    if (!f) {
        int e = errno;
        close(fd);
        return e;
    }
    *stream = f;
    return 0;
}

int vp_file_others_access(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    int who = 0;
    if (st.st_mode & (S_IRGRP | S_IROTH)) who |= VP_OTHERS_READ;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) who |= VP_OTHERS_WRITE;
    return who;
}
