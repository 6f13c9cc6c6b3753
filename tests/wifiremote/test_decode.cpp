// test_decode.cpp - the WifiRemote bridge's identify message, block splitting, Type actions and poll.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mp_text.h"
#include "mp_encoding.h"
#include "wfr_fixture.h"

int MP_Process_incoming(const char*) { return 0; }

namespace {

const std::string kHead = "{\"Type\":\"identify\",\"Name\":\"HOST\",\"Application\":\"Vistrelbox MP Client\","
                          "\"Version\":\"1.0.6.18\",\"AutologinKey\":null,\"Authenticate\":";

std::string identify(char method, const char* computer = "HOST") {
    char out[WFR_IDENTIFY_SIZE];
    int n = MP_WifiRemote_identify(method, computer, out, sizeof out);
    if (n < 0) return "<none>";
    EXPECT_EQ(static_cast<size_t>(n), strlen(out));
    return out;
}

TEST(WfrIdentify, FourVariantsByteForByte) {
    MP_init_globals();
    MP_WifiRemote_defaults();
    EXPECT_EQ(kHead + "null}\r\n\r\n", identify('0'));
    EXPECT_EQ(kHead + "{ \"AuthMethod\":\"userpass\",\"Password\":\"mabrotex\",\"User\":\"Guest\"}}\r\n\r\n",
              identify('1'));
    EXPECT_EQ(kHead + "{ \"AuthMethod\":\"passcode\",\"PassCode\":\"4826\"}}\r\n\r\n", identify('2'));
    EXPECT_EQ(kHead + "{ \"AuthMethod\":\"userpass\",\"Password\":\"mabrotex\",\"User\":\"Guest\","
                      "\"passcode\":\"4826\"}}\r\n\r\n",
              identify('3'));
    for (char other : {' ', '4', '\0', 'a'}) EXPECT_EQ("<none>", identify(other)) << int(other);
}

TEST(WfrIdentify, InsertedValuesAreEscapedForJson) {
    MP_init_globals();
    MP_WifiRemote_defaults();
    strcpy(MP_Global_wPassword, "pa\"ss\\word");
    strcpy(MP_Global_wUserName, "a\\b");
    strcpy(MP_Global_wPasscode, "1\"2\x01");
    std::string head = kHead;
    head.replace(head.find("HOST"), 4, "PC\\\"1");
    EXPECT_EQ(head + "{ \"AuthMethod\":\"userpass\",\"Password\":\"pa\\\"ss\\\\word\",\"User\":\"a\\\\b\","
                     "\"passcode\":\"1\\\"2\\u0001\"}}\r\n\r\n",
              identify('3', "PC\"1"));
}

TEST_F(Wfr, WelcomeIsAnsweredByTheVariantItNames) {
    decode("{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\":2}\r\n");
    char name[256];
    ASSERT_EQ(0, vp_computer_name(name, sizeof name));
    std::string expected = kHead + "{ \"AuthMethod\":\"passcode\",\"PassCode\":\"4826\"}}\r\n\r\n";
    expected.replace(expected.find("HOST"), 4, name);
    EXPECT_EQ(expected, sent());
    // Seven letters decide: a longer type is a welcome, six letters are not.
    decode("{\"Type\":\"welcomeback\",\"AuthMethod\":0}\r\n{\"Type\":\"welcom\",\"AuthMethod\":0}\r\n");
    EXPECT_EQ(expected.substr(0, expected.find("Authenticate") + 14) + "null}\r\n\r\n", sent());
}

TEST_F(Wfr, WelcomeWithoutAKnownAuthMethodGetsNoIdentify) {
    decode("{\"Type\":\"welcome\",\"AuthMethod\": 2}\r\n"
           "{\"Type\":\"welcome\",\"Server_Version\":14}\r\n"
           "{\"Type\":\"welcome\",\"AuthMethod\":7}\r\n");
    EXPECT_EQ("", sent());
    EXPECT_EQ(3, log_count("Welcome without an AuthMethod of 0 to 3; no identify sent"));
    // Its members are flattened all the same.
    EXPECT_EQ(7, MP_itag("AuthMethod"));
}

TEST_F(Wfr, AuthenticationResponseSendsThePropertiesRequests) {
    EXPECT_EQ(0, MP_Global_wAuthenticated);
    decode("{\"Type\":\"authenticationresponse\",\"Success\":false,\"ErrorMessage\":\"Login failed\"}\r\n");
    // A refused authentication is treated as an accepted one; the short first request goes alone.
    EXPECT_EQ(std::string(MP_Global_wRequest1), sent());
    EXPECT_EQ(1, MP_Global_wAuthenticated);
    std::string cfg;
    for (int i = 0; i < 12; i++) cfg += "Properties=Play.Current.Item" + std::to_string(10 + i) + std::string(20, 'z') + "\n";
    write_file(WFR_CFG_PATH, cfg);
    MP_read_cfg_file(1);
    ASSERT_GT(strlen(MP_Global_wRequest1), 500u);
    decode("{\"Type\":\"authenticationresponse\",\"Success\":true}\r\n");
    EXPECT_EQ(std::string(MP_Global_wRequest1) + MP_Global_wRequest2, sent());
}

TEST_F(Wfr, LinesOfABlockAreHandledInOrderWhateverLeadsThem) {
    decode("{\"Type\":\"status\",\"Title\":\"One\"}\r\n{\"Type\":\"nowplaying\",\"Title\":\"Two\",\"Position\":12}\r\n");
    EXPECT_EQ("Two", text_of("Title"));
    EXPECT_EQ(12, MP_itag("Position"));
    int lines = log_count("Now decoding line");
    decode("\r\n\r\n{\"Type\":\"status\",\"Title\":\"Three\"}\r\n\n\r{\"Type\":\"status\",\"Title\":\"Four\"}");
    EXPECT_EQ("Four", text_of("Title"));
    EXPECT_EQ(lines + 2, log_count("Now decoding line"));
    EXPECT_EQ(0, log_count("**Error**"));
}

TEST_F(Wfr, AMessageCutByAReceiveIsJoinedWithItsRest) {
    decode("{\"Type\":\"status\",\"Title\":\"Even");
    EXPECT_EQ("", text_of("Title"));
    decode("ing News\",\"Volume\":42}\r\n{\"Type\":\"welc");
    EXPECT_EQ("Evening News", text_of("Title"));
    EXPECT_EQ(42, MP_itag("Volume"));
    EXPECT_EQ("", sent());
    decode("ome\",\"AuthMethod\":0}\r\n");
    EXPECT_NE(std::string::npos, sent().find("\"Authenticate\":null}\r\n\r\n"));
    EXPECT_EQ(0, log_count("**Error**"));
    // A held line does not outlive its connection.
    decode("{\"Type\":\"status\",\"Title\":\"Lost");
    MP_WifiRemote_Decode_reset();
    decode("\",\"X\":1}\r\n");
    EXPECT_EQ("Evening News", text_of("Title"));
}

// A stray byte that opens a multi-byte character right before a message, or a title in
// another encoding, must not take the message's brace or quotes with it when the block's
// characters are filtered: the members would be stored under wrong names for good.
TEST_F(Wfr, AStrayLeadByteKeepsTheMessageItPrecedesWhole) {
    std::string block = "\xC3{\"Type\":\"nowplaying\",\"Speed\":1,\"MediaInfo\":{\"ChannelName\":\"BBC One\","
                        "\"ChannelId\":12},\"Show\":\"Caf\xE9\",\"Volume\":40}\r\n";
    std::vector<char> buf(block.begin(), block.end());
    buf.push_back('\0');
    remove_utf8(buf.data());
    decode(buf.data());
    EXPECT_EQ("BBC One", text_of("MediaInfo.ChannelName"));
    EXPECT_EQ(12, MP_itag("MediaInfo.ChannelId"));
    EXPECT_EQ("", text_of("ChannelName"));
    EXPECT_EQ("", text_of("ChannelId"));
    EXPECT_EQ("Caf ", text_of("Show"));
    EXPECT_EQ(40, MP_itag("Volume"));
}

TEST_F(Wfr, ACompleteObjectWithoutLineEndIsHandledAtOnce) {
    decode("{\"Type\":\"status\",\"Title\":\"a {\\\" b\",\"Y\":5}");
    EXPECT_EQ(5, MP_itag("Y"));
    decode("{\"Type\":\"welcome\",\"AuthMethod\":0}");
    EXPECT_NE(std::string::npos, sent().find("\"Type\":\"identify\""));
}

TEST_F(Wfr, ALineLongerThanTheReceiveBufferIsCutAndItsRestDropped) {
    std::string head = "{\"Type\":\"status\",\"Kept\":7,\"Long\":\"";
    decode(head + std::string(WFR_RECEIVE_CAPACITY - head.size(), 'a'));
    decode(std::string(5000, 'a') + "\",\"Lost\":1}\r\n{\"Type\":\"status\",\"W\":3}\r\n");
    EXPECT_EQ(1, log_count("Line longer than 65536 characters; the rest of it is dropped"));
    // The cut head is flattened up to its unfinished string.
    EXPECT_EQ(7, MP_itag("Kept"));
    EXPECT_EQ(0, MP_itag("Lost"));
    EXPECT_EQ(3, MP_itag("W"));
}

TEST_F(Wfr, ALineWhoseFirstMemberIsNotTypeIsFlattenedButNotActedOn) {
    decode("{\"AuthMethod\":1,\"Type\":\"welcome\"}\r\nno json here\r\n{\"Type\":\"x\r\n");
    EXPECT_EQ(1, log_count("**** Unhandled Message does not contain type"));
    EXPECT_EQ(1, MP_itag("AuthMethod"));
    EXPECT_EQ("", sent());
}

// A stray line end inside a message leaves a tail that is no message: its nested objects must
// not be stored under prefix-less names, which would stay in the table for good. A message
// behind stray bytes on its line is still read.
TEST_F(Wfr, TheTailOfACutMessageStoresNothing) {
    decode("{\"Type\":\"nowplaying\",\"Speed\":1,\"Medi\r\naInfo\":{\"MediaType\":\"tv\",\"ChannelId\":12},"
           "\"NextProgram\":{\"Id\":4712}}\r\n");
    EXPECT_EQ("", text_of("MediaType"));
    EXPECT_EQ("", text_of("ChannelId"));
    EXPECT_EQ("", text_of("Id"));
    EXPECT_EQ(1, MP_itag("Speed"));
    EXPECT_EQ(1, log_count("**** Unhandled Line is not a message; nothing of it is stored"));
    decode("\x01junk{\"Type\":\"status\",\"Volume\":40}\r\n");
    EXPECT_EQ(40, MP_itag("Volume"));
    EXPECT_EQ(1, log_count("**** Unhandled Line is not a message; nothing of it is stored"));
}

TEST_F(Wfr, AnOverlongTypeIsCutAndStillActedOnByItsBeginning) {
    decode("{\"Type\":\"welcome" + std::string(5000, 'x') + "\",\"AuthMethod\":0}\r\n");
    EXPECT_EQ(1, log_count("Type value of 5007 characters cut to 4095"));
    EXPECT_NE(std::string::npos, sent().find("\"Type\":\"identify\""));
}

TEST_F(Wfr, PollRequestsGoOutFiveWholeSecondsApartOnceAuthenticated) {
    const std::string round = std::string(WFR_REQUEST_STATUS) + WFR_REQUEST_NOWPLAYING;
    EXPECT_EQ(28u, strlen(WFR_REQUEST_STATUS));
    EXPECT_EQ(32u, strlen(WFR_REQUEST_NOWPLAYING));
    MP_poll_requests_at(100.0);  // only starts the clock
    MP_poll_requests_at(105.5);  // due, but not authenticated: the mark moves on
    EXPECT_EQ("", sent());
    MP_Global_wAuthenticated = 1;
    MP_poll_requests_at(110.4);
    EXPECT_EQ("", sent());
    MP_poll_requests_at(110.5);
    EXPECT_EQ(round, sent());
    MP_poll_requests_at(115.49);
    EXPECT_EQ("", sent());
    MP_poll_requests_at(117.0);
    EXPECT_EQ(round, sent());
    // Not connected: nothing goes out, and the round counts as done.
    MP_Global_Connected = 0;
    MP_poll_requests_at(122.0);
    MP_Global_Connected = 1;
    MP_poll_requests_at(126.9);
    EXPECT_EQ("", sent());
}

// ---------------------------------------------------------------------------------------------
// Credentials below debug level 3, service text in the log, an identify that cannot fit.

// A welcome that asks for the user name, password and passcode, then a line that is no
// message: the error writes out the held-back lines at debug level 0, among them the settings
// lines and the identify that was sent. None of the three values may reach the log.
TEST_F(Wfr, BelowDebugLevel3TheCredentialsStayOutOfTheLog) {
    MP_Global_Debug = 0;
    write_file(WFR_CFG_PATH, "WifiRemote_Passcode=P4ssc0de\nWifiRemote_UserName=viewer\n"
                             "WifiRemote_Password=Sesame42\n");
    testing::internal::CaptureStdout();
    MP_read_cfg_file(1);
    ASSERT_EQ(0, MP_Global_Debug);
    decode("{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\":3}\r\nnot a message\r\n");
    std::string console = testing::internal::GetCapturedStdout();
    std::string identify = sent();
    EXPECT_NE(std::string::npos, identify.find("\"Password\":\"Sesame42\",\"User\":\"viewer\","
                                               "\"passcode\":\"P4ssc0de\"}}\r\n\r\n"));
    EXPECT_EQ(1, log_count("**** Unhandled Line is not a message; nothing of it is stored"));
    EXPECT_LE(1, log_count("MP_read_cfg_file: Started"));  // the ring was written out
    std::string all = read_file(MP_Global_LogPath) + console;
    for (const char* secret : {"P4ssc0de", "viewer", "Sesame42"})
        EXPECT_EQ(std::string::npos, all.find(secret)) << secret << " reached the log:\n" << all;
}

// A plug-in that sends the identify message back: at debug level 1 every line received is
// written to the console and the log. Neither the password, as set and as the message carries
// it (its quote escaped), nor the passcode may show there; the user name is no secret.
TEST_F(Wfr, CredentialsThatThePlugInSendsBackAreRedacted) {
    write_file(WFR_CFG_PATH, "Debug=1\nWifiRemote_Passcode=P4ssc0de\nWifiRemote_UserName=viewer\n"
                             "WifiRemote_Password=Ses\"ame42\n");
    testing::internal::CaptureStdout();
    MP_read_cfg_file(1);
    decode("{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\":3}\r\n");
    std::string identify = sent();
    decode("{\"Type\":\"error\",\"You sent\":" + identify.substr(0, identify.find("\r\n")) + "}\r\n");
    std::string console = testing::internal::GetCapturedStdout();
    ASSERT_EQ(1, MP_Global_Debug);
    ASSERT_NE(std::string::npos, identify.find("\"Password\":\"Ses\\\"ame42\",\"User\":\"viewer\""));
    std::string log = read_file(MP_Global_LogPath);
    EXPECT_NE(std::string::npos, log.find("\"Password\":\"***\",\"User\":\"viewer\",\"passcode\":\"***\"")) << log;
    EXPECT_NE(std::string::npos, console.find("\"Password\":\"***\",\"User\":\"viewer\",\"passcode\":\"***\""));
    for (const std::string& out : {log, console}) {
        EXPECT_EQ(std::string::npos, out.find("P4ssc0de")) << out;
        EXPECT_EQ(std::string::npos, out.find("ame42")) << out;
    }
}

// A password with characters beyond ASCII comes back in the form the receive gives it in each
// encoding (a blank or a token for each such character); that form is kept out of the log too.
TEST_F(Wfr, CredentialsBeyondAsciiSentBackAreRedactedInEveryEncoding) {
    for (const char* encoding : {"Raw", "Windows-1252", "ASCII", "UTF-8"}) {
        SCOPED_TRACE(encoding);
        write_file(WFR_CFG_PATH, std::string("Debug=1\nText_Encoding=") + encoding +
                                     "\nWifiRemote_Passcode=P\xc3\xa4ss\xe2\x82\xac" "0de\n"
                                     "WifiRemote_UserName=viewer\nWifiRemote_Password=S\xc3\xa9same42\n");
        testing::internal::CaptureStdout();
        MP_read_cfg_file(1);
        decode("{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\":3}\r\n");
        std::string identify = sent();
        std::string echo = "{\"Type\":\"error\",\"You sent\":" + identify.substr(0, identify.find("\r\n")) + "}\r\n";
        int room = 0;
        char* into = MP_WifiRemote_receive_room(&room);
        ASSERT_LE(echo.size(), static_cast<size_t>(room));
        memcpy(into, echo.data(), echo.size());
        char why[256];
        EXPECT_EQ(WFR_GO_ON, MP_WifiRemote_received(kTag, static_cast<int>(echo.size()), why, sizeof why));
        std::string console = testing::internal::GetCapturedStdout();
        ASSERT_NE(std::string::npos, identify.find("S\xc3\xa9same42"));
        std::string log = read_file(MP_Global_LogPath);
        EXPECT_NE(std::string::npos, log.find("\"Password\":\"***\",\"User\":\"viewer\",\"passcode\":\"***\"")) << log;
        for (const std::string& out : {log, console}) {
            EXPECT_EQ(std::string::npos, out.find("same42")) << out;
            EXPECT_EQ(std::string::npos, out.find("0de\"")) << out;
        }
    }
    MP_Global_TextEncoding = MP_TEXT_RAW;
}

// Lines, Types and the rest of a message come from the plug-in: their control bytes and C1
// controls, raw and in UTF-8, are shown escaped, so that nothing the plug-in sends reaches a
// terminal as a control. (Line ends split the block into lines before anything is logged.)
TEST_F(Wfr, ServiceTextIsLoggedWithItsControlBytesEscaped) {
    decode("{\"Type\":\"st\x1b[2Jatus\",\"Title\":\"a\x1b]0;x\x07" "b\x9b" "31mc\xc2\x9b" "2Jd\xc2\xa0" "e\x7f\"}\r\n");
    std::string log = read_file(MP_Global_LogPath);
    EXPECT_NE(std::string::npos,
              log.find("TCP[Wifi]: {\"Type\":\"st\\x1b[2Jatus\",\"Title\":\"a\\x1b]0;x\\x07b\\x9b31mc\\xc2\\x9b2Jd\xc2\xa0"
                       "e\\x7f\"}"))
        << log;
    EXPECT_NE(std::string::npos, log.find(" st\\x1b[2Jatus ,\"Title\":\"a\\x1b]0;x\\x07b")) << log;
    // Every line, the tag store's ("put_tag") among them.
    EXPECT_NE(std::string::npos, log.find(" put_tag entry=")) << log;
    int unsafe = 0;
    for (const std::string& line : read_lines(MP_Global_LogPath)) {
        for (char c : line) {
            unsigned char u = static_cast<unsigned char>(c);
            unsafe += u < 0x20 || u == 0x7f || (u >= 0x80 && u <= 0x9f);
        }
    }
    EXPECT_EQ(0, unsafe) << log;
    // The tags keep the bytes as they came.
    EXPECT_EQ("a\x1b]0;x\x07" "b\x9b" "31mc\xc2\x9b" "2Jd\xc2\xa0" "e\x7f", text_of("Title"));
}

// Escaping may make a value up to six times longer. An identify message that no longer fits
// its buffer is not sent cut: nothing is sent, and the error names the setting, not its value.
TEST_F(Wfr, AnIdentifyThatCannotFitIsNotSent) {
    strcpy(MP_Global_wPassword, "pw");
    strcpy(MP_Global_wUserName, "u");
    char out[WFR_IDENTIFY_SIZE];
    int base = MP_WifiRemote_identify('1', "HOST", out, sizeof out);
    ASSERT_GT(base, 0);
    // The escaped password and user name (six characters for each control character) fill
    // the message to the last byte that the buffer holds beside its terminator.
    int room = WFR_IDENTIFY_SIZE - 1 - (base - 3);
    std::string password(255, '\x01');
    int rest = room - 6 * 255;
    int controls = (rest - 10) / 6;
    std::string user = std::string(static_cast<size_t>(controls), '\x02') +
                       std::string(static_cast<size_t>(rest - 6 * controls), 'U');
    ASSERT_LT(user.size(), sizeof MP_Global_wUserName - 8);
    strcpy(MP_Global_wPassword, password.c_str());
    strcpy(MP_Global_wUserName, user.c_str());
    EXPECT_EQ(WFR_IDENTIFY_SIZE - 1, MP_WifiRemote_identify('1', "HOST", out, sizeof out));
    EXPECT_EQ("\"}}\r\n\r\n", std::string(out).substr(WFR_IDENTIFY_SIZE - 1 - 7));

    // One character more does not fit: nothing is built, and a welcome gets no identify.
    strcat(MP_Global_wUserName, "U");
    EXPECT_LT(MP_WifiRemote_identify('1', "HOST", out, sizeof out), 0);
    // Some more, whatever the length of this machine's own name.
    strcat(MP_Global_wUserName, "UUUUUUU");
    // Behind the welcome in the same block, a message of a conversation that has ended.
    decode("{\"Type\":\"welcome\",\"AuthMethod\":1}\r\n{\"Type\":\"status\",\"Title\":\"After\"}\r\n");
    // The plug-in can tell nothing to a bridge that did not identify itself: the decoder gives
    // the connection up with the status that names the setting, so that the conversation never
    // reports success, and decodes nothing behind the welcome; the connection itself is the
    // conversation's to end.
    EXPECT_EQ(WFR_GIVE_UP, outcome_);
    EXPECT_EQ("Identify not sent: WifiRemote_UserName too long", why_);
    EXPECT_EQ(1, MP_Global_Connected);
    EXPECT_EQ(MP_get_tag("Title", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ("", sent());
    EXPECT_EQ(1, log_count("WifiRemote_UserName= is too long"));
    EXPECT_EQ(1, log_count("no identify sent, the connection is given up"));
    EXPECT_EQ(0, log_count("UUUUUUUU"));
    // A welcome that asks for the passcode only is answered.
    decode("{\"Type\":\"welcome\",\"AuthMethod\":2}\r\n");
    EXPECT_NE(std::string::npos, sent().find("\"PassCode\":\"4826\"}}\r\n\r\n"));
}

TEST(WfrPlatform, ComputerNameIsTerminatedOrRefused) {
    char name[256];
    ASSERT_EQ(0, vp_computer_name(name, sizeof name));
    EXPECT_GT(strlen(name), 0u);
    char tiny[1];
    EXPECT_EQ(-1, vp_computer_name(tiny, sizeof tiny));
    EXPECT_EQ('\0', tiny[0]);
}

}  // namespace
