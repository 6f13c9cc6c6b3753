// security.cpp - Win32: owner-only descriptors, and the owner and access list of an object.
#include "security.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "refusal.h"
#include "vp.h"

namespace {
// This process's user and the owner that its new objects get (the user, or a group such as
// Administrators for an elevated process), read once from the process's token.
alignas(DWORD) BYTE user_sid[SECURITY_MAX_SID_SIZE];
alignas(DWORD) BYTE owner_sid[SECURITY_MAX_SID_SIZE];
alignas(DWORD) BYTE system_sid[SECURITY_MAX_SID_SIZE];
bool known = false;

int know_identity() {
    if (known) return 0;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return static_cast<int>(GetLastError());
    alignas(DWORD) BYTE buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD n = 0;
    int rc = 0;
    if (!GetTokenInformation(token, TokenUser, buf, sizeof buf, &n) ||
        !CopySid(sizeof user_sid, user_sid, reinterpret_cast<TOKEN_USER*>(buf)->User.Sid))
        rc = static_cast<int>(GetLastError());
    else if (!GetTokenInformation(token, TokenOwner, buf, sizeof buf, &n) ||
             !CopySid(sizeof owner_sid, owner_sid, reinterpret_cast<TOKEN_OWNER*>(buf)->Owner))
        rc = static_cast<int>(GetLastError());
    CloseHandle(token);
    DWORD size = sizeof system_sid;
    if (rc == 0 && !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &size))
        rc = static_cast<int>(GetLastError());
    known = rc == 0;
    return rc;
}

bool is_ours(PSID sid) {
    return sid != nullptr && (EqualSid(sid, user_sid) || EqualSid(sid, owner_sid));
}

// The accounts that may change any file of the machine anyway: the system, the Administrators
// group and TrustedInstaller, which owns the system's own files.
bool is_admin(PSID sid) {
    if (sid == nullptr) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return true;
    alignas(DWORD) static BYTE installer[SECURITY_MAX_SID_SIZE];
    static bool made = false;
    if (!made) {
        PSID sid_made = nullptr;
        constexpr char kInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
        if (!ConvertStringSidToSidA(kInstaller, &sid_made)) return false;
        made = CopySid(sizeof installer, installer, sid_made) != 0;
        LocalFree(sid_made);
        if (!made) return false;
    }
    return EqualSid(sid, installer) != 0;
}

// Calls take(sid, mask) for every allow entry of the list that applies to the object itself,
// whatever its kind; an entry whose SID cannot be found in it gives a null SID, which counts as
// somebody else. Deny entries are passed over: they can only take rights away.
template <typename Take>
void each_allow(PACL dacl, Take take) {
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        if (ace->AceFlags & INHERIT_ONLY_ACE) continue;
        // Every allow entry begins with the header and the mask; where its SID lies depends on
        // its kind.
        size_t sid_at;
        switch (ace->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: sid_at = sizeof(ACE_HEADER) + sizeof(DWORD); break;
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
                // The compound kind and a reserved word come before the server's SID.
                sid_at = sizeof(ACE_HEADER) + sizeof(DWORD) + 2 * sizeof(USHORT);
                break;
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
                // Flags, then the object GUIDs that the flags say are there.
                DWORD flags;
                const BYTE* after_mask = reinterpret_cast<BYTE*>(ace) + sizeof(ACE_HEADER) + sizeof(DWORD);
                memcpy(&flags, after_mask, sizeof flags);
                sid_at = sizeof(ACE_HEADER) + 2 * sizeof(DWORD);
                if (flags & ACE_OBJECT_TYPE_PRESENT) sid_at += sizeof(GUID);
                if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sid_at += sizeof(GUID);
                break;
            }
            default: continue;
        }
        DWORD mask;
        memcpy(&mask, reinterpret_cast<BYTE*>(ace) + sizeof(ACE_HEADER), sizeof mask);
        PSID sid = nullptr;
        if (sid_at + 8 <= ace->AceSize) {
            PSID candidate = reinterpret_cast<BYTE*>(ace) + sid_at;
            if (IsValidSid(candidate) && sid_at + GetLengthSid(candidate) <= ace->AceSize) sid = candidate;
        }
        take(sid, mask);
    }
}

// An owner's SID as text for an error line, "S-1-5-21-...".
void sid_text(PSID sid, char* out, size_t size) {
    char* text = nullptr;
    if (sid != nullptr && ConvertSidToStringSidA(sid, &text)) {
        snprintf(out, size, "%s", text);
        LocalFree(text);
    } else {
        snprintf(out, size, "%s", "none");
    }
}
}  // namespace

int vp_make_private_sd(vp_private_sd* p, DWORD rights) {
    int rc = know_identity();
    if (rc != 0) return rc;
    memset(p, 0, sizeof *p);
    if (!InitializeAcl(p->list(), sizeof p->acl, ACL_REVISION) ||
        !AddAccessAllowedAce(p->list(), ACL_REVISION, rights, user_sid) ||
        !InitializeSecurityDescriptor(&p->sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&p->sd, TRUE, p->list(), FALSE) ||
        !SetSecurityDescriptorControl(&p->sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return static_cast<int>(GetLastError());
    p->sa.nLength = sizeof p->sa;
    p->sa.lpSecurityDescriptor = &p->sd;
    p->sa.bInheritHandle = FALSE;
    return 0;
}

int vp_check_owner(HANDLE object, SE_OBJECT_TYPE type) {
    int rc = know_identity();
    if (rc != 0) return rc;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                nullptr, &sd);
    // A file system that keeps no owners (FAT, some network shares) protects nothing either;
    // such a file is anybody's, and refusing it would only lose the log.
    if (type == SE_FILE_OBJECT && (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION))
        return 0;
    if (err != ERROR_SUCCESS) return static_cast<int>(err);
    if (type == SE_FILE_OBJECT && owner == nullptr) {
        LocalFree(sd);
        return 0;
    }
    if (!is_ours(owner)) {
        char text[96];
        sid_text(owner, text, sizeof text);
        rc = vp_refuse(VP_FOREIGN, "owner %s", text);
    }
    LocalFree(sd);
    return rc;
}

int vp_others_in(PSID owner, PACL dacl, DWORD read_bits, DWORD write_bits) {
    if (dacl == nullptr) return VP_OTHERS_READ | VP_OTHERS_WRITE;
    if (know_identity() != 0) return VP_OTHERS_READ | VP_OTHERS_WRITE;
    // Changing the rules or the owner lets an account give itself everything.
    const DWORD reads = read_bits | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
    const DWORD writes = write_bits | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | WRITE_DAC | WRITE_OWNER;
    int who = 0;
    each_allow(dacl, [&](PSID sid, DWORD mask) {
        if (sid != nullptr &&
            (is_ours(sid) || EqualSid(sid, system_sid) || (owner != nullptr && EqualSid(sid, owner))))
            return;
        if (mask & reads) who |= VP_OTHERS_READ;
        if (mask & writes) who |= VP_OTHERS_WRITE;
    });
    return who;
}

int vp_owner_kind(PSID owner, char* text, size_t size) {
    sid_text(owner, text, size);
    if (owner == nullptr) return VP_OWNER_UNKNOWN;
    if (know_identity() == 0 && is_ours(owner)) return VP_OWNER_SELF;
    return is_admin(owner) ? VP_OWNER_ADMIN : VP_OWNER_OTHER;
}

int vp_others_may(PSID owner, PACL dacl, DWORD bits) {
    if (dacl == nullptr) return 1;
    if (know_identity() != 0) return 1;
    const DWORD rights = bits | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | WRITE_DAC | WRITE_OWNER;
    int may = 0;
    each_allow(dacl, [&](PSID sid, DWORD mask) {
        if (sid != nullptr && (is_ours(sid) || is_admin(sid) || (owner != nullptr && EqualSid(sid, owner))))
            return;
        if (mask & rights) may = 1;
    });
    return may;
}
