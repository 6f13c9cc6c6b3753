// proc.cpp - POSIX: the process list from /proc, image paths, termination and program starts.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vp.h"

namespace {
// Set by vp_image_query_load, so that the query is ready exactly when it is on Windows.
bool image_query_loaded = false;
// Directory entries of /proc are read into this buffer, a batch at a time, without opendir's
// heap allocation.
alignas(8) char proc_dirents[32768];

// Reads exactly size bytes unless the other end closes first. Returns the count read.
size_t read_full(int fd, void* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, static_cast<char*>(buf) + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

void write_full(int fd, const void* buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, static_cast<const char*>(buf) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Waits for a child of this process and gives its exit status in the run-time's terms.
int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    // A child ended by a signal has no exit code; shells report 128 + signal, and so do we.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// In a freshly forked child: runs the program with argument 0 alone. On failure the errno goes
// into the pipe (its close-on-exec end vanishes silently on success) and the child ends.
[[noreturn]] void exec_or_report(const char* program, const char* arg0, int report_fd) {
    char* argv[2] = {const_cast<char*>(arg0), nullptr};
    execv(program, argv);
    int err = errno;
    write_full(report_fd, &err, sizeof err);
    _exit(127);
}

bool parse_pid(const char* name, uint32_t* pid) {
    if (*name == '\0') return false;
    uint32_t value = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
    }
    *pid = value;
    return true;
}
}  // namespace

uint32_t vp_getpid() { return static_cast<uint32_t>(getpid()); }

int vp_computer_name(char* name, size_t size) {
    if (name == nullptr || size == 0) return -1;
    // gethostname may leave a name that fills the buffer unterminated; such a name does not fit.
    if (gethostname(name, size) != 0 || memchr(name, '\0', size) == nullptr) {
        name[0] = '\0';
        return -1;
    }
    return 0;
}

int vp_image_query_load(char* why, size_t size) {
    if (why && size) why[0] = '\0';
    image_query_loaded = true;
    return 0;
}

bool vp_image_query_ready() { return image_query_loaded; }

int vp_proc_list(uint32_t* ids, int max) {
    int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int count = 0;
    for (;;) {
        ssize_t n = getdents64(fd, proc_dirents, sizeof proc_dirents);
        if (n < 0) {
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
            const dirent64* d = reinterpret_cast<const dirent64*>(proc_dirents + off);
            off += d->d_reclen;
            uint32_t pid;
            if (count < max && parse_pid(d->d_name, &pid)) ids[count++] = pid;
        }
    }
    close(fd);
    return count;
}

int vp_proc_image(uint32_t pid, char* path, size_t size) {
    if (size == 0) return ENAMETOOLONG;
    char link[32];
    snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(pid));
    ssize_t n = readlink(link, path, size - 1);
    if (n < 0) {
        // Kernel threads and zombies have no image; a process may also have gone or belong
        // to someone else. All of these are passed over, as Windows passes over processes
        // that cannot be opened.
        path[0] = '\0';
        return VP_PROC_SKIP;
    }
    if (static_cast<size_t>(n) == size - 1) {
        // readlink cuts without telling; a path that fills the buffer may have been longer.
        path[0] = '\0';
        return ENAMETOOLONG;
    }
    path[n] = '\0';
    // A program whose file was removed or replaced while it runs (an upgrade, a rebuild) reads
    // as its path and " (deleted)"; it still is the program started from that path. A file
    // whose own name ends so is told apart by being the very file that runs.
    constexpr char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLen = sizeof kDeleted - 1;
    size_t len = static_cast<size_t>(n);
    if (len > kDeletedLen && memcmp(path + len - kDeletedLen, kDeleted, kDeletedLen) == 0) {
        struct stat running, named;
        bool same = stat(link, &running) == 0 && stat(path, &named) == 0 && running.st_dev == named.st_dev &&
                    running.st_ino == named.st_ino;
        if (!same) path[len - kDeletedLen] = '\0';
    }
    return 0;
}

namespace {
// Whether the link /proc/<pid>/<name> leads where the same link of this process does.
bool same_link(uint32_t pid, const char* name) {
    char theirs_path[64], ours_path[64], theirs[128], ours[128];
    snprintf(theirs_path, sizeof theirs_path, "/proc/%u/%s", static_cast<unsigned>(pid), name);
    snprintf(ours_path, sizeof ours_path, "/proc/self/%s", name);
    ssize_t a = readlink(theirs_path, theirs, sizeof theirs - 1);
    ssize_t b = readlink(ours_path, ours, sizeof ours - 1);
    return a > 0 && a == b && memcmp(theirs, ours, static_cast<size_t>(a)) == 0;
}

// Lines of /proc/<pid>/maps are read a piece at a time into this buffer; a line that does not
// fit whole is passed over (no path of ours is that long).
char maps_buffer[16384];

// Whether the process has the file at path mapped: a line of its maps that ends in " " + path.
bool maps_hold(uint32_t pid, const char* path) {
    char maps_path[32];
    snprintf(maps_path, sizeof maps_path, "/proc/%u/maps", static_cast<unsigned>(pid));
    int fd = open(maps_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t path_len = strlen(path);
    size_t have = 0;
    bool found = false, skipping = false;
    while (!found) {
        ssize_t n = read(fd, maps_buffer + have, sizeof maps_buffer - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        size_t start = 0;
        for (;;) {
            char* end = static_cast<char*>(memchr(maps_buffer + start, '\n', have - start));
            if (!end) break;
            size_t len = static_cast<size_t>(end - (maps_buffer + start));
            if (!skipping && len > path_len && maps_buffer[start + len - path_len - 1] == ' ' &&
                memcmp(maps_buffer + start + len - path_len, path, path_len) == 0) {
                found = true;
                break;
            }
            skipping = false;
            start += len + 1;
        }
        memmove(maps_buffer, maps_buffer + start, have - start);
        have -= start;
        if (have == sizeof maps_buffer) {
            // A line longer than the buffer: its rest is passed over up to its end.
            have = 0;
            skipping = true;
        }
    }
    close(fd);
    return found;
}
}  // namespace

bool vp_proc_ours(uint32_t pid) {
    char dir[32];
    snprintf(dir, sizeof dir, "/proc/%u", static_cast<unsigned>(pid));
    struct stat st;
    // /proc/<pid> belongs to the process's effective user.
    if (stat(dir, &st) != 0 || st.st_uid != geteuid()) return false;
    return same_link(pid, "ns/mnt");
}

int vp_serve_mark(const char*) { return 0; }

bool vp_proc_serves(uint32_t pid, const char* block) {
    if (!vp_proc_ours(pid)) return false;
    char path[300];
    int n = snprintf(path, sizeof path, "/dev/shm/%s", block);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return false;
    return maps_hold(pid, path);
}

int vp_proc_kill(uint32_t pid) {
    // SIGKILL, like TerminateProcess, cannot be caught or delayed by the process.
    return kill(static_cast<pid_t>(pid), SIGKILL) != 0 ? 1 : 0;
}

int vp_spawn_wait(const char* program, const char* arg0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        close(fds[0]);
        exec_or_report(program, arg0, fds[1]);
    }
    close(fds[1]);
    int err = 0;
    size_t got = read_full(fds[0], &err, sizeof err);
    close(fds[0]);
    int result = wait_child(pid);
    return got == sizeof err ? -1 : result;
}

int vp_run_to_file(const char* program, const char* const* args, const char* out_path) {
    int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        close(out);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // dup2 clears close-on-exec on the copy, so the program's standard output is the file.
        if (dup2(out, 1) >= 0) execv(program, const_cast<char* const*>(args));
        int err = errno;
        write_full(fds[1], &err, sizeof err);
        _exit(127);
    }
    close(out);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    int err = 0;
    size_t got = read_full(fds[0], &err, sizeof err);
    close(fds[0]);
    int result = wait_child(pid);
    return got == sizeof err ? -1 : result;
}

namespace {
// The double fork behind both detached starts: the middle process starts a new session, forks
// the program and ends at once, so the program is adopted by init (which reaps it), is in no
// process group or session of the starter, and its id comes back through the pipe. Without
// the starter's console, the program's standard streams lead to /dev/null instead of the
// starter's.
long spawn_apart(const char* program, const char* arg0, bool without_console) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t middle = fork();
    if (middle < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (middle == 0) {
        close(fds[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild == 0) {
            if (without_console) {
                int null_fd = open("/dev/null", O_RDWR);
                if (null_fd >= 0) {
                    for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
                    if (null_fd > 2) close(null_fd);
                }
            }
            exec_or_report(program, arg0, fds[1]);
        }
        int32_t id = static_cast<int32_t>(grandchild);  // -1 when the fork failed
        write_full(fds[1], &id, sizeof id);
        _exit(0);
    }
    close(fds[1]);
    wait_child(middle);
    int32_t id = -1;
    size_t got = read_full(fds[0], &id, sizeof id);
    // After the id, the pipe stays empty unless the exec failed: the program's end of the pipe
    // closes on exec, so end of file here means the program is running.
    int err = 0;
    size_t failed = got == sizeof id ? read_full(fds[0], &err, sizeof err) : 0;
    close(fds[0]);
    if (got != sizeof id || id <= 0 || failed == sizeof err) return -1;
    return static_cast<long>(id);
}
}  // namespace

long vp_spawn_detached(const char* program, const char* arg0) {
    return spawn_apart(program, arg0, false);
}

int vp_spawn_background(const char* program, const char* arg0) {
    return spawn_apart(program, arg0, true) > 0 ? 0 : -1;
}

bool vp_proc_alive(uint32_t pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // A zombie still answers to kill but runs no more: its state letter in stat is Z (or X).
    char stat_path[32];
    snprintf(stat_path, sizeof stat_path, "/proc/%u/stat", static_cast<unsigned>(pid));
    int fd = open(stat_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return true;
    buf[n] = '\0';
    // The command name in parentheses may hold blanks and parentheses; the state follows the
    // last closing one.
    const char* close_paren = strrchr(buf, ')');
    if (!close_paren || close_paren[1] != ' ') return true;
    char state = close_paren[2];
    return state != 'Z' && state != 'X';
}

void vp_exit_now(int code) { _exit(code); }
