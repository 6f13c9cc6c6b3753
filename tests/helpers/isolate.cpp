// isolate.cpp - test support: block names of the test's own and a guard that ends what it started.
#include "isolate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vistrel_reader.h"
#include "vp.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {
constexpr char kTokenVariable[] = "VISTREL_TEST_GUARD";

#ifndef _WIN32
// Whether process pid of this user carries the token in its environment.
bool carries(pid_t pid, const char* entry, size_t entry_len) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    static char env[65536];
    ssize_t n = read(fd, env, sizeof env - 1);
    close(fd);
    if (n <= 0) return false;
    env[n] = '\0';
    for (ssize_t at = 0; at < n;) {
        size_t len = strlen(env + at);
        if (len == entry_len && memcmp(env + at, entry, len) == 0) return true;
        at += static_cast<ssize_t>(len) + 1;
    }
    return false;
}

// Kills every process of this user but itself whose environment holds the entry; returns
// how many it found.
int kill_carriers(const char* entry) {
    size_t entry_len = strlen(entry);
    int found = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    while (dirent* d = readdir(proc)) {
        char* end = nullptr;
        long pid = strtol(d->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == getpid()) continue;
        struct stat st;
        char dir[64];
        snprintf(dir, sizeof dir, "/proc/%ld", pid);
        if (stat(dir, &st) != 0 || st.st_uid != geteuid()) continue;
        if (carries(static_cast<pid_t>(pid), entry, entry_len)) {
            kill(static_cast<pid_t>(pid), SIGKILL);
            found++;
        }
    }
    closedir(proc);
    return found;
}

// The guard: apart from the test's session and with none of its descriptors (CTest reads the
// test's output until every holder has closed it), it waits for the test to end, then ends
// what carries the token, again until nothing does (a process may start another meanwhile).
[[noreturn]] void guard(pid_t test, const char* entry) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, test, 0));
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
    for (int fd = 3; fd < 1024; fd++)
        if (fd != pidfd) close(fd);
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        while (poll(&p, 1, -1) < 0) {
        }
    } else {
        while (kill(test, 0) == 0) usleep(100000);
    }
    for (int round = 0; round < 20 && kill_carriers(entry) > 0; round++) usleep(50000);
    _exit(0);
}
#endif
}  // namespace

void set_env(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

void unset_env(const char* name) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, nullptr);
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

TestLimits::TestLimits(const char* limits) { set_env("VISTREL_TEST_LIMITS", limits); }
TestLimits::~TestLimits() { unset_env("VISTREL_TEST_LIMITS"); }

std::string run_block_name(const char* base) {
    char name[VR_NAME_MAX];
    if (vr_block_name(name, sizeof name, base) != 0) return base;
    return name;
}

void vistrel_isolate_test() {
    char value[32];
    snprintf(value, sizeof value, ".t%u", static_cast<unsigned>(vp_getpid()));
    const char* given = getenv(VR_SUFFIX_VARIABLE);
    if (!given || !*given) set_env(VR_SUFFIX_VARIABLE, value);
#ifdef _WIN32
    // Every process started from here on belongs to the job, which ends them all when this
    // process, its only holder, ends.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION info;
        memset(&info, 0, sizeof info);
        info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info);
        AssignProcessToJobObject(job, GetCurrentProcess());
    }
#else
    char token[64];
    snprintf(token, sizeof token, "%u-%ld", static_cast<unsigned>(getpid()), static_cast<long>(time(nullptr)));
    set_env(kTokenVariable, token);
    static char entry[96];
    snprintf(entry, sizeof entry, "%s=%s", kTokenVariable, token);
#ifdef VISTREL_NO_GUARD
    // The ARM build's units under qemu-user start no program, so there is nothing to guard;
    // and there the guard's fork never returns in the child (qemu 7.2).
    return;
#endif
    pid_t test = getpid();
    pid_t middle = fork();
    if (middle == 0) {
        setsid();
        if (fork() == 0) guard(test, entry);
        _exit(0);
    }
    if (middle > 0) {
        int status;
        while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
    }
#endif
}
