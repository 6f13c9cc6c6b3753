// scratch.cpp - test support: fresh working directories, file reading and bounded waits.
#include "scratch.h"

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "vp.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    previous_ = fs::current_path().string();
    // A new folder of an unforeseeable name, made by this process right in the temporary folder
    // and private to it: another user of the machine can neither have made it beforehand nor
    // put anything into it (a link where a bridge writes its log, settings of theirs).
#ifndef _WIN32
    std::string pattern = (fs::temp_directory_path() / "vistrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    path_ = pattern;
#else
    std::random_device random;
    for (;;) {
        char leaf[64];
        snprintf(leaf, sizeof leaf, "vistrel-test-%08x%08x", random(), random());
        fs::path p = fs::temp_directory_path() / leaf;
        std::error_code ec;
        // Made here or not at all: a folder of that name that already exists is not taken.
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            break;
        }
        if (ec && ec != std::errc::file_exists) abort();
    }
#endif
    fs::create_directory(fs::path(path_) / "plugins");
    fs::current_path(path_);
#ifndef _WIN32
    // Settings files hold passwords, and a bridge says so when others may read its settings:
    // the files that tests write are private, as a careful user's are.
    previous_mask_ = umask(077);
#endif
}

ScratchDir::~ScratchDir() {
#ifndef _WIN32
    umask(static_cast<mode_t>(previous_mask_));
#endif
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::string all = read_file(path);
    size_t start = 0;
    while (start < all.size()) {
        size_t nl = all.find('\n', start);
        if (nl == std::string::npos) nl = all.size();
        std::string line = all.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

bool wait_until(const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string unique_block_name(const char* base) {
    char suffix[32];
    snprintf(suffix, sizeof suffix, "_test%u", static_cast<unsigned>(vp_getpid()));
    std::string name(base);
    name.append(suffix);
    return name;
}
