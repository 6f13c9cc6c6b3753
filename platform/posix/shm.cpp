// shm.cpp - POSIX: named shared-memory blocks ("/" + name), private to the user who made them.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "refusal.h"
#include "vp.h"

namespace {
// POSIX names a shared-memory object with a leading slash; Windows names need none.
bool shm_path(const char* name, char* out, size_t size) {
    int n = snprintf(out, size, "/%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

// The C libraries of Linux open shared-memory objects without following links anyway; asking
// for it keeps that true where the library would not add it by itself.
#ifdef O_NOFOLLOW
constexpr int kNoFollow = O_NOFOLLOW;
#else
constexpr int kNoFollow = 0;
#endif

unsigned mode_bits(const struct stat& st) { return static_cast<unsigned>(st.st_mode & 07777); }

// Whether an object that was there before us may serve as the block: the directory of these
// objects is writable by every user, so anyone may have made it, with any rights and size.
int check_existing(int fd, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode))
        return vp_refuse(VP_NOT_PLAIN, "%s", vp_file_kind(st.st_mode & S_IFMT));
    if (st.st_uid != geteuid())
        return vp_refuse(VP_FOREIGN, "owner uid %u, mode %04o", static_cast<unsigned>(st.st_uid),
                         mode_bits(st));
    if ((st.st_mode & 077) != 0) return vp_refuse(VP_SHARED, "mode %04o", mode_bits(st));
    if (st.st_nlink != 1)
        return vp_refuse(VP_MANY_NAMES, "%lu hard links", static_cast<unsigned long>(st.st_nlink));
    // Size 0: another program of this user has made it this moment and not yet sized it. It is
    // ours and private, so sizing it here to the same size is harmless and spares a wait.
    if (st.st_size == 0) return ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    if (static_cast<size_t>(st.st_size) < size)
        return vp_refuse(VP_SHORT, "%lld bytes", static_cast<long long>(st.st_size));
    return 0;
}
}  // namespace

int vp_shm_open(const char* name, size_t size, vp_shm* handle) {
    char path[256];
    *handle = VP_NO_SHM;
    if (!shm_path(name, path, sizeof path)) return ENAMETOOLONG;
    // Made exclusively, or else the existing object checked. An object removed between the two
    // steps sends the open round once more.
    for (int round = 0; round < 3; round++) {
        int fd = shm_open(path, O_RDWR | O_CREAT | O_EXCL | kNoFollow, 0600);
        if (fd >= 0) {
            // The umask may narrow the mode further, never widen it; the owner must keep both.
            if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
                int e = errno;
                close(fd);
                return e;
            }
            *handle = fd;
            return 0;
        }
        if (errno != EEXIST) return errno;
        // Not waiting on a FIFO that someone put in the place of a block.
        fd = shm_open(path, O_RDWR | O_NONBLOCK | kNoFollow, 0);
        if (fd < 0) {
            int e = errno;
            if (e == ENOENT) continue;
            if (e == EACCES || e == EPERM) return vp_refuse(VP_DENIED, "%s", "");
            if (e == ELOOP) return vp_refuse(VP_LINK, "%s", "");
            return e;
        }
        int rc = check_existing(fd, size);
        if (rc != 0) {
            close(fd);
            return rc;
        }
        *handle = fd;
        return 0;
    }
    return EEXIST;
}

int vp_shm_map(vp_shm handle, size_t size, int full_access, void** view) {
    // Windows' write access includes reading, so both modes map the block read-write.
    (void)full_access;
    *view = nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(handle), 0);
    if (p == MAP_FAILED) return errno;
    *view = p;
    return 0;
}

void vp_shm_unmap(void* view, size_t size) {
    if (view) munmap(view, size);
}

void vp_shm_close(vp_shm handle) {
    if (handle != VP_NO_SHM) close(static_cast<int>(handle));
}

size_t vp_shm_read(vp_shm handle, const void* view, size_t offset, void* dest, size_t n) {
    // A mapped page beyond the end of a shortened object faults when touched; the object read
    // as a file simply ends there.
    (void)view;
    if (handle == VP_NO_SHM) return 0;
    char* out = static_cast<char*>(dest);
    size_t done = 0;
    while (done < n) {
        ssize_t got = pread(static_cast<int>(handle), out + done, n - done,
                            static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

int vp_shm_others_access(vp_shm handle) {
    struct stat st;
    if (handle == VP_NO_SHM || fstat(static_cast<int>(handle), &st) != 0) return -1;
    int who = 0;
    if (st.st_mode & (S_IRGRP | S_IROTH)) who |= VP_OTHERS_READ;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) who |= VP_OTHERS_WRITE;
    return who;
}

void vp_shm_object_name(const char* name, char* buf, size_t size) {
    if (size == 0) return;
#ifdef __linux__
    snprintf(buf, size, "shared-memory object /dev/shm/%s", name);
#else
    snprintf(buf, size, "shared-memory object /%s", name);
#endif
}

void vp_shm_unlink(const char* name) {
    char path[256];
    if (shm_path(name, path, sizeof path)) shm_unlink(path);
}
