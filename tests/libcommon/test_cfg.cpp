// test_cfg.cpp - the settings file's reading: the rights of a file that holds passwords.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "mp_cfg.h"
#include "mp_log.h"
#include "other_user.h"
#include "scratch.h"
#include "vp.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::string> seen;
void keep(const char* line) { seen.emplace_back(line); }

// The settings hold the services' passwords (and name the servers that receive them): a file
// that other users may read, or change, gives one error line at start that names it and the
// fix; a private one gives none. Windows files take their folder's rules and are not judged.
TEST(CfgFile, ASettingsFileOthersMayReadOrChangeIsReportedOnce) {
    namespace fs = std::filesystem;
    using P = fs::perms;
    ScratchDir dir;
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "cfg.log");
    const char* path = VP_PLUGINS "MP.cfg";
    write_file(path, "Debug=0\nMPExtended_Password=secret\n");
    struct Case {
        P rights;
        const char* what;  // "" for no line
    };
    const P owner = P::owner_read | P::owner_write;
    const Case cases[] = {
        {owner, ""},
        {owner | P::group_read | P::others_read, "read"},
        {owner | P::group_read, "read"},
        {owner | P::others_write, "change"},
        {owner | P::group_read | P::group_write, "read and change"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.rights));
        MP_log_reset();
        fs::remove(MP_Global_LogPath);
        MP_open_log();
        fs::permissions(path, c.rights);
        seen.clear();
        EXPECT_EQ(0, MP_cfg_read_file("MP_read_cfg_file:", path, keep));
        EXPECT_EQ(2u, seen.size()) << "the settings are read all the same";
        std::vector<std::string> errors;
        for (const std::string& line : read_lines(MP_Global_LogPath))
            if (line.find("**Error**") != std::string::npos) errors.push_back(line.substr(13));
        if (!vp_file_modes || c.what[0] == '\0') {
            EXPECT_TRUE(errors.empty()) << errors.front();
            continue;
        }
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(std::string("**Error**MP_read_cfg_file: ") + path + " holds passwords and other users may " +
                      c.what + " it; make it private: chmod 600 " + path,
                  errors[0]);
    }
    MP_log_reset();
}

// Lines of the log that hold the part.
std::vector<std::string> lines_with(const std::string& part) {
    std::vector<std::string> found;
    for (const std::string& line : read_lines(MP_Global_LogPath))
        if (line.find(part) != std::string::npos) found.push_back(line.substr(13));
    return found;
}

// A settings file of a few megabytes (another program's file, a log copied there by mistake):
// only its first mebibyte is read, with an error line, so that a huge file holds no bridge at
// its start; a key behind that is not taken.
TEST(CfgFile, OnlyTheFirstMebibyteIsRead) {
    ScratchDir dir;
    MP_log_reset();
    snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "cfg.log");
    MP_open_log();
    const char* path = VP_PLUGINS "MP.cfg";
    std::string text = "Debug=0\n";
    while (text.size() < 3u * 1048576) text += "// " + std::string(96, 'c') + "\n";
    write_file(path, text + "MPExtended_Password=behind\n");
    seen.clear();
    EXPECT_EQ(0, MP_cfg_read_file("MP_read_cfg_file:", path, keep));
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("Debug=0", seen[0]);
    EXPECT_EQ(1u, lines_with(std::string("**Error**MP_read_cfg_file: ") + path +
                             " is longer than 1048576 bytes; the rest of it is not read").size());
    MP_log_reset();
}

#ifndef _WIN32
// What another user, or a program that went wrong, can put at the settings' name instead of a
// settings file of the bridge's user: none of it is read and none of it holds the bridge. The
// error line says why, and the defaults stay. Each case reads in a child process, so that a read
// that hangs (a FIFO without a writer, the endless zeros of /dev/zero) fails the case instead of
// the whole run; the child's exit code is the number of lines taken, or 100 plus that number when
// the file was refused.
TEST(CfgFile, ALinkAFifoADeviceOrAnotherUsersFileIsNotRead) {
    namespace fs = std::filesystem;
    ScratchDir dir;
    const char* path = VP_PLUGINS "MP.cfg";
    write_file("elsewhere.cfg", "Debug=3\nMPExtended_IPAddress=10.0.0.66\n");
    struct Case {
        const char* name;
        bool other_user;
        std::function<bool()> make;
        const char* why;
    } cases[] = {
        {"a link to a settings file", false, [&] { return symlink("../elsewhere.cfg", path) == 0; },
         "it is a symbolic link"},
        {"a link to /dev/zero", false, [&] { return symlink("/dev/zero", path) == 0; }, "it is a symbolic link"},
        {"a FIFO", false, [&] { return mkfifo(path, 0600) == 0; }, "it is not a regular file (a FIFO)"},
        {"a folder", false, [&] { return fs::create_directory(path); }, "it is not a regular file (a folder)"},
        {"a file of another user", true,
         [&] {
             write_file(path, "Debug=3\n");
             return chown(path, kOtherUid, kOtherUid) == 0;
         },
         "it belongs to another user (owner uid 65534, mode 0600)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.other_user && !can_act_as_other_user()) {
            std::printf("skipped (needs root): %s\n", c.name);
            continue;
        }
        std::error_code ec;
        fs::remove(path, ec);
        ASSERT_TRUE(c.make());
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", VP_PLUGINS "cfg.log");
        fs::remove(MP_Global_LogPath, ec);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            MP_log_reset();
            MP_open_log();
            seen.clear();
            int rc = MP_cfg_read_file("MP_read_cfg_file:", path, keep);
            MP_log_reset();
            _exit((rc == -1 ? 100 : 0) + static_cast<int>(seen.size() < 99 ? seen.size() : 99));
        }
        int status = 0;
        bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(ended) << "the read did not end within 5 s";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(100, WEXITSTATUS(status)) << "refused, with no line taken";
        EXPECT_EQ(1u, lines_with(std::string("**Error**MP_read_cfg_file: Failed to open cfg file ") + path + ": " +
                                 c.why + "; the defaults are used")
                          .size())
            << read_file(MP_Global_LogPath);
    }
    std::error_code ec;
    fs::remove(path, ec);
}
#endif

}  // namespace
