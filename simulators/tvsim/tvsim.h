// tvsim.h - the TV-service simulator: its scenario (content and misbehaviour) and its server.
#pragma once

#include <string>
#include <vector>

// One recording of the list. Start and end are offsets in seconds from the moment the list is
// served, so that a scenario describes "started half an hour ago" whenever it runs.
struct SimRecording {
    long long start = 0;
    long long end = 0;
    bool recording = false;
    int channel = 1;
    std::string title;
    // The programme's description and genre; empty gives the short stand-ins of the hand-made
    // lists ("Recorded from the evening programme, item N", "Documentary").
    std::string description;
    std::string genre;
    // A series episode fills the five episode members; any other recording leaves them empty.
    bool episode = false;
    std::string episode_name;
    std::string episode_number;
    std::string episode_part;
    std::string series_number;
};

// The shape of a generated library (the scenario line "library").
struct LibraryShape {
    int count = 0;
    int in_progress = 0;
    int series_every = 8;     // every n-th recording is a series episode; 1 all, 0 none
    bool short_text = false;  // one-line descriptions instead of 300 to 1,500 characters
};
// The library, newest first: the recordings in progress at its head, then past ones, each
// older than the one before. The same shape always gives the same recordings.
std::vector<SimRecording> library_recordings(const LibraryShape& shape);

// A channel's answer: its name, or an empty body when it has none; pad makes the answer at
// least that many bytes long.
struct SimChannel {
    int id = 0;
    std::string name;
    long pad = 0;
};

// What the simulator does with the answer to one recordings request.
enum class SimAction {
    Normal, Split, NoLength, Length, CloseMid, Stall, StallMid, Pad, Close, Body, Total, StopReading,
    Cut, SplitAt, Continue
};

struct SimMisbehaviour {
    int poll = 0;  // the 1-based number of the recordings request; 0 for every request
    SimAction action = SimAction::Normal;
    int pieces = 1;
    int pause_ms = 0;
    bool mid_character = false;  // Split: move each cut into a multi-byte character
    long size = 0;               // Pad: the body's least size; Total: the whole answer's size;
                                 // Cut: the bytes of the body sent
    std::string text;            // Length: the header's value; Body: the whole body
    bool stall = false;          // Cut: nothing more after the bytes sent, instead of a close
    std::vector<size_t> at;      // SplitAt: the body offsets at which it is cut
};

struct Scenario {
    std::string user = "admin";
    std::string password = "vstrl";
    std::vector<SimRecording> recordings;
    std::vector<SimChannel> channels;
    std::vector<SimMisbehaviour> misbehaviours;
    std::vector<int> stalled_channels;  // channels whose answers stop in the middle
    // Bodies given whole for single recordings requests (the line "list K BODY"), by request.
    std::vector<std::pair<int, std::string>> lists;
    bool has_list = false;  // false: the default list is served
};

// Reads one scenario line ("recording -1800 1800 yes 5 News", "on 2 stall", ...) into the
// scenario. Returns false with a reason for a line it does not understand.
bool scenario_line(Scenario& s, const std::string& line, std::string& error);
// Reads a scenario file line by line; blank lines and lines beginning with "#" are skipped.
bool scenario_file(Scenario& s, const std::string& path, std::string& error);
// The default content: a handful of recordings with accented titles, one of them in progress
// since half an hour ago, on channels whose names the simulator knows.
void scenario_default(Scenario& s);

// The recordings body as the service sends it, with the times taken from now (seconds since
// 1970), and padded to at least pad bytes.
std::string recordings_body(const Scenario& s, long long now, long pad);
// The channel body for an id: its object, or the empty text for a channel without a name.
std::string channel_body(const Scenario& s, int id);
// The name that the simulator gives a channel: its scenario name, else "Channel <id>".
std::string channel_name(const Scenario& s, int id);
// The misbehaviour for the n-th recordings request.
SimMisbehaviour misbehaviour_for(const Scenario& s, int n);
// The body given for the n-th recordings request by a "list" line, or null.
const std::string* list_for(const Scenario& s, int n);

struct ServerOptions {
    int port = 4322;
    std::string port_file;
    std::string log_file;
    std::string requests_file;
    int lifetime_s = 0;  // 0: runs until it is ended
};

// Listens on 127.0.0.1 and serves one connection at a time. Returns the exit code.
int run_server(const Scenario& s, const ServerOptions& o);
