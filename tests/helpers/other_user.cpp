// other_user.cpp - test support: a forked child as another user; raw shared-memory objects.
#include "other_user.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

bool can_act_as_other_user() { return geteuid() == 0; }

bool as_other_user(const std::function<bool()>& work) {
    if (!can_act_as_other_user()) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Group first: once the user is dropped, the group can no longer be changed.
        gid_t gid = kOtherUid;
        if (setgroups(1, &gid) != 0 || setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) _exit(3);
        if (getuid() != kOtherUid || geteuid() != kOtherUid) _exit(4);
        umask(0);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool make_raw_block(const std::string& name, unsigned mode, long long size, const std::string& text) {
    std::string path = "/" + name;
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
    if (fd < 0) return false;
    bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0 &&
              pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string raw_block_bytes(const std::string& name, size_t n) {
    std::string path = "/" + name;
    int fd = shm_open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return "";
    std::string out(n, '\0');
    ssize_t got = pread(fd, out.data(), n, 0);
    close(fd);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

bool raw_block_stat(const std::string& name, unsigned* mode, unsigned* uid, long long* size) {
    std::string path = "/dev/shm/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    *mode = static_cast<unsigned>(st.st_mode & 07777);
    *uid = static_cast<unsigned>(st.st_uid);
    *size = static_cast<long long>(st.st_size);
    return true;
}

bool raw_block_resize(const std::string& name, long long size) {
    std::string path = "/" + name;
    int fd = shm_open(path.c_str(), O_RDWR, 0);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}
#else
bool can_act_as_other_user() { return false; }
bool as_other_user(const std::function<bool()>&) { return false; }
bool make_raw_block(const std::string&, unsigned, long long, const std::string&) { return false; }
std::string raw_block_bytes(const std::string&, size_t) { return ""; }
bool raw_block_stat(const std::string&, unsigned*, unsigned*, long long*) { return false; }
bool raw_block_resize(const std::string&, long long) { return false; }
#endif
