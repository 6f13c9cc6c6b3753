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
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &allowed->SidStart;
        if (is_ours(sid) || EqualSid(sid, system_sid) || (owner != nullptr && EqualSid(sid, owner)))
            continue;
        if (allowed->Mask & reads) who |= VP_OTHERS_READ;
        if (allowed->Mask & writes) who |= VP_OTHERS_WRITE;
    }
    return who;
}
