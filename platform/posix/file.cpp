// file.cpp - POSIX: file size and modification time, private files, settings files and program files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int others_of(const struct stat& st) {
    int who = 0;
    if (st.st_mode & (S_IRGRP | S_IROTH)) who |= VP_OTHERS_READ;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) who |= VP_OTHERS_WRITE;
    return who;
}

// Owners that a program may trust: itself, and root, who may change any file anyway.
int owner_of(const struct stat& st, char* text, size_t size) {
    snprintf(text, size, "uid %u", static_cast<unsigned>(st.st_uid));
    if (st.st_uid == geteuid()) return VP_OWNER_SELF;
    if (st.st_uid == 0) return VP_OWNER_ADMIN;
    return VP_OWNER_OTHER;
}

// Hands the open file over as a stream when rc is 0; otherwise, or when that fails, closes it.
// Returns rc, or the error of fdopen.
int as_stream(int fd, int rc, const char* mode, FILE** stream) {
    if (rc == 0 && (*stream = fdopen(fd, mode)) != nullptr) return 0;
    if (rc == 0) rc = errno;
    close(fd);
    return rc;
}
}  // namespace

int vp_file_open_private(const char* path, int flags, FILE** stream) {
    *stream = nullptr;
    // Line ends are written as they are on POSIX, in either mode.
    bool truncate = (flags & VP_PRIVATE_TRUNCATE) != 0;
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
    return as_stream(fd, rc, truncate ? "w" : "a", stream);
}

int vp_file_others_access(const char* path) {
    struct stat st;
    return stat(path, &st) != 0 ? -1 : others_of(st);
}

int vp_file_open_own(const char* path, FILE** stream, int* others) {
    *stream = nullptr;
    *others = -1;
    // Without O_NONBLOCK the open of a FIFO would wait for a writer for ever; without
    // O_NOFOLLOW a link would lead to a file that someone else chose.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? ENOENT : refused_open(path, errno);
    struct stat st;
    int rc = 0;
    char owner[32];
    if (fstat(fd, &st) != 0)
        rc = errno;
    else if (!S_ISREG(st.st_mode))
        rc = vp_refuse(VP_NOT_PLAIN, "%s", vp_file_kind(st.st_mode & S_IFMT));
    else if (owner_of(st, owner, sizeof owner) == VP_OWNER_OTHER)
        rc = vp_refuse(VP_FOREIGN, "owner %s, mode %04o", owner, mode_bits(st));
    // Reads of a regular file never wait; the flag only kept the open from waiting on a FIFO.
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        rc = errno;
    rc = as_stream(fd, rc, "r", stream);
    if (rc == 0) *others = others_of(st);
    return rc;
}

bool vp_error_is_missing(int code) { return code == ENOENT || code == ENOTDIR; }

int vp_file_examine(const char* path, vp_file_facts* facts) {
    memset(facts, 0, sizeof *facts);
    struct stat st;
    if (lstat(path, &st) != 0) return errno;
    facts->kind = S_ISREG(st.st_mode) ? VP_KIND_FILE : S_ISLNK(st.st_mode) ? VP_KIND_LINK : VP_KIND_OTHER;
    facts->owner = owner_of(st, facts->owner_text, sizeof facts->owner_text);
    facts->others_write = (others_of(st) & VP_OTHERS_WRITE) != 0;
    facts->mode = mode_bits(st);

    // The folder that holds the name: whoever may change it may put another file there.
    char folder[PATH_MAX];
    const char* slash = strrchr(path, '/');
    if (!slash) {
        snprintf(folder, sizeof folder, "%s", ".");
    } else if (slash == path) {
        snprintf(folder, sizeof folder, "%s", "/");
    } else {
        snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - path), path);
    }
    if (stat(folder, &st) != 0) return errno;
    facts->folder_owner = owner_of(st, facts->folder_owner_text, sizeof facts->folder_owner_text);
    facts->folder_others_write = (others_of(st) & VP_OTHERS_WRITE) != 0;
    facts->folder_mode = mode_bits(st);
    char real[PATH_MAX];
    snprintf(facts->folder, sizeof facts->folder, "%.*s", static_cast<int>(sizeof facts->folder - 1),
             realpath(folder, real) ? real : folder);
    return 0;
}
