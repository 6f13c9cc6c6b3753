// shm.cpp - Win32: named blocks as file mappings on the paging file, private to their maker.
#include "security.h"

#include <cstdio>
#include <cstring>

#include "refusal.h"
#include "vp.h"

namespace {
HANDLE as_handle(vp_shm h) { return reinterpret_cast<HANDLE>(h); }

// Who besides the owner may use a mapping, from its access list.
int mapping_others(HANDLE h, int* result) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &sd);
    if (err != ERROR_SUCCESS) return static_cast<int>(err);
    *result = vp_others_in(owner, dacl, SECTION_MAP_READ, SECTION_MAP_WRITE | SECTION_EXTEND_SIZE);
    LocalFree(sd);
    return 0;
}

// Whether a mapping that was there before us may serve as the block: any program of the
// session, whatever account it runs under, may have made it first, with any rules and size.
int check_existing(HANDLE h, size_t size) {
    int rc = vp_check_owner(h, SE_KERNEL_OBJECT);
    if (rc != 0) return rc;
    int others = 0;
    rc = mapping_others(h, &others);
    if (rc != 0) return rc;
    if (others != 0)
        return vp_refuse(VP_SHARED, "its access list admits %s",
                         others & VP_OTHERS_WRITE ? "writers" : "readers");
    // A mapping keeps the size its maker gave it; a view of the full size maps only on a
    // mapping at least that large.
    void* probe = MapViewOfFile(h, FILE_MAP_READ, 0, 0, size);
    if (probe == nullptr) return vp_refuse(VP_SHORT, "a view of %llu bytes does not map",
                                           static_cast<unsigned long long>(size));
    UnmapViewOfFile(probe);
    return 0;
}
}  // namespace

int vp_shm_open(const char* name, size_t size, vp_shm* handle) {
    *handle = VP_NO_SHM;
    vp_private_sd priv;
    int rc = vp_make_private_sd(&priv, SECTION_ALL_ACCESS);
    if (rc != 0) return rc;
    // When a mapping of that name exists already the system hands out the existing one, leaves
    // ERROR_ALREADY_EXISTS behind and ignores the descriptor given; that one is checked.
    const unsigned long long wide = size;
    SetLastError(0);
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &priv.sa, PAGE_READWRITE,
                                  static_cast<DWORD>(wide >> 32), static_cast<DWORD>(wide), name);
    if (h == nullptr) {
        DWORD err = GetLastError();
        // A mapping of the name whose rules keep this user out.
        if (err == ERROR_ACCESS_DENIED) return vp_refuse(VP_DENIED, "%s", "");
        return static_cast<int>(err);
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        rc = check_existing(h, size);
        if (rc != 0) {
            CloseHandle(h);
            return rc;
        }
    }
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

// A mapping cannot be made smaller while it exists, so its view is safe to copy from.
size_t vp_shm_read(vp_shm handle, const void* view, size_t offset, void* dest, size_t n) {
    (void)handle;
    if (view == nullptr) return 0;
    memcpy(dest, static_cast<const char*>(view) + offset, n);
    return n;
}

int vp_shm_others_access(vp_shm handle) {
    if (handle == VP_NO_SHM || handle == 0) return -1;
    int others = 0;
    return mapping_others(as_handle(handle), &others) == 0 ? others : -1;
}

void vp_shm_object_name(const char* name, char* buf, size_t size) {
    if (size == 0) return;
    snprintf(buf, size, "file mapping %s", name);
}

// A mapping disappears with its last handle, so there is no name to remove.
void vp_shm_unlink(const char* name) { (void)name; }
