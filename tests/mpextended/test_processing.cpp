// test_processing.cpp - the MPExtended bridge's framing, recording derivation, channel answers and requests, in process.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "mp_log.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mpx.h"
#include "scratch.h"
#include "vp.h"

namespace {

// A JSON date of a time some seconds from now.
std::string date_from_now(long long seconds) {
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    return "\"\\/Date(" + std::to_string((static_cast<long long>(now) + seconds) * 1000) + "+0100)\\/\"";
}

// One recording object, "Description" first and "Title" last as the service sends them.
std::string recording(const std::string& title, bool in_progress, int channel, long long start = -600,
                      long long end = 600) {
    return "{\"Description\":\"d\",\"EndTime\":" + date_from_now(end) + ",\"IdChannel\":" +
           std::to_string(channel) + ",\"IsRecording\":" + (in_progress ? "true" : "false") +
           ",\"StartTime\":" + date_from_now(start) + ",\"Title\":\"" + title + "\"}";
}

std::string list(const std::vector<std::string>& objects) {
    std::string body = "[";
    for (size_t i = 0; i < objects.size(); i++) body += (i ? "," : "") + objects[i];
    return body + "]";
}

std::string response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string text_of(const char* name) { return MP_gtag(name); }

// The bridge's own state in a scratch directory: defaults, its four first tags, the log at
// debug level 3, and a live loopback connection whose far end the test plays.
class Processing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(vp_net_start(), 0);
        MP_Extended_defaults();
        MP_open_log();
        MP_read_cfg_file(1);
        MP_Global_Debug = 3;
        MP_Global_mAnswerLimitMs = 300;
        // Only now: on Windows the socket library must be started before the listener.
        listener_.emplace();
        ASSERT_NE(listener_->socket(), VP_INVALID_SOCKET);
        ASSERT_NO_FATAL_FAILURE(connect());
    }
    // A fresh connection, as the connection loop makes after giving one up.
    void connect() {
        if (server_ != VP_INVALID_SOCKET) vp_close_socket(server_);
        if (client_ != VP_INVALID_SOCKET) vp_close_socket(client_);
        client_ = vp_tcp_socket();
        ASSERT_EQ(vp_connect(client_, vp_inet_addr("127.0.0.1"), listener_->port()), 0);
        server_ = vp_accept(listener_->socket());
        ASSERT_NE(server_, VP_INVALID_SOCKET);
        ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_mAnswerLimitMs), 0);
        MP_Global_Socket = client_;
        MP_Global_Connected = 1;
    }
    void TearDown() override {
        if (server_ != VP_INVALID_SOCKET) vp_close_socket(server_);
        vp_close_socket(client_);
        MP_Global_Socket = VP_INVALID_SOCKET;
        MP_Global_Connected = 0;
        MP_Global_mAnswerLimitMs = MPX_ANSWER_LIMIT_MS;
        MP_log_reset();
    }
    void serve(const std::string& text) { ASSERT_EQ(vp_send(server_, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size())); }
    // The first part of a response in the receive buffer, as the first receive leaves it.
    int first_piece(const std::string& text) {
        memset(buf_, 0, sizeof buf_);
        memcpy(buf_, text.data(), text.size());
        return static_cast<int>(text.size());
    }
    int log_lines(const std::string& part) {
        int n = 0;
        for (const std::string& l : read_lines(kLog)) n += l.find(part) != std::string::npos;
        return n;
    }

    static constexpr const char* kLog = VP_PLUGINS "Vistrel_MPExtended.log";
    ScratchDir dir_;
    std::optional<LoopbackListener> listener_;
    vp_socket client_ = VP_INVALID_SOCKET;
    vp_socket server_ = VP_INVALID_SOCKET;
    char buf_[MPX_RECEIVE_CAPACITY + 1];
};

TEST_F(Processing, FramingCompletesPiecesAndRefusesWhatCannotFit) {
    const char* tag = "TCP[MPEx]:";
    std::string whole = response("[" + std::string(40, 'x') + "]");
    // The headers and 10 bytes of body first, the rest in two later pieces.
    int n = first_piece(whole.substr(0, whole.size() - 32));
    std::thread rest([&] {
        vp_sleep_ms(50);
        serve(whole.substr(whole.size() - 32, 16));
        vp_sleep_ms(50);
        serve(whole.substr(whole.size() - 16));
    });
    MpxFrame f{};
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), 1);
    rest.join();
    EXPECT_EQ(f.received, static_cast<int>(whole.size()));
    EXPECT_EQ(f.length, 42);
    EXPECT_EQ(std::string(buf_ + f.body), "[" + std::string(40, 'x') + "]");
    EXPECT_GE(log_lines("Waiting for extra data in process_MP_Extended"), 1);
    EXPECT_EQ(log_lines("Message sizes: rlen=" + std::to_string(n) + ", clen=42, hlen="), 1);

    // No digits counts as no header; a value without a blank is read; a negative one is empty.
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n[1]");
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), 0);
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length:\r\n7\r\n\r\n[1]");
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), 0);
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: No Content-Length"), 2);
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length:3\r\n\r\n[1]");
    ASSERT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), 1);
    EXPECT_EQ(f.length, 3);
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: -7\r\n\r\n[1]");
    ASSERT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), 1);
    EXPECT_EQ(f.length, 0);
    EXPECT_EQ(MP_Global_Connected, 1);

    // More than the buffer holds, a length beyond the int range, and a channel answer beyond
    // its own buffer all give the connection up without a single receive.
    for (const char* len : {"65500", "99999999999999"}) {
        MP_Global_Connected = 1;
        n = first_piece(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + len + "\r\n\r\n[");
        EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), -1) << len;
        EXPECT_EQ(MP_Global_Connected, 0);
    }
    MP_Global_Connected = 1;
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: 4080\r\n\r\n{");
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_CHANNEL_CAPACITY, 1, &f), -1);
    EXPECT_EQ(log_lines("does not fit the 65536-byte buffer; dropping the connection"), 2);
    EXPECT_EQ(log_lines("does not fit the 4096-byte buffer; dropping the connection"), 1);
    EXPECT_EQ(log_lines("Waiting for extra data"), 2) << "no receive was tried for them";
}

TEST_F(Processing, AnswerThatStopsOrEndsHalfWayGivesTheConnectionUp) {
    const char* tag = "TCP[MPEx]:";
    MpxFrame f{};
    // The server goes quiet after part of the body: the wait ends at the answer limit.
    int n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{\"Descr");
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), -1);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: recv failed: in process_MP_Extended"), 1);
    EXPECT_EQ(log_lines("No further data for 300 ms; the connection is given up"), 1);

    // The server closes after part of a channel answer.
    MP_Global_Connected = 1;
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"Disp");
    vp_close_socket(server_);
    server_ = VP_INVALID_SOCKET;
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_CHANNEL_CAPACITY, 1, &f), -1);
    EXPECT_EQ(log_lines("TCP[MPEx]: Connection closed in process_MP_Extended_channel"), 1);
    EXPECT_EQ(log_lines("**Error**"), 3) << "a close is no error";
}

// A first piece that ends inside the header, behind stray bytes with a zero among them, is
// completed before it is judged. Taken for an answer without a length, it would leave its own
// rest in the socket, and the next answer's body would be looked for in a window across both:
// recordings of two lists under Rec6, Rec7 ..., tags that would stay in the table for good.
TEST_F(Processing, PieceEndingInsideTheHeaderIsCompletedBeforeItIsJudged) {
    const char* tag = "TCP[MPEx]:";
    auto five = [](const std::string& stem) {
        std::vector<std::string> objects;
        for (int i = 1; i <= 5; i++) objects.push_back(recording(stem + std::to_string(i), false, 2));
        return response(list(objects));
    };
    std::string first = five("First "), second = five("Second ");
    size_t cut = first.find("Content-Type");
    int n = first_piece(std::string("\x01\x00junk", 6) + first.substr(0, cut));
    serve(first.substr(cut));
    MP_Extended_process_recordings(tag, buf_, n);
    EXPECT_EQ(text_of("Rec5.Title"), "First 5");
    EXPECT_EQ(log_lines("No Content-Length"), 0);

    // The next answer comes in two pieces, the second while the bridge waits.
    size_t half = second.size() / 2;
    serve(second.substr(0, half));
    std::thread rest([&] {
        vp_sleep_ms(50);
        serve(second.substr(half));
    });
    n = MP_recv(tag, buf_, MPX_RECEIVE_CAPACITY);
    ASSERT_GT(n, 0);
    MP_Extended_process_recordings(tag, buf_, n);
    rest.join();
    EXPECT_EQ(text_of("Rec1.Title"), "Second 1");
    EXPECT_EQ(text_of("Rec5.Title"), "Second 5");
    EXPECT_EQ(MP_itag("NRecordings"), 5);
    EXPECT_EQ(text_of("Rec6.Title"), "");
    EXPECT_EQ(MP_Global_Connected, 1);

    // Bytes that never show a whole header give the connection up once the buffer is full.
    MpxFrame f{};
    n = first_piece(std::string(MPX_RECEIVE_CAPACITY, 'x'));
    EXPECT_EQ(MP_Extended_frame(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &f), -1);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(log_lines("No complete response header in 65536 bytes; dropping the connection"), 1);
}

TEST_F(Processing, MultiByteCharactersBecomeBlanksWithoutMovingTheBody) {
    MP_put_tag("Channel4.DisplayName", MP_TYPE_TEXT, 0, "Known");
    std::string body = list({recording("Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBA", true, 4),
                             recording("Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e", false, 4)});
    std::string whole = response(body);
    // Cut inside the euro sign, so that the rest arrives in a second piece.
    size_t cut = whole.find("\xE2\x82\xAC") + 1;
    int n = first_piece(whole.substr(0, cut));
    serve(whole.substr(cut));
    MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(text_of("Rec1.Title"), "Caf     ");
    EXPECT_EQ(text_of("Rec2.Title"), "Cr me br l e");
    EXPECT_EQ(text_of("Recording1.Title"), "Caf     ");
    EXPECT_EQ(text_of("Recording1.ChannelName"), "Known");
    EXPECT_EQ(MP_itag("NRecordings"), 2);
    EXPECT_EQ(MP_Global_Connected, 1);
}

TEST_F(Processing, TwelveInProgressThenFewerKeepTheirSlots) {
    MP_Global_Connected = 0;  // no channel look-ups: the names are in the table already
    MP_put_tag("Channel3.DisplayName", MP_TYPE_TEXT, 0, "Three TV");
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; i++) twelve.push_back(recording("Show " + std::to_string(i), true, 3));
    int n = first_piece(response(list(twelve)));
    MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(MP_itag("Recordings"), 12);
    EXPECT_EQ(text_of("Recordings"), "Twelve");
    EXPECT_EQ(text_of("Recording12.Title"), "Show 12");
    EXPECT_EQ(text_of("Recording12.ChannelName"), "Three TV");
    EXPECT_EQ(text_of("Recording9.IsRecording"), "true") << "nothing is cleared above nine";
    EXPECT_EQ(text_of("Recording10.IsRecording"), "true");

    // Two in progress, then one: the second slot keeps its title and stops recording.
    n = first_piece(response(list({recording("A", true, 3), recording("B", false, 3), recording("C", true, 3)})));
    MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(text_of("Recording2.Title"), "C");
    EXPECT_EQ(MP_itag("Recording2.Entry"), 3);
    n = first_piece(response(list({recording("A", true, 3), recording("C", false, 3)})));
    MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(text_of("Recordings"), "One");
    EXPECT_EQ(text_of("Recording2.Title"), "C");
    for (int d = 2; d <= 9; d++)
        EXPECT_EQ(text_of(("Recording" + std::to_string(d) + ".IsRecording").c_str()), "false") << d;
    EXPECT_EQ(text_of("Recording10.IsRecording"), "true") << "slots above nine are not cleared";

    // A first object that is no recording: none taken, nothing in progress.
    n = first_piece(response("[{\"Id\":1,\"Description\":\"x\"}," + recording("Z", true, 3) + "]"));
    MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(text_of("NRecordings"), "None");
    EXPECT_EQ(text_of("IsRecording"), "false");
    EXPECT_EQ(text_of("Recordings"), "One");
}

TEST_F(Processing, ChannelAnswers) {
    const char* tag = "TCP[MPEx]:";
    serve(response("{\"DisplayName\":\"Arte\",\"Id\":7,\"IsTv\":true}"));
    MP_Extended_process_channel(tag, 7);
    EXPECT_EQ(text_of("Channel7.DisplayName"), "Arte");
    EXPECT_EQ(MP_itag("Channel7.Id"), 7);

    serve(response(""));
    MP_Extended_process_channel(tag, 8);
    serve(response("{\"Name\":\"x\",\"DisplayName\":\"y\"}"));
    MP_Extended_process_channel(tag, 8);
    EXPECT_EQ(text_of("Channel8.DisplayName"), "");
    EXPECT_EQ(log_lines("TCP[MPEx]: Empty channel Message"), 1);
    EXPECT_EQ(log_lines("TCP[MPEx]: Not a channel message"), 1);

    // An answer longer than the channel buffer gives the connection up.
    serve("HTTP/1.1 200 OK\r\nContent-Length: 6000\r\n\r\n{\"DisplayName\":\"" + std::string(5984, 'x') + "\"}");
    MP_Extended_process_channel(tag, 9);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(text_of("Channel9.DisplayName"), "");
    // Once the connection is given up, a look-up ends at once without a receive.
    MP_Extended_process_channel(tag, 10);
    EXPECT_EQ(log_lines("TCP[MPEx]: MP_Recv:"), 4);

    ASSERT_NO_FATAL_FAILURE(connect());
    vp_close_socket(server_);
    server_ = VP_INVALID_SOCKET;
    MP_Extended_process_channel(tag, 11);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_GE(log_lines("Connection closed in MP_Extended_process_channel"), 1);
}

TEST(MpxRequests, ComposedByteForByte) {
    MP_Extended_defaults();
    char out[4096];
    auto expected = [](const std::string& line, const std::string& b64) {
        return line + "Host: 127.0.0.1:40505\r\nAuthorization: Basic " + b64 +
               "\r\nAccept: application/json; charset=utf-8\r\n\r\n";
    };
    const std::string recordings = "GET /MpExtended/TVAccessService/json/GetRecordings?sort=3&order=1 HTTP/1.1\r\n";
    // Credentials of every length modulo three, and an empty password.
    const char* cases[][3] = {{"a", "", "YTo="}, {"ab", "", "YWI6"}, {"abc", "", "YWJjOg=="},
                              {"admin", "vstrl", "YWRtaW46dnN0cmw="}, {"admin", "", "YWRtaW46"}};
    for (auto& c : cases) {
        snprintf(MP_Global_mUserName, sizeof MP_Global_mUserName, "%s", c[0]);
        snprintf(MP_Global_mPassword, sizeof MP_Global_mPassword, "%s", c[1]);
        int len = MP_Extended_compose_request(out, sizeof out, 0, 0);
        EXPECT_EQ(std::string(out, static_cast<size_t>(len)), expected(recordings, c[2])) << c[0];
    }
    int len = MP_Extended_compose_request(out, sizeof out, 1, -3);
    EXPECT_EQ(std::string(out, static_cast<size_t>(len)),
              expected("GET /MpExtended/TVAccessService/json/GetChannelBasicById?channelId=-3 HTTP/1.1\r\n", "YWRtaW46"));
    // The longest settings stay below 900 bytes: 165 and the base64 of 511 bytes.
    memset(MP_Global_mUserName, 'u', 255);
    memset(MP_Global_mPassword, 'p', 255);
    EXPECT_EQ(MP_Extended_compose_request(out, sizeof out, 0, 0), 165 + 684);
    MP_Extended_defaults();
}

}  // namespace
