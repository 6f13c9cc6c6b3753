// test_settings.cpp - the MPExtended bridge's defaults, settings file, first tags and settings lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "mpx.h"
#include "sample_cfg.h"
#include "scratch.h"

// These tests never connect; the library's connection loop needs a conversation to link.
int MP_Process_incoming(const char*) { return 0; }

namespace {

// Every test starts from the defaults, in a scratch directory of its own, with no log open.
class Settings : public ::testing::Test {
protected:
    // The process's one real initialisation happens first, so that MP_read_cfg_file's own
    // call of it cannot reset what a test has set up (an open log).
    void SetUp() override {
        MP_init_globals();
        MP_Extended_defaults();
    }
    void TearDown() override { MP_log_reset(); }

    void read(const std::string& cfg) {
        write_file(MPX_CFG_PATH, cfg);
        MP_read_cfg_file(1);
    }
    std::vector<std::string> log_lines(const std::string& part) const {
        std::vector<std::string> found;
        for (const std::string& line : read_lines(MP_Global_LogPath))
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    ScratchDir dir_;
};

TEST_F(Settings, AbsentFileLeavesTheDefaultsAndSaysSo) {
    MP_read_cfg_file(1);
    EXPECT_STREQ("127.0.0.1", MP_Global_IPAddress);
    EXPECT_EQ(4322, MP_Global_Port);
    EXPECT_STREQ("admin", MP_Global_mUserName);
    EXPECT_STREQ(MPX_DEFAULT_PASSWORD, MP_Global_mPassword);
    EXPECT_EQ(10, MP_Global_mWait);
    EXPECT_EQ(0, MP_Global_Debug);
    EXPECT_EQ(1u, log_lines("**Error**MP_read_cfg_file: Failed to open cfg file").size());
    // At debug level 0 the error writes out the held-back lines before it.
    EXPECT_EQ(1u, log_lines("MP_read_cfg_file: Started").size());
    EXPECT_EQ(4, MP_Numtags);
}

TEST_F(Settings, DefaultsOfTheProcess) {
    std::string password = MP_Global_mPassword;
    EXPECT_EQ(5u, password.size());
    for (char c : password) EXPECT_TRUE(c >= 'a' && c <= 'z') << password;
    EXPECT_STREQ(VP_PLUGINS "Vistrel_MPExtended.log", MP_Global_LogPath);
    EXPECT_STREQ("Vistrel MPExtended Interface v", MP_Global_Title);
    EXPECT_STREQ("1.0.7.33", MP_Global_Version);
    EXPECT_STREQ("%H:%M %d/%m/%y", MP_Global_DateFormat);
    EXPECT_EQ(0, MP_Global_BarChar);
    EXPECT_EQ(0, MP_Global_Connected);
    EXPECT_FALSE(MP_log_is_open());
    EXPECT_EQ(0, MP_Numtags);
    EXPECT_EQ(0, memcmp(MP_Tags[0].name, "Invalid", 8));
}

TEST_F(Settings, SharedExampleFile) {
    read("// MediaPortal bridges\n"
         "Debug=3\n"
         "MPExtended_IPAddress=192.168.1.20\n"
         "MPExtended_Port=4322\n"
         "MPExtended_UserName=admin\n"
         "MPExtended_Wait=30\n"
         "WifiRemote_Port=8017\n"
         "WifiRemote_IPAddress=10.0.0.1\n");
    EXPECT_EQ(3, MP_Global_Debug);
    EXPECT_STREQ("192.168.1.20", MP_Global_IPAddress);
    EXPECT_EQ(4322, MP_Global_Port);
    EXPECT_STREQ("admin", MP_Global_mUserName);
    EXPECT_EQ(30, MP_Global_mWait);
}

// The sample settings file that ships with the programs: every line it sets is a key of one of
// the bridges, and this bridge reads its own keys from it as the values the file shows, which
// are the built-in defaults, without an error.
TEST_F(Settings, ShippedSampleIsReadAsItReads) {
    const std::vector<std::string> known = {
        "Debug=", "MPExtended_IPAddress=", "MPExtended_Port=", "MPExtended_UserName=",
        "MPExtended_Password=", "MPExtended_Wait=", "WifiRemote_IPAddress=", "WifiRemote_Port=",
        "WifiRemote_Passcode=", "WifiRemote_UserName=", "WifiRemote_Password=", "Properties=",
        "Text_Encoding=", "LCD_Host=", "LCD_Port="};
    std::vector<std::string> lines = sample_cfg_setting_lines();
    ASSERT_GE(lines.size(), 12u);
    for (const std::string& line : lines) {
        bool is_key = false;
        for (const std::string& key : known) is_key = is_key || line.compare(0, key.size(), key) == 0;
        EXPECT_TRUE(is_key) << line;
        EXPECT_LE(line.size(), 127u) << line;
    }
    read(sample_cfg_text());
    EXPECT_EQ(sample_cfg_value("Debug="), std::to_string(MP_Global_Debug));
    EXPECT_EQ(sample_cfg_value("MPExtended_IPAddress="), MP_Global_IPAddress);
    EXPECT_EQ(sample_cfg_value("MPExtended_Port="), std::to_string(MP_Global_Port));
    EXPECT_EQ(sample_cfg_value("MPExtended_UserName="), MP_Global_mUserName);
    EXPECT_EQ(sample_cfg_value("MPExtended_Password="), MP_Global_mPassword);
    EXPECT_EQ(sample_cfg_value("MPExtended_Wait="), std::to_string(MP_Global_mWait));
    EXPECT_EQ("0", sample_cfg_value("Debug="));
    EXPECT_EQ("127.0.0.1", sample_cfg_value("MPExtended_IPAddress="));
    EXPECT_EQ(std::to_string(MPX_DEFAULT_PORT), sample_cfg_value("MPExtended_Port="));
    EXPECT_EQ(MPX_DEFAULT_USERNAME, sample_cfg_value("MPExtended_UserName="));
    EXPECT_EQ(MPX_DEFAULT_PASSWORD, sample_cfg_value("MPExtended_Password="));
    EXPECT_EQ(std::to_string(MPX_DEFAULT_WAIT), sample_cfg_value("MPExtended_Wait="));
    EXPECT_EQ("Raw", sample_cfg_value("Text_Encoding="));
    EXPECT_EQ(MP_TEXT_RAW, MP_Global_TextEncoding);
    EXPECT_TRUE(log_lines("**Error**").empty());
    EXPECT_EQ(4, MP_Numtags);
}

// The display client's keys share the file: the bridge passes over them without a word.
TEST_F(Settings, DisplayClientKeysAreNotTheBridges) {
    read("LCD_Host=10.9.9.9\nLCD_Port=13666\nLCD_Port=99999999\n");
    EXPECT_STREQ("127.0.0.1", MP_Global_IPAddress);
    EXPECT_EQ(4322, MP_Global_Port);
    EXPECT_TRUE(log_lines("**Error**").empty());
}

TEST_F(Settings, ValuesAreReadAsScanfReadsThem) {
    read("MPExtended_UserName= guest\n"
         "MPExtended_Password=my secret\n"
         "MPExtended_Port=9000abc\n"
         "MPExtended_Wait=x\n");
    EXPECT_STREQ("guest", MP_Global_mUserName);
    EXPECT_STREQ("my", MP_Global_mPassword);
    EXPECT_EQ(9000, MP_Global_Port);
    EXPECT_EQ(10, MP_Global_mWait);
}

TEST_F(Settings, EmptyValuesKeepTheSetting) {
    read("MPExtended_UserName=\nMPExtended_IPAddress=   \nMPExtended_Port=\nDebug=-\n");
    EXPECT_STREQ("admin", MP_Global_mUserName);
    EXPECT_STREQ("127.0.0.1", MP_Global_IPAddress);
    EXPECT_EQ(4322, MP_Global_Port);
    EXPECT_EQ(0, MP_Global_Debug);
}

TEST_F(Settings, LinesThatAreNoKeyOfThisBridgeAreIgnored) {
    read("mpextended_port=9000\n"
         " MPExtended_Port=9001\n"
         "\tMPExtended_Port=9002\n"
         "/MPExtended_Port=9003\n"
         "MPExtended_Port =9004\n"
         "MPExtended_Portal=9005\n"
         "\n"
         "\r\n");
    EXPECT_EQ(4322, MP_Global_Port);
}

TEST_F(Settings, LastOccurrenceWins) {
    read("MPExtended_Wait=5\nMPExtended_Wait=20\n");
    EXPECT_EQ(20, MP_Global_mWait);
}

TEST_F(Settings, WindowsLineEndsAndAMissingLastLineEnd) {
    read("MPExtended_UserName=bob\r\nMPExtended_Port=9000\r\nMPExtended_Wait=7");
    EXPECT_STREQ("bob", MP_Global_mUserName);
    EXPECT_EQ(9000, MP_Global_Port);
    EXPECT_EQ(7, MP_Global_mWait);
}

TEST_F(Settings, LongLinesAreTakenIn127CharacterPieces) {
    // The second piece of a long comment begins with a key and counts as a line of its own.
    std::string comment = "/" + std::string(126, 'c');
    read(comment + "MPExtended_Port=7000\n" + "/" + std::string(199, 'd') + "\n");
    EXPECT_EQ(7000, MP_Global_Port);
    // A long value is cut where its piece ends.
    std::string user(200, 'u');
    read("MPExtended_UserName=" + user + "\n");
    EXPECT_EQ(std::string(127 - 20, 'u'), MP_Global_mUserName);
}

TEST_F(Settings, AddressLongerThan27CharactersIsRefused) {
    // At debug level 3 an error line is written once, without the ring before it.
    read("Debug=3\nMPExtended_IPAddress=abcdefghijklmnopqrstuvwxyz0\n");
    EXPECT_STREQ("abcdefghijklmnopqrstuvwxyz0", MP_Global_IPAddress);
    read("MPExtended_IPAddress=server.with.a.rather.long.name\n");
    EXPECT_STREQ("abcdefghijklmnopqrstuvwxyz0", MP_Global_IPAddress);
    EXPECT_EQ(1u, log_lines("**Error**MP_read_cfg_file: MPExtended_IPAddress= value of 30 "
                            "characters is longer than 27; keeping abcdefghijklmnopqrstuvwxyz0")
                      .size());
}

TEST_F(Settings, PortOutsideOneTo65535IsRefused) {
    read("Debug=3\nMPExtended_Port=70000\nMPExtended_Port=0\nMPExtended_Port=-5\n"
         "MPExtended_Port=99999999999999\n");
    EXPECT_EQ(4322, MP_Global_Port);
    EXPECT_EQ(4u, log_lines("MPExtended_Port= value out of range 1-65535; keeping 4322").size());
    read("MPExtended_Port=65535\n");
    EXPECT_EQ(65535, MP_Global_Port);
}

TEST_F(Settings, WaitIsLimitedToADay) {
    read("Debug=3\nMPExtended_Wait=-5\n");
    EXPECT_EQ(0, MP_Global_mWait);
    read("MPExtended_Wait=100000\n");
    EXPECT_EQ(MPX_WAIT_MAX, MP_Global_mWait);
    read("MPExtended_Wait=99999999999999999999\n");
    EXPECT_EQ(MPX_WAIT_MAX, MP_Global_mWait);
    read("MPExtended_Wait=-99999999999999999999\n");
    EXPECT_EQ(0, MP_Global_mWait);
    EXPECT_EQ(2u, log_lines("MPExtended_Wait= value out of range 0-86400; using 0").size());
    read("MPExtended_Wait=0\nMPExtended_Wait=+86400\n");
    EXPECT_EQ(MPX_WAIT_MAX, MP_Global_mWait);
}

TEST_F(Settings, DebugLevelAcceptsAnyIntAndRefusesOverflow) {
    read("Debug=-2\n");
    EXPECT_EQ(-2, MP_Global_Debug);
    read("Debug=12345678901\n");
    EXPECT_EQ(-2, MP_Global_Debug);
}

TEST_F(Settings, StartupTagsAreTheFourSummaryTags) {
    read("Debug=0\n");
    ASSERT_EQ(4, MP_Numtags);
    EXPECT_EQ(0, memcmp(MP_Tags[0].name, "Numtags", 8));
    EXPECT_EQ(4, MP_Tags[0].len);
    const struct {
        const char* name;
        int type;
        int ival;
        const char* text;
    } expected[4] = {{"IsRecording", MP_TYPE_TEXT, 1, "false"},
                     {"NRecordings", MP_TYPE_TEXT, 0, "None"},
                     {"Recordings", MP_TYPE_TEXT, 0, "None"},
                     {"IRecordings", MP_TYPE_INT, 0, "0"}};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(expected[i].name, MP_Tags[i + 1].name);
        EXPECT_EQ(expected[i].type, MP_Tags[i + 1].type) << expected[i].name;
        EXPECT_EQ(expected[i].ival, MP_Tags[i + 1].ival) << expected[i].name;
        EXPECT_STREQ(expected[i].text, MP_Tags[i + 1].string);
    }
}

TEST_F(Settings, SettingsLinesAreLoggedAtLevel3) {
    MP_open_log();
    read("Debug=3\nMPExtended_IPAddress=10.1.2.3\nMPExtended_Port=4000\n"
         "MPExtended_UserName=viewer\nMPExtended_Password=hidden\nMPExtended_Wait=15\n");
    std::vector<std::string> lines = log_lines(" MP_read_cfg_file: ");
    std::vector<std::string> texts;
    for (const std::string& line : lines) texts.push_back(line.substr(line.find(": ") + 2));
    const std::vector<std::string> expected = {
        "MP_Global_IPAddress=10.1.2.3", "MP_Global_Port[0]=4000", "MP_Global_mUserName=viewer",
        "MP_Global_mPassword=hidden",   "MP_Global_mWait=15",     "Finished"};
    // "Started" and "File Opened" fall while the level is still 0 and stay in the ring.
    EXPECT_EQ(expected, texts);
}

TEST_F(Settings, InitialisationRunsOnce) {
    MP_init_globals();
    read("MPExtended_Port=9000\nMPExtended_UserName=guest\nDebug=2\n");
    MP_init_globals();
    EXPECT_EQ(9000, MP_Global_Port);
    EXPECT_STREQ("guest", MP_Global_mUserName);
    EXPECT_EQ(2, MP_Global_Debug);
    EXPECT_EQ(4, MP_Numtags);
    EXPECT_STREQ("IsRecording", MP_Tags[1].name);
}

// Text_Encoding=: the encoding of the stored texts, in any case; the last line wins; anything
// else is refused with an error line that names it, and leaves Raw. The encoding in force is
// logged with the settings unless it is Raw.
TEST_F(Settings, TextEncodingKey) {
    struct Case {
        const char* cfg;
        int expected;
        const char* error;
    };
    const Case cases[] = {
        {"", MP_TEXT_RAW, nullptr},
        {"Text_Encoding=Windows-1252\r\n", MP_TEXT_WINDOWS_1252, nullptr},
        {"Text_Encoding=utf-8\n", MP_TEXT_UTF8, nullptr},
        {"Text_Encoding=ASCII\nText_Encoding=raw\n", MP_TEXT_RAW, nullptr},
        {"Text_Encoding=UTF-8\nText_Encoding=Latin-1\n", MP_TEXT_RAW,
         "Text_Encoding= value \"Latin-1\" is no text encoding (Raw, Windows-1252, ASCII or UTF-8); using Raw"},
        {" Text_Encoding=UTF-8\n", MP_TEXT_RAW, nullptr},  // an indented line is no setting
    };
    for (const Case& c : cases) {
        MP_Extended_defaults();
        remove(MP_Global_LogPath);
        MP_open_log();
        read(std::string("Debug=3\n") + c.cfg);
        EXPECT_EQ(c.expected, MP_Global_TextEncoding) << c.cfg;
        std::vector<std::string> errors = log_lines("**Error**MP_read_cfg_file: ");
        if (c.error) {
            ASSERT_EQ(1u, errors.size()) << c.cfg;
            EXPECT_NE(std::string::npos, errors[0].find(c.error)) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty()) << c.cfg;
        }
        EXPECT_EQ(c.expected == MP_TEXT_RAW ? 0u : 1u,
                  log_lines(std::string("MP_read_cfg_file: MP_Global_TextEncoding=") +
                            MP_TEXT_ENCODING_NAMES[c.expected]).size())
            << c.cfg;
        MP_log_reset();
    }
}

}  // namespace
