// monitor_load.cpp - measures the processor time and memory of Vistrel_Status on a terminal of a
// chosen size while both blocks hold full tables of long texts.
//
// It publishes both blocks itself (2,048 tags each, every text of the chosen length, the time
// advancing every second as a live bridge's does), runs the monitor on a pseudo-terminal of the
// given size in an empty folder (so that it starts no bridge), reads and drops what the monitor
// writes as a terminal would, and after a warm-up reads the monitor's processor time over the
// measured seconds and its resident memory from /proc. With --pipe the monitor writes into a
// pipe instead of a terminal. Uses the machine-wide block names: nothing else may use them
// meanwhile (run it under the build lock).
//
//   monitor_load [--rows R] [--cols C] [--pipe] [--seconds S] [--text N] PROGRAM
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "mp_tags.h"
#include "vistrel_reader.h"
#include "bench_blocks.h"
#include "proc_stats.h"
#include "vp.h"

namespace {

// The blocks of the measurement: the bridges' names with a suffix of the measurement's own
// (VISTREL_BLOCK_SUFFIX, which the program measured inherits), so that nothing else is touched.
const char* const kBases[2] = {VR_WIFIREMOTE, VR_MPEXTENDED};
char kBlocks[2][VR_NAME_MAX];

MP_TagEntry* blocks[2];

void fill(MP_TagEntry* table, const char* prefix, int text_len) {
    for (int i = 1; i <= MP_MAXTAGS; i++) {
        MP_TagEntry& t = table[i];
        memset(&t, 0, sizeof t);
        t.len = snprintf(t.name, sizeof t.name, "%s%d.Properties.Play.Current.Title", prefix, i);
        t.type = MP_TYPE_TEXT;
        t.ival = i;
        for (int k = 0; k < text_len && k < MP_TAG_TEXT_MAX; k++) t.string[k] = static_cast<char>('a' + (i + k) % 26);
    }
    memset(&table[0], 0, sizeof table[0]);
    table[0].len = MP_MAXTAGS;
    snprintf(table[0].string, sizeof table[0].string, "OK");
    table[0].time = static_cast<int32_t>(time(nullptr));
    memcpy(table[0].name, "Numtags", 8);
}

int usage() {
    fputs("usage: monitor_load [--rows R] [--cols C] [--pipe] [--seconds S] [--text N] PROGRAM\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 60, cols = 200, seconds = 30, text_len = 256;
    bool pipe_out = false;
    const char* program = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--rows" && i + 1 < argc) rows = atoi(argv[++i]);
        else if (a == "--cols" && i + 1 < argc) cols = atoi(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc) seconds = atoi(argv[++i]);
        else if (a == "--text" && i + 1 < argc) text_len = atoi(argv[++i]);
        else if (a == "--pipe") pipe_out = true;
        else if (a[0] != '-' && program == nullptr) program = argv[i];
        else return usage();
    }
    if (program == nullptr || seconds <= 0) return usage();
    char full_program[4096];
    if (realpath(program, full_program) == nullptr) {
        fprintf(stderr, "monitor_load: %s: %s\n", program, strerror(errno));
        return 1;
    }

    if (!bench_name_blocks(kBlocks, kBases, "monitor_load")) return 2;
    for (int b = 0; b < 2; b++) {
        vp_shm_unlink(kBlocks[b]);
        vp_shm handle;
        void* view = nullptr;
        if (vp_shm_open(kBlocks[b], MP_BLOCK_SIZE, &handle) != 0 || vp_shm_map(handle, MP_BLOCK_SIZE, 1, &view) != 0) {
            fprintf(stderr, "monitor_load: cannot make the block %s\n", kBlocks[b]);
            return 1;
        }
        blocks[b] = static_cast<MP_TagEntry*>(view);
        fill(blocks[b], b == 0 ? "Wifi" : "Rec", text_len);
    }

    // An empty folder: the monitor finds no bridge program to start there.
    char folder[] = "/tmp/monitor_load.XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;

    int out_fd = -1;
    std::string slave;
    if (pipe_out) {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        out_fd = fds[0];
        slave = std::to_string(fds[1]);
    } else {
        out_fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (out_fd < 0 || grantpt(out_fd) != 0 || unlockpt(out_fd) != 0) return 1;
        slave = ptsname(out_fd);
        winsize ws = {};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ioctl(out_fd, TIOCSWINSZ, &ws);
    }

    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder) != 0) _exit(126);
        if (pipe_out) {
            int w = atoi(slave.c_str());
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
            dup2(w, 1);
            dup2(w, 2);
        } else {
            setsid();
            int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0) _exit(126);
            for (int std_fd = 0; std_fd <= 2; std_fd++) dup2(fd, std_fd);
        }
        for (int fd = 3; fd < 64; fd++) close(fd);
        execl(full_program, "Vistrel_Status", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pipe_out) close(atoi(slave.c_str()));

    // Drains the output and keeps the blocks' times moving, for the warm-up and the measurement.
    static char sink[1 << 16];
    long long out_bytes = 0;
    const double warmup = 3.0;
    double start = now_seconds(), measured_from = 0;
    long long ticks0 = -1, bytes0 = 0;
    double last_publish = 0;
    for (;;) {
        double t = now_seconds() - start;
        if (t - last_publish >= 1.0) {
            for (auto* block : blocks) block[0].time = static_cast<int32_t>(time(nullptr));
            last_publish = t;
        }
        if (ticks0 < 0 && t >= warmup) {
            ticks0 = cpu_ticks(pid);
            bytes0 = out_bytes;
            measured_from = t;
        }
        if (ticks0 >= 0 && t >= measured_from + seconds) break;
        pollfd p = {out_fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = read(out_fd, sink, sizeof sink);
            if (n > 0) out_bytes += n;
            else if (n == 0 || errno != EINTR) break;
        }
    }
    double elapsed = now_seconds() - start - measured_from;
    long long ticks1 = cpu_ticks(pid);
    std::string rss = status_field(pid, "VmRSS"), hwm = status_field(pid, "VmHWM");
    long hz = sysconf(_SC_CLK_TCK);
    double cpu = ticks0 >= 0 && ticks1 >= 0 ? 100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(hz) / elapsed : -1;

    kill(pid, SIGTERM);
    // The pseudo-terminal's output is still drained while the monitor ends.
    for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) == 0; i++) {
        pollfd p = {out_fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && read(out_fd, sink, sizeof sink) <= 0) break;
    }
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const char* name : kBlocks) vp_shm_unlink(name);
    rmdir(folder);

    if (pipe_out)
        printf("pipe: ");
    else
        printf("terminal %dx%d: ", cols, rows);
    printf("%.2f%% of one core over %.0f s, %.0f bytes of output a second, VmRSS %s, VmHWM %s\n", cpu, elapsed,
           static_cast<double>(out_bytes - bytes0) / elapsed, rss.c_str(), hwm.c_str());
    return cpu < 0 ? 1 : 0;
}
