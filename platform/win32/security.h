// security.h - inside the Win32 backend: descriptors that admit only this user, and checks of
// the owner and access list of objects that someone else may have made first.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <cstddef>

// A security descriptor whose access list holds one entry, this process's user with the rights
// given. The list is protected: a file made with it takes nothing from its folder's rules.
struct vp_private_sd {
    SECURITY_DESCRIPTOR sd;
    alignas(DWORD) BYTE acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    SECURITY_ATTRIBUTES sa;
    PACL list() { return reinterpret_cast<PACL>(acl); }
};
// Fills p. Returns 0, or the OS error.
int vp_make_private_sd(vp_private_sd* p, DWORD rights);

// Whether an object belongs to this user: 0 yes; VP_FOREIGN (noted with the owner found) when
// another account owns it; or the OS error when its owner cannot be read. A file on a file
// system that keeps no owners counts as this user's: it protects nothing from anybody.
int vp_check_owner(HANDLE object, SE_OBJECT_TYPE type);
// Who besides the owner, this user and the system is admitted by an object's access list:
// VP_OTHERS_READ and/or VP_OTHERS_WRITE, 0 for nobody. A missing list admits everyone.
// read_bits and write_bits are the object type's own rights for reading and writing. Every kind
// of allow entry counts (plain, object, callback, callback object, compound); entries that only
// pass on to objects made inside the object do not.
int vp_others_in(PSID owner, PACL dacl, DWORD read_bits, DWORD write_bits);
// Whether an owner is this user (VP_OWNER_SELF), the system's administrators: the system, the
// Administrators group or TrustedInstaller (VP_OWNER_ADMIN), or anybody else (VP_OWNER_OTHER);
// its SID as text in text. A null owner is VP_OWNER_UNKNOWN.
int vp_owner_kind(PSID owner, char* text, size_t size);
// Whether an access list lets anybody but the owner, this user and the administrators use any of
// the rights in bits: 1 yes, 0 no, and 1 for a missing list, which admits everyone.
int vp_others_may(PSID owner, PACL dacl, DWORD bits);
