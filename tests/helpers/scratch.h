// scratch.h - test support: fresh working directories, file reading and bounded waits.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Creates a fresh directory with a "plugins" folder right in the system's temporary directory,
// under a name that nobody can foresee (POSIX mkdtemp: mode 0700), and makes it the working
// directory for the life of the object; the former working directory is restored afterwards.
// The bridges' files are relative to the working directory. Files made meanwhile admit only
// their owner (POSIX umask 077).
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
    unsigned previous_mask_ = 0;
};

// Whole contents of a file in binary mode ("" when it cannot be read).
std::string read_file(const std::string& path);
// Writes a file in binary mode, replacing it.
void write_file(const std::string& path, const std::string& contents);
// The file's lines without their line ends (CR LF or LF).
std::vector<std::string> read_lines(const std::string& path);
// Polls cond every 20 ms until it holds or ms have passed; returns its last value.
bool wait_until(const std::function<bool()>& cond, int ms);
// A block name unique to this process, so that concurrently running tests never share one.
std::string unique_block_name(const char* base);
