// test_settings.cpp - where LCDd is: LCD_Host= and LCD_Port= of the shared settings file, the command line over them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lcd.h"
#include "sample_cfg.h"
#include "scratch.h"

namespace {

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        lcd_settings = LcdSettings{};
        MP_Global_Debug = 0;
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, VP_PLUGINS "lcd_test.log");
        MP_open_log();
    }
    void TearDown() override { MP_log_reset(); }
    // The options as a command line gives them; the exit the program would take.
    int options(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
        args.insert(args.begin(), "vistrel_lcd");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        FILE* o = tmpfile();
        FILE* e = tmpfile();
        int rc = lcd_options(static_cast<int>(argv.size()), argv.data(), o, e);
        if (out) *out = contents(o);
        if (err) *err = contents(e);
        fclose(o);
        fclose(e);
        return rc;
    }
    static std::string contents(FILE* f) {
        std::string s;
        rewind(f);
        for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
        return s;
    }
    std::vector<std::string> errors() const {
        std::vector<std::string> found;
        for (const std::string& l : read_lines(VP_PLUGINS "lcd_test.log"))
            if (l.find("**Error**") != std::string::npos) found.push_back(l);
        return found;
    }
    ScratchDir dir_;
};

TEST_F(Settings, DefaultsWithoutASettingsFile) {
    ASSERT_EQ(0, options({}));
    lcd_read_cfg(lcd_settings.cfg_path);
    EXPECT_STREQ("127.0.0.1", lcd_settings.host);
    EXPECT_EQ(13666, lcd_settings.port);
    EXPECT_STREQ(VP_PLUGINS "lcd.layout", lcd_settings.layout_path);
    EXPECT_TRUE(errors().empty()) << "no settings file is no error for a display client";
}

TEST_F(Settings, KeysOfTheSharedFileAmongTheBridgesOwn) {
    write_file(VP_PLUGINS "MP.cfg", "// all three programs\nDebug=2\nMPExtended_Port=4322\nLCD_Host=kitchen-pi\n"
                                    "LCD_Port=13667\nWifiRemote_Port=8017\n LCD_Port=1\nlcd_port=2\n");
    ASSERT_EQ(0, options({}));
    lcd_read_cfg(lcd_settings.cfg_path);
    EXPECT_STREQ("kitchen-pi", lcd_settings.host);
    EXPECT_EQ(13667, lcd_settings.port);
    EXPECT_EQ(2, MP_Global_Debug);
    EXPECT_TRUE(errors().empty());
}

// The shipped sample holds this program's keys at their defaults, among the bridges' own.
TEST_F(Settings, ShippedSampleIsReadAsItReads) {
    write_file(VP_PLUGINS "MP.cfg", sample_cfg_text());
    ASSERT_EQ(0, options({}));
    lcd_read_cfg(lcd_settings.cfg_path);
    EXPECT_EQ(LCD_DEFAULT_HOST, sample_cfg_value("LCD_Host="));
    EXPECT_EQ(std::to_string(LCD_DEFAULT_PORT), sample_cfg_value("LCD_Port="));
    EXPECT_STREQ(LCD_DEFAULT_HOST, lcd_settings.host);
    EXPECT_EQ(LCD_DEFAULT_PORT, lcd_settings.port);
    EXPECT_TRUE(errors().empty());
}

TEST_F(Settings, ValuesThatWouldConnectSomewhereElseAreRefused) {
    struct Case {
        std::string line;
        const char* error;
    } cases[] = {
        {"LCD_Port=70000", "LCD_Port= value out of range 1-65535; keeping 13666"},
        {"LCD_Port=0", "LCD_Port= value out of range 1-65535; keeping 13666"},
        {"LCD_Port=99999999999", "LCD_Port= value out of range 1-65535; keeping 13666"},
        {"LCD_Host=" + std::string(64, 'h'), "LCD_Host= value of 64 characters is longer than 63; keeping 127.0.0.1"},
        // The reader takes 127 characters of a line at a time: a longer name is refused, not cut.
        {"LCD_Host=" + std::string(300, 'h'), "LCD_Host= value of 118 characters is longer than 63"},
        {"LCD_Host=lcd\x1b]0;owned\x07", "LCD_Host= value holds characters that no host name has; keeping 127.0.0.1"},
        {"LCD_Host=a/b", "LCD_Host= value holds characters that no host name has"},
        {"LCD_Port=abc", nullptr},
        {"LCD_Host=", nullptr},
    };
    for (const Case& c : cases) {
        lcd_settings = LcdSettings{};
        MP_log_reset();
        remove(VP_PLUGINS "lcd_test.log");
        MP_open_log();
        write_file(VP_PLUGINS "MP.cfg", c.line + "\n");
        lcd_read_cfg(lcd_settings.cfg_path);
        EXPECT_EQ(13666, lcd_settings.port) << c.line;
        EXPECT_STREQ("127.0.0.1", lcd_settings.host) << c.line;
        if (c.error) {
            ASSERT_EQ(1u, errors().size()) << c.line;
            EXPECT_NE(std::string::npos, errors()[0].find(c.error)) << errors()[0];
        }
    }
}

TEST_F(Settings, CommandLineWinsOverTheFile) {
    write_file("other.cfg", "LCD_Host=10.0.0.9\nLCD_Port=2000\n");
    write_file(VP_PLUGINS "MP.cfg", "LCD_Host=ignored\n");
    ASSERT_EQ(0, options({"--config", "other.cfg", "--port", "14000", "--layout", "my.layout"}));
    lcd_read_cfg(lcd_settings.cfg_path);
    EXPECT_STREQ("10.0.0.9", lcd_settings.host);
    EXPECT_EQ(14000, lcd_settings.port);
    EXPECT_STREQ("my.layout", lcd_settings.layout_path);
    ASSERT_EQ(0, options({"--host", "lcd.local"}));
    lcd_read_cfg("other.cfg");
    EXPECT_STREQ("lcd.local", lcd_settings.host);
    EXPECT_EQ(2000, lcd_settings.port);
}

TEST_F(Settings, WrongOptionsEndWithTheReasonAndHelpWithTheUsage) {
    struct Case {
        std::vector<std::string> args;
        int rc;
        const char* says;
    } cases[] = {
        {{"--port", "0"}, 2, "--port takes a port number from 1 to 65535"},
        {{"--port", "65536"}, 2, "--port takes a port number"},
        {{"--port", "12ab"}, 2, "--port takes a port number"},
        {{"--port"}, 2, "unknown option --port"},
        {{"--host", "two words"}, 2, "--host takes a host name"},
        {{"--host", "lcd\x1b[2J"}, 2, "--host takes a host name"},
        {{"--host", std::string(64, 'h')}, 2, "--host takes a host name"},
        {{"--host", ""}, 2, "--host takes a host name"},
        {{"--layout", ""}, 2, "--layout takes a file name"},
        {{"--colour", "red"}, 2, "unknown option --colour"},
        {{"extra"}, 2, "unknown option extra"},
    };
    for (const Case& c : cases) {
        std::string out, err;
        EXPECT_EQ(c.rc, options(c.args, &out, &err)) << c.says;
        EXPECT_NE(std::string::npos, err.find(c.says)) << err;
        EXPECT_TRUE(out.empty());
    }
    std::string out;
    EXPECT_EQ(1, options({"--port", "1", "--help"}, &out));
    EXPECT_EQ(0u, out.find("Usage: vistrel_lcd [--host HOST] [--port N]"));
}

}  // namespace
