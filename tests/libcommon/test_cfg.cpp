// test_cfg.cpp - the settings file's reading: the rights of a file that holds passwords.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "mp_cfg.h"
#include "mp_log.h"
#include "scratch.h"
#include "vp.h"

// The connection loop of the library that this test links needs a conversation to name.
int MP_Process_incoming(const char*) { return 0; }

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

}  // namespace
