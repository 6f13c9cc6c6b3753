// shm.cpp - Win32: named blocks as file mappings on the paging file.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "vp.h"

namespace {
HANDLE as_handle(vp_shm h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

int vp_shm_open(const char* name, size_t size, vp_shm* handle) {
    *handle = VP_NO_SHM;
    // When a mapping of that name exists already the system hands out the existing one (and
    // leaves ERROR_ALREADY_EXISTS behind); sharing it is the point, so that is no failure.
    const unsigned long long wide = size;
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide), name);
    if (h == nullptr) return static_cast<int>(GetLastError());
    *handle = reinterpret_cast<vp_shm>(h);
    return 0;
}

int vp_shm_map(vp_shm handle, size_t size, int full_access, void** view) {
    *view = nullptr;
    // VP_NO_SHM is -1, which Windows would take for the current-process pseudo-handle.
    if (handle == VP_NO_SHM) return ERROR_INVALID_HANDLE;
    void* p = MapViewOfFile(as_handle(handle), full_access ? FILE_MAP_ALL_ACCESS : FILE_MAP_WRITE,
                            0, 0, size);
    if (p == nullptr) return static_cast<int>(GetLastError());
    *view = p;
    return 0;
}

void vp_shm_unmap(void* view, size_t size) {
    (void)size;
    if (view) UnmapViewOfFile(view);
}

void vp_shm_close(vp_shm handle) {
    if (handle != VP_NO_SHM && handle != 0) CloseHandle(as_handle(handle));
}

// A mapping disappears with its last handle, so there is no name to remove.
void vp_shm_unlink(const char* name) { (void)name; }
