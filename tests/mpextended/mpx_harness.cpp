// mpx_harness.cpp - end-to-end support for the MPExtended bridge: its block, the bridge and the simulator.
#include "mpx_harness.h"

#include <cstring>

#include "scratch.h"

void Program::stop() {
    if (pid <= 0) return;
    vp_proc_kill(static_cast<uint32_t>(pid));
    wait_until([this] { return !vp_proc_alive(static_cast<uint32_t>(pid)); }, 10000);
    pid = -1;
}

Bridge::~Bridge() {
    stop();
    vp_shm_unlink(mpx_block());
}

bool Bridge::start(const std::string& settings, int port) {
    vp_shm_unlink(mpx_block());
    write_file(VP_PLUGINS "MP.cfg", settings + "MPExtended_Port=" + std::to_string(port) + "\n");
    pid = vp_spawn_detached(VISTREL_VISTREL_MPEXTENDED, "Vistrel_MPExtended");
    return pid > 0;
}

Block::Block() {
    if (vp_shm_open(mpx_block(), MP_BLOCK_SIZE, &handle_) == 0) vp_shm_map(handle_, MP_BLOCK_SIZE, 0, &view_);
}

Block::~Block() {
    if (view_) vp_shm_unmap(view_, MP_BLOCK_SIZE);
    if (handle_ != VP_NO_SHM) vp_shm_close(handle_);
}

MP_TagEntry Block::header() const {
    MP_TagEntry h;
    memcpy(&h, view_, sizeof h);
    return h;
}

std::vector<MP_TagEntry> Block::tags(int count) const {
    std::vector<MP_TagEntry> t(static_cast<size_t>(count) + 1);
    memcpy(t.data(), view_, t.size() * sizeof(MP_TagEntry));
    return t;
}

std::vector<MP_TagEntry> Block::tags() const {
    MP_TagEntry h = header();
    if (state_of(h) != std::string("Numtags\0", 8) || h.len < 0 || h.len > MP_MAXTAGS) return {h};
    return tags(h.len);
}

std::string state_of(const MP_TagEntry& h) { return std::string(h.name, 8); }
std::string status_of(const MP_TagEntry& h) { return std::string(h.string, strnlen(h.string, 257)); }

TagValue tag_named(const std::vector<MP_TagEntry>& tags, const std::string& name) {
    TagValue v;
    for (size_t i = 1; i < tags.size(); i++) {
        if (strncmp(tags[i].name, name.c_str(), sizeof tags[i].name) != 0) continue;
        v.found = true;
        v.type = tags[i].type;
        v.ival = tags[i].ival;
        v.text.assign(tags[i].string, strnlen(tags[i].string, 257));
        break;
    }
    return v;
}

bool TvSim::start(const std::string& scenario, const std::string& options) {
    write_file("scenario.txt", scenario);
    std::string command = "vistrel_tvsim --port 0 --port-file port.txt --scenario scenario.txt "
                          "--log events.txt --requests requests.txt --lifetime 150 " + options;
    pid = vp_spawn_detached(VISTREL_VISTREL_TVSIM, command.c_str());
    if (pid <= 0) return false;
    std::string text;
    bool up = wait_until([&] {
        text = read_file("port.txt");
        return !text.empty() && text.back() == '\n';
    }, 30000);
    if (!up) return false;
    port = std::stoi(text);
    return port > 0;
}

std::vector<std::string> TvSim::events() const {
    std::vector<std::string> out;
    for (const std::string& l : read_lines("events.txt")) {
        size_t sp = l.find(' ');
        out.push_back(sp == std::string::npos ? l : l.substr(sp + 1));
    }
    return out;
}

std::vector<long long> TvSim::event_times() const {
    std::vector<long long> out;
    for (const std::string& l : read_lines("events.txt")) out.push_back(std::atoll(l.c_str()));
    return out;
}

std::string TvSim::requests() const { return read_file("requests.txt"); }

int line_index(const std::vector<std::string>& lines, const std::string& part, int from) {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < lines.size(); i++)
        if (lines[i].find(part) != std::string::npos) return static_cast<int>(i);
    return -1;
}

int line_count(const std::vector<std::string>& lines, const std::string& part) {
    int n = 0;
    for (const std::string& l : lines) n += l.find(part) != std::string::npos;
    return n;
}
