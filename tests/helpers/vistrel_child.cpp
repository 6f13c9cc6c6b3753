// vistrel_child.cpp - a second process for tests: reads and writes named blocks, sleeps, exits.
//
// Subcommands (every word is free of blanks):
//   read-block NAME OUTFILE [COUNT]  opens the 1 MiB block NAME and writes COUNT bytes from its
//                                    start to OUTFILE; without COUNT, every byte up to the last
//                                    non-zero one (so a new block gives an empty file)
//   write-block NAME TEXT            opens the block and writes TEXT and a zero at its start
//   write-file PATH TEXT             writes TEXT to a file, to show that a detached child ran
//   hold-block NAME MS               opens (or makes) the block and keeps it mapped for MS, as a
//                                    bridge holds its block
//   sleep MS                         sleeps, then exits with 0
//   exit CODE                        exits with CODE at once
// Exit codes: 0 done, 64 unknown subcommand or missing word, 65 the block cannot be opened,
// 66 it cannot be mapped, 67 the output file cannot be written.
//
// Every argument is split at blanks (command_words.h says why) and the command begins at the
// first word that names a subcommand.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_words.h"
#include "vp.h"

namespace {
constexpr size_t kBlockSize = 1048576;
constexpr int kUsage = 64;
constexpr int kOpenFailed = 65;
constexpr int kMapFailed = 66;
constexpr int kWriteFailed = 67;

CommandWords words;

bool write_out(const char* path, const void* data, size_t len) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, len, f) == len;
    return fclose(f) == 0 && ok;
}

int with_block(const char* name, void** view, vp_shm* handle) {
    if (vp_shm_open(name, kBlockSize, handle) != 0) return kOpenFailed;
    if (vp_shm_map(*handle, kBlockSize, 1, view) != 0) {
        vp_shm_close(*handle);
        return kMapFailed;
    }
    return 0;
}

int read_block(const char* name, const char* out, const char* count) {
    void* view;
    vp_shm handle;
    int rc = with_block(name, &view, &handle);
    if (rc != 0) return rc;
    const unsigned char* bytes = static_cast<const unsigned char*>(view);
    size_t len = 0;
    if (count) {
        len = strtoul(count, nullptr, 10);
        if (len > kBlockSize) len = kBlockSize;
    } else {
        for (len = kBlockSize; len > 0 && bytes[len - 1] == 0; --len) {
        }
    }
    rc = write_out(out, bytes, len) ? 0 : kWriteFailed;
    vp_shm_unmap(view, kBlockSize);
    vp_shm_close(handle);
    return rc;
}

int hold_block(const char* name, const char* ms) {
    void* view;
    vp_shm handle;
    int rc = with_block(name, &view, &handle);
    if (rc != 0) return rc;
    vp_sleep_ms(static_cast<unsigned>(strtoul(ms, nullptr, 10)));
    vp_shm_unmap(view, kBlockSize);
    vp_shm_close(handle);
    return 0;
}

int write_block(const char* name, const char* text) {
    void* view;
    vp_shm handle;
    int rc = with_block(name, &view, &handle);
    if (rc != 0) return rc;
    size_t len = strlen(text);
    memcpy(view, text, len + 1);
    vp_shm_unmap(view, kBlockSize);
    vp_shm_close(handle);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    static const char* const commands[] = {"read-block", "write-block", "write-file", "hold-block", "sleep", "exit"};
    words.split(argc, argv);
    int first = words.find_first(commands);
    if (first == words.count()) return kUsage;
    const char* cmd = words[first];
    int n = words.count() - first - 1;
    const char* const* arg = words.from(first + 1);

    if (strcmp(cmd, "read-block") == 0 && n >= 2) return read_block(arg[0], arg[1], n >= 3 ? arg[2] : nullptr);
    if (strcmp(cmd, "write-block") == 0 && n >= 2) return write_block(arg[0], arg[1]);
    if (strcmp(cmd, "hold-block") == 0 && n >= 2) return hold_block(arg[0], arg[1]);
    if (strcmp(cmd, "write-file") == 0 && n >= 2)
        return write_out(arg[0], arg[1], strlen(arg[1])) ? 0 : kWriteFailed;
    if (strcmp(cmd, "sleep") == 0 && n >= 1) {
        vp_sleep_ms(static_cast<unsigned>(strtoul(arg[0], nullptr, 10)));
        return 0;
    }
    if (strcmp(cmd, "exit") == 0 && n >= 1) return atoi(arg[0]);
    return kUsage;
}
