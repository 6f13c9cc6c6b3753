// test_processing.cpp - the MPExtended bridge's framing, recording derivation, channel answers and requests, in process.
#include <gtest/gtest.h>

#include <atomic>
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
#include "test_channel.h"
#include "tvsim.h"
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

// Sends the whole text, as a service does; false when the connection ended first.
bool send_all(vp_socket s, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        int n = vp_send(s, text.data() + sent, static_cast<int>(text.size() - sent));
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// A recording whose start and end are given in seconds since 1970.
std::string recording_at(const std::string& title, bool in_progress, int channel, long long start, long long end) {
    auto date = [](long long t) { return "\"\\/Date(" + std::to_string(t * 1000) + "+0100)\\/\""; };
    return "{\"Description\":\"d\",\"EndTime\":" + date(end) + ",\"IdChannel\":" + std::to_string(channel) +
           ",\"IsRecording\":" + (in_progress ? "true" : "false") + ",\"StartTime\":" + date(start) +
           ",\"Title\":\"" + title + "\"}";
}

// The channel look-up of a poll for one recording in progress on channel id: the request, its
// answer kept, then stored by the derivation's pass.
void look_up_channel(const char* tag, int id) {
    MP_Extended_recordings[1] = MpxRecording{};
    MP_Extended_recordings[1].in_progress = true;
    MP_Extended_recordings[1].channel = id;
    if (MP_Extended_ask_channels(tag, 1) < 0) return;
    MP_Extended_channels_rewind();
    MP_Extended_take_channel(tag, id, nullptr);
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
std::string text_of(const std::string& name) { return MP_gtag(name.c_str()); }

// The library that the simulator serves for a shape: newest first, the first in_progress of them
// recording now, every series_every-th a series episode (1: all, 0: none).
std::vector<SimRecording> shaped(int count, int in_progress, int series_every) {
    LibraryShape shape;
    shape.count = count;
    shape.in_progress = in_progress;
    shape.series_every = series_every;
    return library_recordings(shape);
}

// The answer of the service with that library.
std::string answer_for(const std::vector<SimRecording>& recordings) {
    Scenario s;
    s.recordings = recordings;
    s.has_list = true;
    time_t now;
    unsigned short ms;
    vp_time_now(&now, &ms);
    return response(recordings_body(s, static_cast<long long>(now), 0));
}

// A text as the bridge keeps it: each multi-byte character one blank, a double quote behind the
// backslash that the service's JSON gives it, and the first 256 characters, where the flattener
// cuts a string value.
std::string kept(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0xC0) {
            out += ' ';
            i += c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += text[i++];
        }
    }
    return out.substr(0, 256);
}

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
        MP_Global_Limits.answer_ms = 300;
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
        ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
        MP_Global_Socket = client_;
        MP_Global_Connected = 1;
    }
    void TearDown() override {
        if (server_ != VP_INVALID_SOCKET) vp_close_socket(server_);
        vp_close_socket(client_);
        MP_Global_Socket = VP_INVALID_SOCKET;
        MP_Global_Connected = 0;
        MP_Global_Limits.answer_ms = MPX_ANSWER_LIMIT_MS;
        MP_log_reset();
    }
    void serve(const std::string& text) { ASSERT_EQ(vp_send(server_, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size())); }
    // One poll of an answer that the service sends from a thread of its own: the first receive,
    // then the whole handling of the answer with its channel look-ups.
    void poll_async(const std::string& answer) {
        std::thread server = serve_async(answer);
        int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
        if (n > 0) MP_Extended_handle_response("TCP[MPEx]:", buf_, n);
        server.join();
        ASSERT_GT(n, 0);
        ASSERT_EQ(MP_Global_Connected, 1) << MP_Extended_give_up_status();
    }
    // Sends an answer larger than the socket's buffers from a thread of its own, as the service
    // does while the bridge reads it; then answers each channel request that follows, as the
    // service would, until the bridge stops asking.
    std::thread serve_async(const std::string& text) {
        return std::thread([this, text] {
            size_t sent = 0;
            while (sent < text.size()) {
                int n = vp_send(server_, text.data() + sent, static_cast<int>(text.size() - sent));
                if (n <= 0) return;
                sent += static_cast<size_t>(n);
            }
            std::string pending;
            char chunk[4096];
            while (vp_wait_readable(server_, 1000) == 1) {
                int n = vp_recv(server_, chunk, sizeof chunk);
                if (n <= 0) return;
                pending.append(chunk, static_cast<size_t>(n));
                size_t end;
                while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
                    size_t at = pending.find("channelId=");
                    int id = at < end ? atoi(pending.c_str() + at + 10) : 0;
                    pending.erase(0, end + 4);
                    std::string body = "{\"DisplayName\":\"Sender " + std::to_string(id) + "\",\"Id\":" +
                                       std::to_string(id) + ",\"IsRadio\":false,\"IsTv\":true,\"VisibleInGuide\":true}";
                    std::string answer = response(body);
                    vp_send(server_, answer.data(), static_cast<int>(answer.size()));
                }
            }
        });
    }
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

// A service that sends the request back, as an error page that echoes its headers does, with
// no Content-Length: at debug level 0 the error writes out the lines held back, among them the
// received answer. Neither the Basic credentials, as sent and decoded, nor the password show.
TEST_F(Processing, CredentialsThatTheServiceSendsBackAreRedactedInTheLinesHeldBack) {
    write_file(VP_PLUGINS "MP.cfg", "Debug=0\nMPExtended_UserName=viewer\nMPExtended_Password=S3cr3t-pw\n");
    MP_read_cfg_file(1);
    ASSERT_EQ(0, MP_Global_Debug);
    char request[4096];
    std::string sent(request, static_cast<size_t>(MP_Extended_compose_request(request, sizeof request, 0, 0)));
    size_t basic = sent.find("Basic ");
    ASSERT_NE(std::string::npos, basic);
    std::string b64 = sent.substr(basic + 6, sent.find("\r\n", basic) - basic - 6);
    ASSERT_EQ("dmlld2VyOlMzY3IzdC1wdw==", b64);  // viewer:S3cr3t-pw

    serve("HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain\r\n\r\nYou sent:\r\n" + sent +
          "User viewer:S3cr3t-pw is not known; password S3cr3t-pw\r\n");
    testing::internal::CaptureStdout();
    int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
    ASSERT_GT(n, 0);
    MP_Extended_handle_response("TCP[MPEx]:", buf_, n);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_LE(1, log_lines("**Error**TCP[MPEx]: No Content-Length"));
    std::string log = read_file(kLog);
    EXPECT_NE(std::string::npos, log.find("Authorization: Basic ***\\r\\nAccept")) << log;
    EXPECT_NE(std::string::npos, log.find("User *** is not known; password ***")) << log;
    for (const std::string& out : {log, console}) {
        EXPECT_EQ(std::string::npos, out.find(b64)) << out;
        EXPECT_EQ(std::string::npos, out.find("S3cr3t")) << out;
    }
}

TEST_F(Processing, FramingFindsTheBodyBehindTheHeaderAndReadsItInPieces) {
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
    MpxBody b{};
    ASSERT_EQ(MP_Extended_body_start(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &b), 1);
    EXPECT_EQ(b.length, 42);
    EXPECT_EQ(b.have, 10);
    ASSERT_EQ(MP_Extended_body_fill(tag, &b), 1);
    rest.join();
    EXPECT_EQ(b.have, 42);
    EXPECT_EQ(b.received, 42);
    ASSERT_EQ(MP_Extended_body_fill(tag, &b), 1) << "a whole body needs nothing more";
    EXPECT_EQ(b.have, 42) << "nothing is read beyond the body";
    EXPECT_EQ(b.buf, buf_) << "the body moves to the buffer's start";
    EXPECT_EQ(b.header, static_cast<int>(whole.size()) - 42);
    EXPECT_EQ(std::string(b.buf), "[" + std::string(40, 'x') + "]");
    EXPECT_EQ(log_lines("Waiting for extra data in process_MP_Extended"), 2);
    EXPECT_EQ(log_lines("Message sizes: rlen=" + std::to_string(n) + ", clen=42, hlen=" +
                        std::to_string(whole.size() - 42)), 1);

    // A value without a blank is read; a negative one is an empty body; bytes behind the
    // answer are none of the next one's.
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length:3\r\n\r\n[1]HTTP/1.1");
    ASSERT_EQ(MP_Extended_body_start(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &b), 1);
    EXPECT_EQ(b.length, 3);
    EXPECT_EQ(std::string(b.buf), "[1]");
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: -7\r\n\r\n[1]");
    ASSERT_EQ(MP_Extended_body_start(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &b), 1);
    EXPECT_EQ(b.length, 0);
    // A length beyond the buffer, and beyond the int range, is read by count.
    n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n[");
    ASSERT_EQ(MP_Extended_body_start(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &b), 1);
    EXPECT_EQ(b.length, 2147483647);
    EXPECT_EQ(MP_Global_Connected, 1);

    // Without a usable length the answer cannot be told apart from what follows it: the
    // conversation is given up, and says why. A header in the body is no header.
    for (const char* answer : {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n[1]",
                               "HTTP/1.1 200 OK\r\nContent-Length:\r\n7\r\n\r\n[1]",
                               "HTTP/1.1 200 OK\r\nX: 1\r\n\r\n[\"Content-Length: 3\"]"}) {
        MP_Global_Connected = 1;
        MP_Extended_handle_response(tag, buf_, first_piece(answer));
        EXPECT_EQ(MP_Global_Connected, 0) << answer;
        EXPECT_STREQ(MP_Extended_give_up_status(), "Unusable answer: No Content-Length") << answer;
    }
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: No Content-Length"), 3);
}

// The service goes quiet, or closes, in the middle of an answer: the conversation is given up
// with a status that says so, never with "OK".
TEST_F(Processing, AnswerThatStopsOrEndsHalfWayGivesTheConnectionUp) {
    const char* tag = "TCP[MPEx]:";
    int n = first_piece("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[{\"Descr");
    MP_Extended_process_recordings(tag, buf_, n);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_STREQ(MP_Extended_give_up_status(), "MP_recv Failed: Error at socket(): 10060");
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: recv failed: in process_MP_Extended"), 1);
    EXPECT_EQ(log_lines("No further data for 300 ms; the connection is given up"), 1);

    // The service stops in the middle of a channel answer.
    ASSERT_NO_FATAL_FAILURE(connect());
    serve("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"Disp");
    look_up_channel(tag, 4);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_STREQ(MP_Extended_give_up_status(), "MP_recv Failed: Error at socket(): 10060");
    EXPECT_EQ(text_of("Channel4.DisplayName"), "");
    EXPECT_EQ(log_lines("No further data for 300 ms; the connection is given up"), 2);

    // The service closes after part of a channel answer.
    ASSERT_NO_FATAL_FAILURE(connect());
    serve("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"Disp");
    vp_close_socket(server_);
    server_ = VP_INVALID_SOCKET;
    look_up_channel(tag, 3);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_STREQ(MP_Extended_give_up_status(), "MP_recv Failed: Connection closed during an answer");
    EXPECT_EQ(log_lines("TCP[MPEx]: Connection closed in process_MP_Extended_channel"), 1);
    EXPECT_EQ(log_lines("**Error**"), 5) << "a close is no error";
}

// A service that sends a byte now and then, each well within the answer limit, cannot hold the
// bridge beyond the whole-answer limit: neither in the body of a long announced answer nor in a
// header that never ends.
TEST_F(Processing, AnswerThatTricklesIsGivenUpAtTheWholeAnswerLimit) {
    const char* tag = "TCP[MPEx]:";
    // The answer limit ten times the trickle's spacing, so that a machine slow to schedule the
    // trickle (wine beside other work) does not end a wait before the whole-answer limit does.
    MP_Global_Limits.whole_answer_ms = 2500;
    MP_Global_Limits.answer_ms = 1000;
    struct Restore { ~Restore() { MP_Global_Limits.whole_answer_ms = MPX_WHOLE_ANSWER_LIMIT_MS; } } restore;
    for (int in_header = 0; in_header < 2; in_header++) {
        SCOPED_TRACE(in_header ? "a header that never ends" : "a body of 2,000,000 bytes announced");
        ASSERT_NO_FATAL_FAILURE(connect());
        std::string head = in_header ? "HTTP/1.1 200 OK\r\nX-Pad: " : "HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n[";
        int n = first_piece(head);
        std::atomic<bool> stop{false};
        vp_socket server = server_;
        std::thread trickle([&stop, server] {
            // One byte every 100 ms, a tenth of the answer limit, until the bridge lets go.
            while (!stop && vp_send(server, "x", 1) == 1) vp_sleep_ms(100);
        });
        double started = vp_process_seconds();
        MP_Extended_handle_response(tag, buf_, n);
        double took = vp_process_seconds() - started;
        stop = true;
        trickle.join();
        EXPECT_EQ(MP_Global_Connected, 0);
        EXPECT_STREQ(MP_Extended_give_up_status(), "MP_recv Failed: Error at socket(): 10060");
        EXPECT_LT(took, 30.0) << "held far beyond the whole-answer limit";
        EXPECT_EQ(log_lines(in_header ? "Answer header not complete after 2500 ms" : "Answer not complete after 2500 ms ("), 1);
    }
}

// A library far larger than the receive buffer: the first 98 recordings are taken from the
// head of the list, objects cut by the buffer's end are completed, the rest of the list is read
// and dropped, and the connection stays in step for the next answer.
TEST_F(Processing, LibraryLargerThanTheBufferIsTakenFromItsHead) {
    const char* tag = "TCP[MPEx]:";
    MP_Global_Debug = 1;
    MP_Global_Limits.answer_ms = 5000;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    std::vector<SimRecording> lib = shaped(300, 3, 0);
    std::string big = answer_for(lib);
    ASSERT_GT(big.size(), 4u * MPX_RECEIVE_CAPACITY);
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(poll_async(big));
        // Every object whole, those that the buffer's end cut among them, with descriptions
        // of hundreds of characters, accented letters and escaped quotes.
        for (int i = 1; i <= 98; i++) {
            std::string rec = "Rec" + std::to_string(i);
            EXPECT_EQ(text_of(rec + ".Title"), kept(lib[static_cast<size_t>(i - 1)].title)) << i;
            EXPECT_EQ(text_of(rec + ".Description"), kept(lib[static_cast<size_t>(i - 1)].description)) << i;
        }
        EXPECT_EQ(text_of("Rec99.Title"), "");
        EXPECT_EQ(text_of("Rec60.EpisodeName"), "") << "an empty member stores nothing";
        EXPECT_EQ(text_of("NRecordings"), "NinetyEight");
        EXPECT_EQ(text_of("Recordings"), "Three");
        EXPECT_EQ(text_of("Recording3.Title"), kept(lib[2].title));
        EXPECT_EQ(text_of("Recording3.ChannelName"), "Sender " + std::to_string(lib[2].channel));
    }
    // Said once for the connection, not at every poll: the list exceeds the buffer, which
    // loses nothing of it, and holds more than 98.
    EXPECT_EQ(log_lines("Too many recordings in message; the first 98 are taken"), 1);
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: Receive buffer overflow"), 1);
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]"), 1);

    // The next answer is read from its own first byte.
    serve(response(list({recording("Next", false, 2)})));
    int n = MP_recv(tag, buf_, MPX_RECEIVE_CAPACITY);
    MP_Extended_handle_response(tag, buf_, n);
    EXPECT_EQ(text_of("Rec1.Title"), "Next");
    EXPECT_EQ(text_of("NRecordings"), "One");
    EXPECT_EQ(MP_Global_Connected, 1);
}

// A recording larger than the whole buffer ends the list where it begins: the recordings ahead
// of it are taken, the rest is dropped, and the connection stays in step. The same list comes
// at every poll, so its error line is written once per connection.
TEST_F(Processing, RecordingLargerThanTheBufferEndsTheListOncePerConnection) {
    MP_Global_Limits.answer_ms = 5000;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    std::string huge = recording("Huge", false, 2);
    huge.replace(huge.find("\"d\""), 3, "\"" + std::string(MPX_RECEIVE_CAPACITY + 5000, 'x') + "\"");
    std::string answer = response(list({recording("First", true, 1), huge, recording("Last", false, 3)}));
    const std::string said = "A recording of more than";
    for (int connection = 1; connection <= 2; connection++) {
        for (int poll = 0; poll < 2; poll++) {
            SCOPED_TRACE(std::to_string(connection) + "/" + std::to_string(poll));
            ASSERT_NO_FATAL_FAILURE(poll_async(answer));
            EXPECT_EQ(text_of("Rec1.Title"), "First");
            EXPECT_EQ(text_of("Rec2.Title"), "");
            EXPECT_EQ(text_of("NRecordings"), "One");
            EXPECT_EQ(text_of("Recording1.Title"), "First");
        }
        EXPECT_EQ(log_lines(said), connection);
        MP_Extended_recordings_reset();  // as a new connection begins
    }
}

// 98 series episodes would store 23 tags each, more than the table holds beside the tags of
// the recordings in progress: the Rec tags stop short of a reserve, with one error line, and
// the tags a display shows are stored.
TEST_F(Processing, SeriesLibraryLeavesRoomForTheTagsADisplayShows) {
    MP_Global_Limits.answer_ms = 5000;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    std::vector<SimRecording> lib = shaped(98, 3, 1);
    std::string series = answer_for(lib);
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(poll_async(series));
        EXPECT_EQ(text_of("IsRecording"), "true");
        EXPECT_EQ(text_of("Recordings"), "Three");
        EXPECT_EQ(text_of("IRecordings"), "3");
        for (int k = 1; k <= 3; k++) {
            const SimRecording& r = lib[static_cast<size_t>(k - 1)];
            std::string slot = "Recording" + std::to_string(k);
            EXPECT_EQ(text_of(slot + ".Title"), kept(r.title));
            EXPECT_EQ(text_of(slot + ".ChannelName"), "Sender " + std::to_string(r.channel));
            EXPECT_EQ(text_of("Channel" + std::to_string(r.channel) + ".DisplayName"),
                      "Sender " + std::to_string(r.channel));
        }
        EXPECT_EQ(text_of("Rec1.SeriesNum"), kept(lib[0].series_number));
        int taken = MP_itag("NRecordings");
        ASSERT_GE(taken, 70);
        ASSERT_LT(taken, 98);
        EXPECT_EQ(text_of("Rec" + std::to_string(taken) + ".Title"), kept(lib[static_cast<size_t>(taken - 1)].title));
        EXPECT_EQ(text_of("Rec" + std::to_string(taken + 1) + ".Description"), "") << "no object half stored";
    }
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: Tag table nearly full: recordings from Rec"), 1);
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
    MpxBody b{};
    n = first_piece(std::string(MPX_RECEIVE_CAPACITY, 'x'));
    EXPECT_EQ(MP_Extended_body_start(tag, buf_, n, MPX_RECEIVE_CAPACITY, 0, &b), -1);
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
    // Every slot once written stops recording, above the ninth too, and no new one is made.
    for (int d = 2; d <= 12; d++)
        EXPECT_EQ(text_of("Recording" + std::to_string(d) + ".IsRecording"), "false") << d;
    EXPECT_EQ(MP_get_tag("Recording13.", nullptr, nullptr, nullptr), 0);

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
    look_up_channel(tag, 7);
    EXPECT_EQ(text_of("Channel7.DisplayName"), "Arte");
    EXPECT_EQ(MP_itag("Channel7.Id"), 7);

    serve(response(""));
    look_up_channel(tag, 8);
    serve(response("{\"Name\":\"x\",\"DisplayName\":\"y\"}"));
    look_up_channel(tag, 8);
    EXPECT_EQ(text_of("Channel8.DisplayName"), "");
    EXPECT_EQ(log_lines("TCP[MPEx]: Empty channel Message"), 1);
    EXPECT_EQ(log_lines("TCP[MPEx]: Not a channel message"), 1);

    // An answer longer than the channel buffer is read and dropped; the next one is read
    // from its own first byte.
    serve("HTTP/1.1 200 OK\r\nContent-Length: 6000\r\n\r\n{\"DisplayName\":\"" + std::string(5984, 'x') + "\"}");
    look_up_channel(tag, 9);
    EXPECT_EQ(MP_Global_Connected, 1);
    EXPECT_EQ(text_of("Channel9.DisplayName"), "");
    EXPECT_EQ(log_lines("Channel answer of 6000 bytes does not fit the 4096-byte buffer; it is dropped"), 1);
    serve(response("{\"DisplayName\":\"Arte HD\",\"Id\":10}"));
    look_up_channel(tag, 10);
    EXPECT_EQ(text_of("Channel10.DisplayName"), "Arte HD");
    // A header that fills the whole channel buffer: the body behind it is still read whole.
    const std::string padded = "{\"DisplayName\":\"Padded\"}";
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(padded.size()) + "\r\nX-Pad: ";
    head += std::string(MPX_CHANNEL_CAPACITY - head.size() - 4, 'p') + "\r\n\r\n";
    ASSERT_EQ(head.size(), static_cast<size_t>(MPX_CHANNEL_CAPACITY));
    serve(head + padded);
    look_up_channel(tag, 14);
    EXPECT_EQ(text_of("Channel14.DisplayName"), "Padded");
    EXPECT_EQ(MP_Global_Connected, 1);
    // Once the connection is given up, a look-up ends at once without a receive.
    MP_Global_Connected = 0;
    int receives = log_lines("TCP[MPEx]: MP_Recv:");
    look_up_channel(tag, 12);
    EXPECT_EQ(log_lines("TCP[MPEx]: MP_Recv:"), receives);
    MP_Global_Connected = 1;

    // A service that does not answer a channel request at all.
    look_up_channel(tag, 13);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_STREQ(MP_Extended_give_up_status(), "MP_recv Failed: Error at socket(): 10060");
    EXPECT_EQ(log_lines("No channel answer for 300 ms; the connection is given up"), 1);

    ASSERT_NO_FATAL_FAILURE(connect());
    vp_close_socket(server_);
    server_ = VP_INVALID_SOCKET;
    look_up_channel(tag, 11);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_GE(log_lines("Connection closed in MP_Extended_process_channel"), 1);
}

// ---------------------------------------------------------------------------------------------
// One answer, one outcome.

// The tags of the table, every byte of them: what a display reads of the block.
std::string table_bytes() {
    return std::string(reinterpret_cast<const char*>(&MP_Tags[1]), static_cast<size_t>(MP_Numtags) * sizeof(MP_TagEntry));
}

// A new list that ends or stops after some of its objects leaves every tag exactly as the last
// whole answer left it, and the block then says why: an answer that fits the buffer, and one
// much larger whose first objects have been taken from the buffer before the rest failed.
TEST_F(Processing, AnswerGivenUpHalfWayLeavesEveryTagAsTheLastWholeOne) {
    MP_Global_Limits.answer_ms = 300;
    std::vector<std::string> a;
    for (int i = 1; i <= 5; i++) a.push_back(recording("A" + std::to_string(i), i == 1, 1));
    ASSERT_NO_FATAL_FAILURE(poll_async(response(list(a))));
    const std::string before = table_bytes();
    ASSERT_EQ(text_of("Recording1.Title"), "A1");

    struct Case {
        const char* what;
        size_t description;  // characters of each description
        int objects_sent;
        bool stall;
    };
    const Case cases[] = {{"closed after two objects", 1, 2, false},
                          {"stalled after two objects", 1, 2, true},
                          {"larger than the buffer, closed after three objects", 30000, 3, false},
                          {"larger than the buffer, stalled after three objects", 30000, 3, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> b;
        for (int i = 1; i <= 5; i++) {
            std::string r = recording("B" + std::to_string(i), i == 2, 2);
            r.replace(r.find("\"d\""), 3, "\"" + std::string(c.description, 'b') + "\"");
            b.push_back(r);
        }
        std::string answer = response(list(b));
        size_t cut = answer.find(b[static_cast<size_t>(c.objects_sent)]);
        ASSERT_NE(cut, std::string::npos);
        ASSERT_NO_FATAL_FAILURE(connect());
        vp_socket server = server_;
        std::thread service([&] {
            send_all(server, answer.substr(0, cut));
            if (!c.stall) vp_close_socket(server);
        });
        int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
        ASSERT_GT(n, 0);
        MP_Extended_handle_response("TCP[MPEx]:", buf_, n);
        service.join();
        if (!c.stall) server_ = VP_INVALID_SOCKET;
        EXPECT_EQ(MP_Global_Connected, 0);
        EXPECT_STREQ(MP_Extended_give_up_status(), c.stall ? "MP_recv Failed: Error at socket(): 10060"
                                                           : "MP_recv Failed: Connection closed during an answer");
        EXPECT_STREQ(MP_Tags[0].string, MP_Extended_give_up_status()) << "the status published with the table";
        EXPECT_EQ(text_of("Rec1.Title"), "A1");
        EXPECT_EQ(text_of("NRecordings"), "Five");
        EXPECT_TRUE(table_bytes() == before) << "a tag changed";
    }
}

// Only the bytes of the answer itself are read: an answer larger than the buffer and the next
// one behind it in one segment leave the next one whole for the next receive.
TEST_F(Processing, ReaderTakesNothingOfTheAnswerBehind) {
    MP_Global_Limits.answer_ms = 5000;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    std::string big = answer_for(shaped(200, 0, 0));
    ASSERT_GT(big.size(), 2u * MPX_RECEIVE_CAPACITY);
    std::string next = response(list({recording("Next", false, 2)}));
    vp_socket server = server_;
    std::thread service([&] { send_all(server, big + next); });
    int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
    ASSERT_GT(n, 0);
    MP_Extended_handle_response("TCP[MPEx]:", buf_, n);
    service.join();
    EXPECT_EQ(MP_Global_Connected, 1) << MP_Extended_give_up_status();
    EXPECT_EQ(text_of("NRecordings"), "NinetyEight");
    n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
    EXPECT_EQ(std::string(buf_, static_cast<size_t>(n > 0 ? n : 0)), next);
}

// Near a full table a recording is stored while the entries it adds leave those that the
// derivation of the poll needs: one that leaves exactly as many is stored, one more is not.
// Two recordings of six members each, the first in progress on a known channel: the derivation
// needs its nine Recording1 tags and the eight cleared slots Recording2 to Recording9.
// Both ways of taking a list: one that lies in the buffer whole, and one that passes through it.
TEST_F(Processing, RecordingThatLeavesExactlyTheEntriesNeededIsStored) {
    MP_Global_Limits.answer_ms = 5000;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    for (size_t description : {size_t{1}, size_t{40000}})
    for (int spare = 0; spare >= -1; spare--) {
        SCOPED_TRACE(std::string(description > 1 ? "larger than the buffer, " : "in the buffer, ") +
                     (spare == 0 ? "exactly the entries needed" : "one entry short"));
        std::string first = recording("First", true, 5), second = recording("Second", false, 5);
        for (std::string* r : {&first, &second}) r->replace(r->find("\"d\""), 3, "\"" + std::string(description, 'd') + "\"");
        const std::string answer = response(list({first, second}));
        MP_Numtags = 0;
        MP_Clear_tags();
        MP_read_cfg_file(1);
        MP_put_tag("Channel5.DisplayName", MP_TYPE_TEXT, 0, "Das Erste");
        // 12 Rec tags and 17 derived ones end a table of 2,048, with `spare` entries to spare.
        int fill_to = MP_MAXTAGS - 12 - 17 + (spare < 0 ? 1 : 0);
        char filler[32];
        for (int i = 0; MP_Numtags < fill_to; i++) {
            snprintf(filler, sizeof filler, "Filler%d", i);
            MP_put_tag(filler, MP_TYPE_INT, i, "0");
        }
        MP_Extended_recordings_reset();
        int before = log_lines("Tag table nearly full");
        std::thread service([&] { send_all(server_, answer); });
        int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
        ASSERT_GT(n, 0);
        MP_Extended_process_recordings("TCP[MPEx]:", buf_, n);
        service.join();
        ASSERT_EQ(MP_Global_Connected, 1) << MP_Extended_give_up_status();
        if (spare == 0) {
            EXPECT_EQ(text_of("NRecordings"), "Two");
            EXPECT_EQ(text_of("Rec2.Title"), "Second");
            EXPECT_EQ(log_lines("Tag table nearly full"), before);
            EXPECT_EQ(MP_Numtags, MP_MAXTAGS) << "the derivation filled the table exactly";
        } else {
            EXPECT_EQ(text_of("NRecordings"), "One");
            EXPECT_EQ(text_of("Rec2.Title"), "");
            EXPECT_EQ(log_lines("Tag table nearly full: recordings from Rec2 on are not stored, to keep 17 entries"),
                      before + 1);
        }
        EXPECT_EQ(text_of("Recording1.Title"), "First");
        EXPECT_EQ(text_of("Recording1.ChannelName"), "Das Erste");
        EXPECT_EQ(text_of("Recording9.IsRecording"), "false");
    }
}

// Elapsed times up to 12 hours are shown; one second more shows as 0. The clock is fixed, so that
// the limit is met to the second however long the poll takes.
TEST_F(Processing, TwelveHoursInProgressIsTheLongestElapsedTimeShown) {
    const long long now = 1800000000;
    MP_Global_mFixedNow = now;
    struct Restore { ~Restore() { MP_Global_mFixedNow = 0; } } restore;
    MP_put_tag("Channel5.DisplayName", MP_TYPE_TEXT, 0, "Das Erste");
    const struct {
        long long elapsed;
        const char* shown;
    } cases[] = {{43200, "12:00:00"}, {43201, "0:00:00"}, {43199, "11:59:59"}, {0, "0:00:00"}, {-1, "0:00:00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.elapsed);
        std::string answer = response(list({recording_at("Long", true, 5, now - c.elapsed, now + 600)}));
        MP_Extended_process_recordings("TCP[MPEx]:", buf_, first_piece(answer));
        EXPECT_EQ(text_of("Recording1.SoFar"), c.shown);
        long long planned = 600 + c.elapsed;
        char duration[32];
        snprintf(duration, sizeof duration, "%lld:%02lld:%02lld", planned / 3600, planned % 3600 / 60, planned % 60);
        EXPECT_EQ(text_of("Recording1.Duration"), duration) << "the planned time has no limit";
    }
}

// The whole-answer limit holds with the waits: a wait for more of an answer ends when the
// answer's time is up, not a whole answer limit later.
TEST_F(Processing, WholeAnswerLimitEndsTheWaitInProgress) {
    // The byte comes well within the answer limit, however late a loaded machine runs the
    // service's thread; the wait after it is the one that the whole-answer limit cuts short.
    MP_Global_Limits.whole_answer_ms = 2000;
    MP_Global_Limits.answer_ms = 1600;
    struct Restore { ~Restore() { MP_Global_Limits.whole_answer_ms = MPX_WHOLE_ANSWER_LIMIT_MS; } } restore;
    ASSERT_EQ(vp_set_recv_timeout(client_, MP_Global_Limits.answer_ms), 0);
    vp_socket server = server_;
    std::thread service([server] {
        vp_sleep_ms(600);
        vp_send(server, "x", 1);
    });
    MP_Extended_handle_response("TCP[MPEx]:", buf_, first_piece("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n[{"));
    service.join();
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(log_lines("Answer not complete after 2000 ms (3 of 5000 bytes)"), 1);
    EXPECT_EQ(log_lines("No further data for 1600 ms"), 0);
}

// A channel request that cannot be sent ends the conversation: the new list and what was
// derived from it go, and the table of the poll is published once, at its end, as it was
// before the answer, with the status that says why.
TEST_F(Processing, FailedChannelRequestPublishesTheTableAsItWasOnce) {
    TestChannel channel("Vistrel_mpxonce");
    ASSERT_NE(channel.shown(), nullptr);
    MP_put_tag("Channel7.DisplayName", MP_TYPE_TEXT, 0, "Arte");
    const std::vector<MP_TagEntry> before(MP_Tags, MP_Tags + MP_Numtags + 1);
    serve(response(list({recording("Unknown channel", true, 6), recording("Known channel", true, 7)})));
    ASSERT_TRUE(stop_sending(client_));
    int n = MP_recv("TCP[MPEx]:", buf_, MPX_RECEIVE_CAPACITY);
    ASSERT_GT(n, 0);
    int published = log_lines("CommsSend entry 0");
    MP_Extended_handle_response("TCP[MPEx]:", buf_, n);
    EXPECT_EQ(MP_Global_Connected, 0);
    EXPECT_EQ(log_lines("CommsSend entry 0"), published + 1) << "published more than once";
    const MP_TagEntry* shown = channel.shown();
    EXPECT_EQ(std::string(shown[0].string).rfind("MP_Send Failed: Error at send(): ", 0), 0u) << shown[0].string;
    ASSERT_EQ(MP_Numtags + 1, static_cast<int>(before.size())) << "the table gained tags";
    ASSERT_EQ(shown[0].len, MP_Numtags);
    for (int i = 1; i <= MP_Numtags; i++) {
        EXPECT_EQ(memcmp(&MP_Tags[i], &before[static_cast<size_t>(i)], sizeof(MP_TagEntry)), 0) << before[i].name;
        EXPECT_EQ(memcmp(&shown[i], &before[static_cast<size_t>(i)], sizeof(MP_TagEntry)), 0) << before[i].name;
    }
    EXPECT_EQ(MP_get_tag("Recording2.Title", nullptr, nullptr, nullptr), 0);
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

// ---------------------------------------------------------------------------------------------
// Credentials below debug level 3.

// The settings lines and every request hold the credentials, and at debug level 0 an error
// writes out the lines that the level held back: an answer without a length and a connect to
// an unreachable address must leave neither the password, nor the user name, nor the Basic
// credentials in the log or on the console.
TEST_F(Processing, BelowDebugLevel3NoCredentialsReachTheLog) {
    const char* tag = "TCP[MPEx]:";
    const std::string basic = "dmlld2VyOlNlc2FtZTQy";  // base64 of "viewer:Sesame42"
    const std::string block = unique_block_name("Vistrel_mpxsecrets");
    CommsStart(0, 1, block.c_str(), MP_BLOCK_SIZE);
    // The fixture's own reading of the absent file has written out the ring already.
    const int started = log_lines("MP_read_cfg_file: Started");
    const int waits = log_lines("MP_read_cfg_file: MP_Global_mWait=10");
    MP_Global_Debug = 0;
    write_file(MPX_CFG_PATH, "MPExtended_UserName=viewer\nMPExtended_Password=Sesame42\n");
    testing::internal::CaptureStdout();

    // An answer without Content-Length to a request that carried the credentials.
    MP_read_cfg_file(1);
    ASSERT_EQ(MP_Global_Debug, 0);
    ASSERT_GT(MP_Extended_request_recordings(tag), 0);
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos && vp_wait_readable(server_, 5000) == 1) {
        int got = vp_recv(server_, chunk, sizeof chunk);
        if (got <= 0) break;
        request.append(chunk, static_cast<size_t>(got));
    }
    ASSERT_NE(request.find("Authorization: Basic " + basic + "\r\n"), std::string::npos) << request;
    serve("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n[]");
    int n = MP_recv(tag, buf_, MPX_RECEIVE_CAPACITY);
    ASSERT_GT(n, 0);
    MP_Extended_process_recordings(tag, buf_, n);
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: No Content-Length"), 1);

    // A connect that fails with an error other than refused or timed out.
    MP_read_cfg_file(1);
    snprintf(MP_Global_IPAddress, sizeof MP_Global_IPAddress, "255.255.255.255");
    EXPECT_EQ(TCP_Attempt(tag), 0);
    std::string console = testing::internal::GetCapturedStdout();
    vp_shm_unlink(block.c_str());
    EXPECT_EQ(log_lines("**Error**TCP[MPEx]: Connect Failed: Error at connect(): "), 1);

    // The held-back lines were written out, both times: the settings lines and the requests
    // were among them, the credentials shown as withheld.
    EXPECT_GE(log_lines("MP_read_cfg_file: Started"), started + 2);
    EXPECT_GE(log_lines("MP_read_cfg_file: MP_Global_mWait=10"), waits + 2);
    EXPECT_GE(log_lines("MP_read_cfg_file: (withheld below Debug=3)"), 4);
    EXPECT_GE(log_lines("MP_Send: (withheld below Debug=3)"), 2);
    std::string all = read_file(kLog) + console;
    for (const std::string& secret : {std::string("Sesame42"), std::string("viewer"), basic})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret << " reached the log:\n" << all;
}

}  // namespace
