// file.cpp - Win32: file size and modification time, private files, settings files and program files.
#include "security.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "refusal.h"
#include "vp.h"

int vp_file_stat(const char* path, long long* size, time_t* mtime) {
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0) return -1;
    struct _stat64 st;
    int rc = _fstat64(fd, &st);
    _close(fd);
    if (rc != 0) return -2;
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return -1;
    *size = static_cast<long long>(st.st_size);
    *mtime = static_cast<time_t>(st.st_mtime);
    return 0;
}

namespace {
// What the handle opened is, before anything is written to it or emptied.
int check_file(HANDLE h, bool existed, PACL private_list) {
    if (GetFileType(h) != FILE_TYPE_DISK) return vp_refuse(VP_NOT_PLAIN, "%s", "a pipe or a device");
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return static_cast<int>(GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return vp_refuse(VP_LINK, "%s", "");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return vp_refuse(VP_NOT_PLAIN, "%s", "a folder");
    if (info.nNumberOfLinks != 1) return vp_refuse(VP_MANY_NAMES, "%lu hard links", info.nNumberOfLinks);
    if (!existed) return 0;
    int rc = vp_check_owner(h, SE_FILE_OBJECT);
    if (rc != 0) return rc;
    // A file of ours made earlier takes the owner-only rules too, in place of its folder's.
    DWORD err = SetSecurityInfo(h, SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, private_list, nullptr);
    // Where the file system keeps no access rules there is nothing to narrow.
    if (err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION) return 0;
    return static_cast<int>(err);
}

// Hands the open handle over as a stream when rc is 0; otherwise, or when that fails, closes it.
// Returns rc, or why the stream could not be made.
int as_stream(HANDLE h, int rc, int flags, const char* mode, FILE** stream) {
    int fd = rc == 0 ? _open_osfhandle(reinterpret_cast<intptr_t>(h), flags) : -1;
    if (fd < 0) {
        CloseHandle(h);
        return rc != 0 ? rc : ERROR_TOO_MANY_OPEN_FILES;
    }
    if ((*stream = _fdopen(fd, mode)) != nullptr) return 0;
    _close(fd);
    return ERROR_NOT_ENOUGH_MEMORY;
}
}  // namespace

int vp_file_open_private(const char* path, int flags, FILE** stream) {
    *stream = nullptr;
    bool truncate = (flags & VP_PRIVATE_TRUNCATE) != 0;
    int mode = (flags & VP_PRIVATE_BINARY) ? _O_BINARY : _O_TEXT;
    vp_private_sd priv;
    int rc = vp_make_private_sd(&priv, FILE_ALL_ACCESS);
    if (rc != 0) return rc;
    // The reparse-point flag opens a link itself rather than what it leads to. Not emptied
    // here (OPEN_ALWAYS, not CREATE_ALWAYS): only once the file is known to be ours.
    SetLastError(0);
    HANDLE h = CreateFileA(path, GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &priv.sa, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    rc = check_file(h, existed, priv.list());
    if (rc == 0 && truncate &&
        (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h)))
        rc = static_cast<int>(GetLastError());
    // Text mode, as fopen's "a" gives, writes every line end as CR LF.
    return as_stream(h, rc, _O_APPEND | mode, mode == _O_BINARY ? "ab" : "a", stream);
}

int vp_file_others_access(const char* path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                      nullptr, &dacl, nullptr, &sd);
    if (err != ERROR_SUCCESS) return -1;
    int who = vp_others_in(owner, dacl, FILE_READ_DATA, FILE_WRITE_DATA | FILE_APPEND_DATA);
    LocalFree(sd);
    return who;
}

namespace {
// The owner and the access list of an open file or folder; ERROR_NOT_SUPPORTED (or
// ERROR_INVALID_FUNCTION) where the file system keeps neither.
struct Rules {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = 0;
    explicit Rules(HANDLE h) {
        err = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &sd);
    }
    ~Rules() {
        if (sd) LocalFree(sd);
    }
    Rules(const Rules&) = delete;
    Rules& operator=(const Rules&) = delete;
    bool kept() const { return err == ERROR_SUCCESS; }
    bool not_kept() const { return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION; }
};

// Opens a name itself, a link or a folder too, only to read what it is and its rules.
HANDLE open_to_examine(const char* path, DWORD access) {
    return CreateFileA(path, access | READ_CONTROL | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int kind_of(HANDLE h) {
    if (GetFileType(h) != FILE_TYPE_DISK) return VP_KIND_OTHER;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return VP_KIND_OTHER;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return VP_KIND_LINK;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return VP_KIND_OTHER;
    return VP_KIND_FILE;
}

// The owner and who else may change an object, where the file system keeps them.
int owner_and_writers(HANDLE h, DWORD change_bits, int* owner, char* text, size_t size, int* others) {
    Rules r(h);
    if (r.not_kept()) {
        *owner = VP_OWNER_UNKNOWN;
        snprintf(text, size, "%s", "none recorded");
        *others = 0;
        return 0;
    }
    if (!r.kept()) return static_cast<int>(r.err);
    *owner = vp_owner_kind(r.owner, text, size);
    *others = vp_others_may(r.owner, r.dacl, change_bits);
    return 0;
}
}  // namespace

int vp_file_open_own(const char* path, FILE** stream, int* others) {
    *stream = nullptr;
    *others = -1;
    // The reparse-point flag opens a link itself rather than what it leads to.
    HANDLE h = CreateFileA(path, GENERIC_READ | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    int rc = 0;
    int kind = kind_of(h);
    if (kind == VP_KIND_LINK) {
        rc = vp_refuse(VP_LINK, "%s", "");
    } else if (kind != VP_KIND_FILE) {
        rc = vp_refuse(VP_NOT_PLAIN, "%s", "a folder, a pipe or a device");
    } else {
        Rules r(h);
        if (r.kept()) {
            char text[96];
            if (vp_owner_kind(r.owner, text, sizeof text) == VP_OWNER_OTHER)
                rc = vp_refuse(VP_FOREIGN, "owner %s", text);
            else
                *others = vp_others_in(r.owner, r.dacl, FILE_READ_DATA, FILE_WRITE_DATA | FILE_APPEND_DATA);
        } else if (r.not_kept()) {
            *others = 0;
        } else {
            rc = static_cast<int>(r.err);
        }
    }
    return as_stream(h, rc, _O_RDONLY | _O_TEXT, "r", stream);
}

bool vp_error_is_missing(int code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

int vp_file_examine(const char* path, vp_file_facts* facts) {
    memset(facts, 0, sizeof *facts);
    HANDLE h = open_to_examine(path, 0);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    facts->kind = kind_of(h);
    // Changing the data, or deleting the file to put another in its place.
    int rc = owner_and_writers(h, FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE, &facts->owner,
                               facts->owner_text, sizeof facts->owner_text, &facts->others_write);
    CloseHandle(h);
    if (rc != 0) return rc;

    // The folder that holds the name: whoever may add or remove names there may put another file
    // in its place.
    char full[MAX_PATH];
    char* leaf = nullptr;
    DWORD n = GetFullPathNameA(path, sizeof full, full, &leaf);
    if (n == 0 || n >= sizeof full || leaf == nullptr) return static_cast<int>(GetLastError());
    // The folder without its last separator, as a person writes it, but for a drive's root.
    if (leaf > full + 1 && leaf[-1] == '\\' && leaf[-2] != ':') leaf--;
    *leaf = '\0';
    snprintf(facts->folder, sizeof facts->folder, "%s", full);
    h = open_to_examine(full[0] != '\0' ? full : ".", 0);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    rc = owner_and_writers(h, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE,
                           &facts->folder_owner, facts->folder_owner_text, sizeof facts->folder_owner_text,
                           &facts->folder_others_write);
    CloseHandle(h);
    return rc;
}
