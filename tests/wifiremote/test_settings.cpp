// test_settings.cpp - the WifiRemote bridge's defaults, keys, properties requests and first tags.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mp_encoding.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "sample_cfg.h"
#include "scratch.h"
#include "wfr.h"

// These tests never connect; the library's connection loop needs a conversation to link.
int MP_Process_incoming(const char*) { return 0; }

namespace {

const std::string kOpening1 = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Title\"";
const std::string kOpening2 = "{\"Type\":\"properties\",\"Properties\":[\"#Play.Current.Channel\"";
const std::string kEnd = "]}\r\n\r\n";

// Every test starts from the defaults, in a scratch directory of its own, with no log open.
class WfrSettings : public ::testing::Test {
protected:
    void SetUp() override {
        MP_init_globals();
        MP_WifiRemote_defaults();
    }
    void TearDown() override { MP_log_reset(); }

    void read(const std::string& cfg, int seed = 1) {
        write_file(WFR_CFG_PATH, cfg);
        MP_read_cfg_file(seed);
    }
    std::vector<std::string> log_lines(const std::string& part) const {
        std::vector<std::string> found;
        for (const std::string& line : read_lines(MP_Global_LogPath))
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    static const MP_TagEntry* tag(const char* name) {
        for (int i = 1; i <= MP_Numtags; i++)
            if (strcmp(MP_Tags[i].name, name) == 0) return &MP_Tags[i];
        return nullptr;
    }
    ScratchDir dir_;
};

TEST_F(WfrSettings, DefaultsAndAnAbsentFile) {
    EXPECT_STREQ("Vistrel WIFIRemote Interface v", MP_Global_Title);
    EXPECT_STREQ("1.0.6.18", MP_Global_Version);
    EXPECT_STREQ(VP_PLUGINS "Vistrel_WIFIRemote.log", MP_Global_LogPath);
    EXPECT_EQ(0, MP_Global_wAuthenticated);
    EXPECT_EQ(0.0, MP_Global_wPollMark);
    EXPECT_FALSE(MP_log_is_open());
    MP_read_cfg_file(1);
    EXPECT_STREQ("127.0.0.1", MP_Global_IPAddress);
    EXPECT_EQ(8017, MP_Global_Port);
    EXPECT_STREQ("4826", MP_Global_wPasscode);
    EXPECT_STREQ("Guest", MP_Global_wUserName);
    EXPECT_STREQ("mabrotex", MP_Global_wPassword);
    EXPECT_EQ(0, MP_Global_Debug);
    EXPECT_EQ(1u, log_lines("**Error**MP_read_cfg_file: Failed to open cfg file").size());
    // Without properties both requests are their opening and end: the first has 62 characters.
    EXPECT_EQ(kOpening1 + kEnd, MP_Global_wRequest1);
    EXPECT_EQ(62u, strlen(MP_Global_wRequest1));
    EXPECT_EQ(kOpening2 + kEnd, MP_Global_wRequest2);
    ASSERT_EQ(2, MP_Numtags);
    EXPECT_STREQ("Position", MP_Tags[1].name);
    EXPECT_STREQ("Duration", MP_Tags[2].name);
    for (int i = 1; i <= 2; i++) {
        EXPECT_EQ(MP_TYPE_INT, MP_Tags[i].type);
        EXPECT_EQ(0, MP_Tags[i].ival);
        EXPECT_STREQ("0", MP_Tags[i].string);
    }
}

TEST_F(WfrSettings, KeysAreReadByTheCommonSyntax) {
    read("// both bridges\n"
         "Debug=2\n"
         "WifiRemote_IPAddress=10.0.0.7\n"
         "WifiRemote_Port=8080\n"
         "WifiRemote_Passcode=\n"
         "WifiRemote_UserName=my name\n"
         "WifiRemote_Password= secret\n"
         "MPExtended_Port=4000\n"
         " WifiRemote_Port=9001\n"
         "wifiremote_port=9002\n");
    EXPECT_EQ(2, MP_Global_Debug);
    EXPECT_STREQ("10.0.0.7", MP_Global_IPAddress);
    EXPECT_EQ(8080, MP_Global_Port);
    EXPECT_STREQ("4826", MP_Global_wPasscode);
    EXPECT_STREQ("my", MP_Global_wUserName);
    EXPECT_STREQ("secret", MP_Global_wPassword);
    read("WifiRemote_Port=abc\nWifiRemote_Port=70000\n");
    EXPECT_EQ(8080, MP_Global_Port);
}

// The display client's keys share the file: the bridge passes over them without a word.
TEST_F(WfrSettings, DisplayClientKeysAreNotTheBridges) {
    read("LCD_Host=10.9.9.9\nLCD_Port=13666\nLCD_Port=99999999\n");
    EXPECT_STREQ("127.0.0.1", MP_Global_IPAddress);
    EXPECT_EQ(WFR_DEFAULT_PORT, MP_Global_Port);
    EXPECT_TRUE(log_lines("**Error**").empty());
}

// The shipped sample settings file: this bridge reads its own keys from it as the values the
// file shows, which are the built-in defaults, and asks for each of its properties, in file
// order, with a seeded tag for each.
TEST_F(WfrSettings, ShippedSampleIsReadAsItReads) {
    read(sample_cfg_text());
    EXPECT_EQ(sample_cfg_value("Debug="), std::to_string(MP_Global_Debug));
    EXPECT_EQ(sample_cfg_value("WifiRemote_IPAddress="), MP_Global_IPAddress);
    EXPECT_EQ(sample_cfg_value("WifiRemote_Port="), std::to_string(MP_Global_Port));
    EXPECT_EQ(sample_cfg_value("WifiRemote_Passcode="), MP_Global_wPasscode);
    EXPECT_EQ(sample_cfg_value("WifiRemote_UserName="), MP_Global_wUserName);
    EXPECT_EQ(sample_cfg_value("WifiRemote_Password="), MP_Global_wPassword);
    EXPECT_EQ(std::to_string(WFR_DEFAULT_PORT), sample_cfg_value("WifiRemote_Port="));
    EXPECT_EQ(WFR_DEFAULT_PASSCODE, sample_cfg_value("WifiRemote_Passcode="));
    EXPECT_EQ(WFR_DEFAULT_USERNAME, sample_cfg_value("WifiRemote_UserName="));
    EXPECT_EQ(WFR_DEFAULT_PASSWORD, sample_cfg_value("WifiRemote_Password="));
    EXPECT_EQ(MP_TEXT_RAW, MP_Global_TextEncoding);

    std::string asked;
    std::vector<std::string> seeded;
    for (const std::string& line : sample_cfg_setting_lines()) {
        if (line.compare(0, 11, "Properties=") != 0) continue;
        asked += ",\"#" + line.substr(11) + "\"";
        seeded.push_back("Properties." + line.substr(11));
    }
    ASSERT_FALSE(seeded.empty());
    EXPECT_EQ(kOpening1 + asked + kEnd, MP_Global_wRequest1);
    ASSERT_EQ(static_cast<int>(seeded.size()) + 2, MP_Numtags);
    for (size_t i = 0; i < seeded.size(); i++) EXPECT_EQ(seeded[i], MP_Tags[i + 1].name);
    EXPECT_TRUE(log_lines("**Error**").empty());
}

TEST_F(WfrSettings, PasscodeOver15CharactersIsRefused) {
    read("WifiRemote_Passcode=123456789012345\n");
    EXPECT_STREQ("123456789012345", MP_Global_wPasscode);
    read("WifiRemote_Passcode=1234567890123456\n");
    EXPECT_STREQ("123456789012345", MP_Global_wPasscode);
    EXPECT_EQ(1u, log_lines("WifiRemote_Passcode= value of 16 characters is longer than 15").size());
}

// The refusal of an over-long passcode is an error line, written at every debug level: it
// names the key and the lengths but neither the value kept nor the one refused.
TEST_F(WfrSettings, RefusalOfAPasscodeShowsNoValue) {
    testing::internal::CaptureStdout();
    read("WifiRemote_Passcode=K33pM3\n");
    read("WifiRemote_Passcode=R3fus3d000000000\n");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_STREQ("K33pM3", MP_Global_wPasscode);
    EXPECT_EQ(1u, log_lines("**Error**MP_read_cfg_file: WifiRemote_Passcode= value of 16 characters "
                            "is longer than 15").size());
    std::string all = read_file(MP_Global_LogPath) + console;
    for (const char* value : {"K33pM3", "R3fus3d"})
        EXPECT_EQ(std::string::npos, all.find(value)) << value << " reached the log:\n" << all;
}

TEST_F(WfrSettings, PropertiesInFileOrderWithSeededTags) {
    read("Properties=Play.Current.Genre\nProperties=TV.View.title with blank\n");
    EXPECT_EQ(kOpening1 + ",\"#Play.Current.Genre\",\"#TV.View.title with blank\"" + kEnd,
              MP_Global_wRequest1);
    EXPECT_EQ(kOpening2 + kEnd, MP_Global_wRequest2);
    ASSERT_EQ(4, MP_Numtags);
    EXPECT_STREQ("Properties.Play.Current.Genre", MP_Tags[1].name);
    EXPECT_STREQ("Properties.TV.View.title with blank", MP_Tags[2].name);
    EXPECT_EQ(MP_TYPE_TEXT, MP_Tags[1].type);
    EXPECT_EQ(0, MP_Tags[1].ival);
    EXPECT_STREQ("", MP_Tags[1].string);
    EXPECT_STREQ("Position", MP_Tags[3].name);
}

TEST_F(WfrSettings, WithoutSeedThePropertiesAreRequestedButNotStored) {
    read("Properties=Play.Current.Genre\n", 0);
    EXPECT_NE(std::string::npos, std::string(MP_Global_wRequest1).find("\"#Play.Current.Genre\""));
    ASSERT_EQ(2, MP_Numtags);
    EXPECT_STREQ("Position", MP_Tags[1].name);
}

TEST_F(WfrSettings, WindowsLineEndsAreNoPartOfAPropertyName) {
    read("Properties=Play.Current.Plot\r\nWifiRemote_Port=8081\r\n");
    EXPECT_EQ(kOpening1 + ",\"#Play.Current.Plot\"" + kEnd, MP_Global_wRequest1);
    EXPECT_NE(nullptr, tag("Properties.Play.Current.Plot"));
    EXPECT_EQ(8081, MP_Global_Port);
}

TEST_F(WfrSettings, PastFiveHundredCharactersTheSecondRequestTakesOver) {
    // Each property adds 3 + 40 + 1 = 44 characters: after ten the first request is 496
    // characters long, so it still takes an eleventh (540); the twelfth goes to the second.
    std::string cfg;
    std::vector<std::string> names;
    for (int i = 0; i < 13; i++) {
        std::string name = "Prop." + std::to_string(100 + i) + std::string(31, 'x');
        ASSERT_EQ(39u, name.size());
        names.push_back(name + "y");
        cfg += "Properties=" + names.back() + "\n";
    }
    read(cfg);
    std::string first = kOpening1, second = kOpening2;
    for (int i = 0; i < 13; i++) (i < 11 ? first : second) += ",\"#" + names[static_cast<size_t>(i)] + "\"";
    EXPECT_EQ(first + kEnd, MP_Global_wRequest1);
    EXPECT_EQ(second + kEnd, MP_Global_wRequest2);
    EXPECT_GT(strlen(MP_Global_wRequest1), 500u);
    EXPECT_EQ(15, MP_Numtags);
}

TEST_F(WfrSettings, NamesThatCannotBeRequestedOrStoredAreRefused) {
    std::string longest(52, 'n');
    read("Debug=3\n"
         "Properties=" + longest + "\n"
         "Properties=" + longest + "X\n"
         "Properties=\n"
         "Properties=Bad\"Name\n"
         "Properties=Bad\\Name\n");
    EXPECT_EQ(kOpening1 + ",\"#" + longest + "\"" + kEnd, MP_Global_wRequest1);
    EXPECT_NE(nullptr, tag(("Properties." + longest).c_str()));
    EXPECT_EQ(3, MP_Numtags);
    EXPECT_EQ(1u, log_lines("is longer than 52 characters; not requested").size());
    EXPECT_EQ(1u, log_lines("is empty; not requested").size());
    EXPECT_EQ(2u, log_lines("holds a quote, a backslash or a control character; not requested").size());
}

// Names and values from the settings file reach the log and the console escaped, as a
// service's text does: a name with a control sequence, refused or not, and an address.
TEST_F(WfrSettings, TextFromTheFileIsShownEscaped) {
    MP_open_log();
    testing::internal::CaptureStdout();
    read("Debug=3\n"
         "WifiRemote_IPAddress=\x1b]0;owned\x07\n"
         "Properties=Title\x1b[2J\n"
         "Properties=Genre\xc2\x9b" "31m\n");
    std::string console = testing::internal::GetCapturedStdout();
    std::string log = read_file(MP_Global_LogPath);
    EXPECT_EQ(1u, log_lines("Property \"Title\\x1b[2J\" holds a quote, a backslash or a control character").size()) << log;
    EXPECT_EQ(1u, log_lines("Defined  Properties.Genre\\xc2\\x9b31m").size()) << log;
    EXPECT_EQ(1u, log_lines("MP_Global_IPAddress=\\x1b]0;owned\\x07").size()) << log;
    for (const std::string& out : {log, console})
        for (char c : out) {
            unsigned char u = static_cast<unsigned char>(c);
            EXPECT_FALSE(u == 0x1b || u == 0x07 || u == 0x9b) << "a control byte was written";
        }
}

TEST_F(WfrSettings, PropertiesBeyondTheSecondRequestAreRefused) {
    // 52-character names add 56 characters each: the first request takes 8 (56 + 7 * 56 = 448
    // still takes one more), the second (4,096 bytes with its end and terminator) 71 more.
    std::string cfg = "Debug=3\n";
    for (int i = 0; i < 90; i++) {
        std::string n = std::to_string(1000 + i);
        cfg += "Properties=" + n + std::string(52 - n.size(), 'p') + "\n";
    }
    read(cfg);
    size_t second = strlen(MP_Global_wRequest2);
    EXPECT_LE(second, 4095u);
    EXPECT_EQ(kEnd, std::string(MP_Global_wRequest2).substr(second - kEnd.size()));
    EXPECT_EQ(8 + 71 + 2, MP_Numtags);
    EXPECT_EQ(11u, log_lines("does not fit the properties requests; not requested").size());
}

TEST_F(WfrSettings, SettingsLinesAreLoggedAtLevel3) {
    MP_open_log();
    read("Debug=3\nWifiRemote_IPAddress=10.1.2.3\nWifiRemote_Port=4000\nWifiRemote_Passcode=77\n"
         "WifiRemote_UserName=viewer\nWifiRemote_Password=hidden\nProperties=Play.Current.Genre\n");
    std::vector<std::string> texts;
    for (const std::string& line : log_lines(" MP_read_cfg_file: "))
        texts.push_back(line.substr(line.find(": ") + 2));
    const std::vector<std::string> expected = {
        "Defined  Properties.Play.Current.Genre", "MP_Global_IPAddress=10.1.2.3",
        "MP_Global_Port=4000", "MP_Global_wPasscode=77", "MP_Global_wUserName=viewer",
        "MP_Global_wPassword=hidden", "Finished"};
    EXPECT_EQ(expected, texts);
}

TEST_F(WfrSettings, InitialisationRunsOnce) {
    read("WifiRemote_Port=9000\nWifiRemote_UserName=guest\n");
    MP_init_globals();
    EXPECT_EQ(9000, MP_Global_Port);
    EXPECT_STREQ("guest", MP_Global_wUserName);
    EXPECT_EQ(2, MP_Numtags);
}

// Text_Encoding=, shared with the other bridge: read by this one too, the last line winning, and
// a value that names no encoding refused with an error line.
TEST_F(WfrSettings, TextEncodingKey) {
    read("Text_Encoding=Windows-1252\nProperties=Play.Current.Genre\n");
    EXPECT_EQ(MP_TEXT_WINDOWS_1252, MP_Global_TextEncoding);
    MP_WifiRemote_defaults();
    EXPECT_EQ(MP_TEXT_RAW, MP_Global_TextEncoding);
    read("Text_Encoding=ascii\nText_Encoding=UTF-8 \n");
    EXPECT_EQ(MP_TEXT_UTF8, MP_Global_TextEncoding);
    read("Text_Encoding=UTF-16\n");
    EXPECT_EQ(MP_TEXT_RAW, MP_Global_TextEncoding);
    EXPECT_EQ(1u, log_lines("**Error**MP_read_cfg_file: Text_Encoding= value \"UTF-16\" is no text encoding").size());
}

}  // namespace
