// file.cpp - Win32: file size and modification time through a low-level open; private files.
#include "security.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

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
}  // namespace

int vp_file_open_private(const char* path, int truncate, FILE** stream) {
    *stream = nullptr;
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
    if (rc != 0) {
        CloseHandle(h);
        return rc;
    }
    // Text mode, as fopen's "a" gives: every line end is written as CR LF.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    FILE* f = _fdopen(fd, "a");
    if (!f) {
        _close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *stream = f;
    return 0;
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
