// shm.cpp - POSIX: named shared-memory blocks ("/" + name, mode 0600).
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vp.h"

namespace {
// POSIX names a shared-memory object with a leading slash; Windows names need none.
bool shm_path(const char* name, char* out, size_t size) {
    int n = snprintf(out, size, "/%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}
}  // namespace

int vp_shm_open(const char* name, size_t size, vp_shm* handle) {
    char path[256];
    *handle = VP_NO_SHM;
    if (!shm_path(name, path, sizeof path)) return ENAMETOOLONG;
    int fd = shm_open(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0) return errno;
    // A block made by another user of the name may be shorter; grow it, never shrink it, so
    // that every user sees the same bytes. New bytes read as zeros.
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        return e;
    }
    if (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int e = errno;
        close(fd);
        return e;
    }
    *handle = fd;
    return 0;
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

void vp_shm_unlink(const char* name) {
    char path[256];
    if (shm_path(name, path, sizeof path)) shm_unlink(path);
}
