// lcd_load.cpp - measures the processor time and memory of vistrel_lcd while both blocks hold full
// tables of long texts and it keeps a display up to date.
//
// It publishes both blocks itself (2,048 tags each, every text 256 characters long, the tags
// that the screens show last in each table, so that every look-up passes the whole table), with
// three recordings in progress and something playing whose position advances every second, the
// time advancing as a live bridge's does. It plays LCDd on a loopback port (a 20x4 display; every
// command answered "success") and runs vistrel_lcd in an empty folder whose settings point at
// it. After a warm-up it reads the client's processor time over the measured seconds and its
// resident memory from /proc, and fails when the time is above the aim, 0.5% of one core. Uses
// the machine-wide block names: nothing else may use them meanwhile (run it under the build lock).
//
// With --flood it publishes no block (the client shows its idle screen) and its LCDd, once the
// client has named itself, also sends "listen" lines as fast as the client takes them: the
// client's processor time is then held to its aim for a flood, 2% of one core. Either way it
// ends the client with SIGTERM and tells how long the client took to end.
//
//   lcd_load [--seconds S] [--flood] PROGRAM
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

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
constexpr double kAimPercent = 0.5;
constexpr double kFloodAimPercent = 2.0;

MP_TagEntry* blocks[2];

void put(MP_TagEntry& t, const std::string& name, int type, int ival, const std::string& text) {
    memset(&t, 0, sizeof t);
    t.len = snprintf(t.name, sizeof t.name, "%s", name.c_str());
    t.type = type;
    t.ival = ival;
    snprintf(t.string, sizeof t.string, "%s", text.c_str());
}

// Filler tags of 256 characters, then the given tags at the end of a full table.
void fill(MP_TagEntry* table, const char* prefix, const std::vector<MP_TagEntry>& shown) {
    int filler = MP_MAXTAGS - static_cast<int>(shown.size());
    for (int i = 1; i <= filler; i++) {
        std::string text(MP_TAG_TEXT_MAX, ' ');
        for (int k = 0; k < MP_TAG_TEXT_MAX; k++) text[static_cast<size_t>(k)] = static_cast<char>('a' + (i + k) % 26);
        put(table[i], prefix + std::to_string(i) + ".Description", MP_TYPE_TEXT, i, text);
    }
    for (size_t i = 0; i < shown.size(); i++) table[filler + 1 + static_cast<int>(i)] = shown[i];
    memset(&table[0], 0, sizeof table[0]);
    table[0].len = MP_MAXTAGS;
    snprintf(table[0].string, sizeof table[0].string, "OK");
    table[0].time = static_cast<int32_t>(time(nullptr));
    memcpy(table[0].name, "Numtags", 8);
}

std::vector<MP_TagEntry> recording_tags() {
    std::vector<MP_TagEntry> v;
    auto add = [&](const std::string& name, int type, int ival, const std::string& text) {
        v.emplace_back();
        put(v.back(), name, type, ival, text);
    };
    add("IsRecording", MP_TYPE_TEXT, 1, "true");
    add("IRecordings", MP_TYPE_INT, 3, "3");
    for (int k = 1; k <= 3; k++) {
        std::string p = "Recording" + std::to_string(k) + ".";
        add(p + "IsRecording", MP_TYPE_TEXT, 0, "true");
        add(p + "Title", MP_TYPE_TEXT, 0, "A recording with a title far longer than the display, number " + std::to_string(k));
        add(p + "ChannelName", MP_TYPE_INT, 0, "Das Erste");
        add(p + "SoFar", MP_TYPE_TIME, 0, "0:10:46");
        add(p + "Duration", MP_TYPE_TIME, 0, "0:45:00");
    }
    return v;
}

std::vector<MP_TagEntry> playing_tags() {
    std::vector<MP_TagEntry> v(5);
    put(v[0], "IsPlaying", MP_TYPE_TEXT, 1, "true");
    put(v[1], "IsPaused", MP_TYPE_TEXT, 0, "false");
    put(v[2], "Title", MP_TYPE_TEXT, 0, "Evening News");
    put(v[3], "Duration", MP_TYPE_INT, 1800, "1800");
    put(v[4], "Position", MP_TYPE_INT, 0, "0");
    return v;
}

// The stand-in for LCDd: the answer to hello, then "success" for every other line.
struct StandIn {
    vp_socket client = VP_INVALID_SOCKET;
    std::string pending;
    long long commands = 0;
    bool flood = false;
    std::string flood_chunk;
    unsigned long long flooded = 0;
    bool named = false;  // the client of this connection has named itself
    long long connections = 0;

    // Whether the flood is under way: the client named itself.
    bool flooding() const { return flood && client != VP_INVALID_SOCKET && named; }
    // As many "listen" lines as the connection takes now, without waiting.
    void send_flood() {
        if (flood_chunk.empty())
            while (flood_chunk.size() < 16384) flood_chunk += "listen vistrel_idle\n";
        ssize_t n = send(static_cast<int>(client), flood_chunk.data(), flood_chunk.size(), MSG_DONTWAIT);
        if (n > 0) flooded += static_cast<unsigned long long>(n);
    }

    void take(vp_socket listener) {
        vp_socket s = vp_accept(listener);
        if (s == VP_INVALID_SOCKET) return;
        if (client != VP_INVALID_SOCKET) vp_close_socket(client);
        client = s;
        pending.clear();
        named = false;
        connections++;
    }
    // Reads what came and answers each whole line; false when the client went.
    bool serve() {
        char buf[65536];
        int n = vp_recv(client, buf, sizeof buf);
        if (n <= 0) {
            vp_close_socket(client);
            client = VP_INVALID_SOCKET;
            return false;
        }
        pending.append(buf, static_cast<size_t>(n));
        std::string answers;
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            if (pending.compare(0, 5, "hello") == 0)
                answers += "connect LCDproc 0.5.9 protocol 0.3 lcd wid 20 hgt 4 cellwid 5 cellhgt 8\n";
            else
                answers += "success\n", commands++, named = true;
        }
        if (!answers.empty()) vp_send(client, answers.data(), static_cast<int>(answers.size()));
        return true;
    }
};

int usage() {
    fputs("usage: lcd_load [--seconds S] [--flood] PROGRAM\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 30;
    bool flood = false;
    const char* program = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = atoi(argv[++i]);
        else if (a == "--flood") flood = true;
        else if (a[0] != '-' && program == nullptr) program = argv[i];
        else return usage();
    }
    if (program == nullptr || seconds <= 0) return usage();
    char full_program[4096];
    if (realpath(program, full_program) == nullptr) {
        fprintf(stderr, "lcd_load: %s: %s\n", program, strerror(errno));
        return 1;
    }
    if (vp_net_start() != 0) return 1;

    const std::vector<MP_TagEntry> shown[2] = {playing_tags(), recording_tags()};
    if (!bench_name_blocks(kBlocks, kBases, "lcd_load")) return 2;
    static MP_TagEntry unpublished[2][MP_MAXTAGS + 1];
    for (int b = 0; b < 2; b++) {
        if (flood) {
            blocks[b] = unpublished[b];
            continue;
        }
        vp_shm_unlink(kBlocks[b]);
        vp_shm handle;
        void* view = nullptr;
        if (vp_shm_open(kBlocks[b], MP_BLOCK_SIZE, &handle) != 0 || vp_shm_map(handle, MP_BLOCK_SIZE, 1, &view) != 0) {
            fprintf(stderr, "lcd_load: cannot make the block %s\n", kBlocks[b]);
            return 1;
        }
        blocks[b] = static_cast<MP_TagEntry*>(view);
        fill(blocks[b], b == 0 ? "Wifi" : "Rec", shown[b]);
    }
    MP_TagEntry& position = blocks[0][MP_MAXTAGS];

    int port = 0;
    vp_socket listener = vp_listen_loopback(0, &port);
    if (listener == VP_INVALID_SOCKET) return 1;

    char folder[] = "/tmp/lcd_load.XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    std::string plugins = std::string(folder) + "/plugins";
    std::string cfg = plugins + "/MP.cfg";
    mkdir(plugins.c_str(), 0700);
    FILE* f = fopen(cfg.c_str(), "w");
    if (f == nullptr) return 1;
    fprintf(f, "Debug=0\nLCD_Port=%d\n", port);
    fclose(f);
    chmod(cfg.c_str(), 0600);

    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder) != 0) _exit(126);
        int null_fd = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
        for (int fd = 3; fd < 64; fd++) close(fd);
        execl(full_program, "vistrel_lcd", static_cast<char*>(nullptr));
        _exit(127);
    }

    StandIn lcdd;
    lcdd.flood = flood;
    const double warmup = 3.0;
    double start = now_seconds(), measured_from = 0, last_publish = 0;
    long long ticks0 = -1, commands0 = 0;
    int played = 0;
    for (;;) {
        double t = now_seconds() - start;
        if (t - last_publish >= 1.0) {
            // A second of playing, published as a bridge publishes it.
            played++;
            snprintf(position.string, sizeof position.string, "%d", played);
            position.ival = played;
            for (auto* block : blocks) block[0].time = static_cast<int32_t>(time(nullptr));
            last_publish = t;
        }
        if (ticks0 < 0 && t >= warmup) {
            ticks0 = cpu_ticks(pid);
            commands0 = lcdd.commands;
            measured_from = t;
        }
        if (ticks0 >= 0 && t >= measured_from + seconds) break;
        short events = static_cast<short>(POLLIN | (lcdd.flooding() ? POLLOUT : 0));
        pollfd p[2] = {{static_cast<int>(listener), POLLIN, 0}, {static_cast<int>(lcdd.client), events, 0}};
        if (poll(p, lcdd.client == VP_INVALID_SOCKET ? 1 : 2, 100) <= 0) continue;
        if (p[0].revents) lcdd.take(listener);
        if (lcdd.client != VP_INVALID_SOCKET && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) lcdd.serve();
        if (lcdd.flooding() && (p[1].revents & POLLOUT)) lcdd.send_flood();
    }
    double elapsed = now_seconds() - start - measured_from;
    long long ticks1 = cpu_ticks(pid);
    std::string rss = status_field(pid, "VmRSS"), hwm = status_field(pid, "VmHWM");
    long hz = sysconf(_SC_CLK_TCK);
    double cpu = ticks0 >= 0 && ticks1 >= 0 ? 100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(hz) / elapsed : -1;
    long long commands = lcdd.commands - commands0;

    kill(pid, SIGTERM);
    double stop_sent = now_seconds(), stop_took = -1;
    // The stand-in answers the commands that take the screens off while the client ends.
    for (int i = 0; i < 500; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            stop_took = now_seconds() - stop_sent;
            break;
        }
        pollfd p = {static_cast<int>(lcdd.client), POLLIN, 0};
        if (lcdd.client != VP_INVALID_SOCKET && poll(&p, 1, 10) > 0) lcdd.serve();
        else vp_sleep_ms(10);
    }
    if (stop_took < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (!flood)
        for (const char* name : kBlocks) vp_shm_unlink(name);
    remove((plugins + "/vistrel_lcd.log").c_str());
    remove(cfg.c_str());
    rmdir(plugins.c_str());
    rmdir(folder);

    const double aim = flood ? kFloodAimPercent : kAimPercent;
    if (flood)
        printf("vistrel_lcd against a flood of notices (%.1f MB sent): %.2f%% of one core over %.0f s (aim at most "
               "%.1f%%), %.1f commands a second, %lld connections, VmRSS %s, VmHWM %s; ended %.3f s after SIGTERM\n",
               static_cast<double>(lcdd.flooded) / 1e6, cpu, elapsed, aim, static_cast<double>(commands) / elapsed,
               lcdd.connections, rss.c_str(), hwm.c_str(), stop_took);
    else
        printf("vistrel_lcd with both blocks full: %.2f%% of one core over %.0f s (aim at most %.1f%%), "
               "%.1f commands a second, VmRSS %s, VmHWM %s; ended %.3f s after SIGTERM\n",
               cpu, elapsed, aim, static_cast<double>(commands) / elapsed, rss.c_str(), hwm.c_str(), stop_took);
    if (cpu < 0 || (commands == 0 && !flood)) {
        fputs("lcd_load: FAIL: the client did not keep the display up to date\n", stderr);
        return 1;
    }
    if (stop_took < 0 || stop_took > 1.0) {
        fputs("lcd_load: FAIL: the client did not end within a second of SIGTERM\n", stderr);
        return 1;
    }
    if (cpu > aim) {
        fputs("lcd_load: FAIL: above the aim\n", stderr);
        return 1;
    }
    return 0;
}
