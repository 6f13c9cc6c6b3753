// tvsim_scenario.cpp - the simulator's scenario lines and the JSON bodies of its answers.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tvsim.h"

namespace {

bool read_number(const std::string& word, long long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = strtoll(word.c_str(), &end, 10);
    return end && *end == '\0';
}

// The rest of the line after the stream's position, without its leading blanks.
std::string rest_of(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : rest.substr(start);
}

// The JSON date form: "\/Date(milliseconds+zone)\/", escaped as the service escapes it.
std::string json_date(long long seconds) {
    return "\"\\/Date(" + std::to_string(seconds * 1000) + "+0100)\\/\"";
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// One recording object of 23 members in compact form, "Description" first and "Title" last.
// The five episode members are empty unless the recording is a series episode.
std::string recording_object(const Scenario& s, const SimRecording& r, int index, long long now,
                             long extra) {
    long long start = now + r.start;
    long long end = now + r.end;
    std::string description = r.description.empty()
                                  ? "Recorded from the evening programme, item " + std::to_string(index)
                                  : r.description;
    description.append(static_cast<size_t>(extra), 'x');
    std::string o = "{";
    o += "\"Description\":" + quoted(description);
    o += ",\"ChannelName\":" + quoted(channel_name(s, r.channel));
    o += ",\"EndTime\":" + json_date(end);
    o += ",\"EpisodeName\":" + quoted(r.episode ? r.episode_name : "");
    o += ",\"EpisodeNum\":" + quoted(r.episode ? r.episode_number : "");
    o += ",\"EpisodeNumber\":" + quoted(r.episode ? r.episode_number : "");
    o += ",\"EpisodePart\":" + quoted(r.episode ? r.episode_part : "");
    o += ",\"FileName\":" + quoted("D:\\Recordings\\rec" + std::to_string(index) + ".ts");
    o += ",\"Genre\":" + quoted(r.genre.empty() ? "Documentary" : r.genre);
    o += ",\"Id\":" + std::to_string(100 + index);
    o += ",\"IdChannel\":" + std::to_string(r.channel);
    o += ",\"IdProgram\":" + std::to_string(5000 + index);
    o += ",\"IdSchedule\":" + std::to_string(r.recording ? 40 + index : -1);
    o += ",\"IsChanged\":false,\"IsManual\":false";
    o += std::string(",\"IsRecording\":") + (r.recording ? "true" : "false");
    o += ",\"KeepUntil\":0,\"KeepUntilDate\":" + json_date(end + 30 * 86400);
    o += ",\"SeriesNum\":" + quoted(r.episode ? r.series_number : "");
    o += ",\"StartTime\":" + json_date(start);
    o += ",\"StopTime\":0,\"TimesWatched\":" + std::to_string(index % 3);
    o += ",\"Title\":" + quoted(r.title);
    return o + "}";
}

bool parse_misbehaviour(std::istringstream& in, SimMisbehaviour& m, std::string& error) {
    std::string when, action;
    in >> when >> action;
    long long poll = 0;
    if (when != "*" && (!read_number(when, poll) || poll < 1)) {
        error = "\"on\" takes a request number from 1, or *";
        return false;
    }
    m.poll = static_cast<int>(poll);
    long long a = 0, b = 0;
    if (action == "split") {
        std::string pieces, pause, mid;
        in >> pieces >> pause >> mid;
        if (!read_number(pieces, a) || !read_number(pause, b) || a < 1 || a > 100 || b < 0) {
            error = "split takes a count of pieces (1-100) and a pause in ms";
            return false;
        }
        m.action = SimAction::Split;
        m.pieces = static_cast<int>(a);
        m.pause_ms = static_cast<int>(b);
        m.mid_character = mid == "mid";
    } else if (action == "pad" || action == "total") {
        std::string size;
        in >> size;
        if (!read_number(size, a) || a < 0 || a > 16 * 1048576) {
            error = action + " takes a size in bytes (up to 16 MiB)";
            return false;
        }
        m.action = action == "pad" ? SimAction::Pad : SimAction::Total;
        m.size = static_cast<long>(a);
    } else if (action == "cut") {
        std::string size, then;
        in >> size >> then;
        if (!read_number(size, a) || a < 0 || (then != "close" && then != "stall")) {
            error = "cut takes a count of body bytes and close or stall";
            return false;
        }
        m.action = SimAction::Cut;
        m.size = static_cast<long>(a);
        m.stall = then == "stall";
    } else if (action == "split-at") {
        std::string offsets, pause;
        in >> offsets >> pause;
        std::istringstream list(offsets);
        std::string one;
        while (std::getline(list, one, ',')) {
            if (!read_number(one, a) || a < 1 || (!m.at.empty() && static_cast<size_t>(a) <= m.at.back())) {
                error = "split-at takes rising body offsets from 1, separated by commas, and a pause in ms";
                return false;
            }
            m.at.push_back(static_cast<size_t>(a));
        }
        if (m.at.empty() || !read_number(pause, b) || b < 0) {
            error = "split-at takes rising body offsets from 1, separated by commas, and a pause in ms";
            return false;
        }
        m.action = SimAction::SplitAt;
        m.pause_ms = static_cast<int>(b);
    } else if (action == "continue") {
        m.action = SimAction::Continue;
    } else if (action == "stop-reading") {
        m.action = SimAction::StopReading;
    } else if (action == "length" || action == "body") {
        m.action = action == "length" ? SimAction::Length : SimAction::Body;
        m.text = rest_of(in);
    } else if (action == "no-length") {
        m.action = SimAction::NoLength;
    } else if (action == "close-mid") {
        m.action = SimAction::CloseMid;
    } else if (action == "stall") {
        m.action = SimAction::Stall;
    } else if (action == "stall-mid") {
        m.action = SimAction::StallMid;
    } else if (action == "close") {
        m.action = SimAction::Close;
    } else if (action == "normal") {
        m.action = SimAction::Normal;
    } else {
        error = "unknown action \"" + action + "\"";
        return false;
    }
    return true;
}

// "library N [in-progress K] [series all|none|EVERY] [short]": the generated recordings.
bool parse_library(std::istringstream& in, Scenario& s, std::string& error) {
    const char* usage = "library takes N [in-progress K] [series all|none|EVERY] [short], N up to 100000";
    LibraryShape shape;
    std::string word;
    long long v = 0;
    in >> word;
    if (!read_number(word, v) || v < 0 || v > 100000) {
        error = usage;
        return false;
    }
    shape.count = static_cast<int>(v);
    while (in >> word) {
        if (word == "short") {
            shape.short_text = true;
            continue;
        }
        std::string value;
        in >> value;
        if (word == "in-progress" && read_number(value, v) && v >= 0 && v <= shape.count) {
            shape.in_progress = static_cast<int>(v);
        } else if (word == "series" && (value == "all" || value == "none")) {
            shape.series_every = value == "all" ? 1 : 0;
        } else if (word == "series" && read_number(value, v) && v >= 0 && v <= 100000) {
            shape.series_every = static_cast<int>(v);
        } else {
            error = usage;
            return false;
        }
    }
    std::vector<SimRecording> more = library_recordings(shape);
    s.recordings.insert(s.recordings.end(), more.begin(), more.end());
    s.has_list = true;
    return true;
}

}  // namespace

bool scenario_line(Scenario& s, const std::string& line, std::string& error) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key.empty() || key[0] == '#') return true;
    if (key == "user") {
        in >> s.user;
    } else if (key == "password") {
        s.password = rest_of(in);
    } else if (key == "recording") {
        std::string start, end, rec, channel;
        in >> start >> end >> rec >> channel;
        SimRecording r;
        long long c = 0;
        if (!read_number(start, r.start) || !read_number(end, r.end) ||
            (rec != "yes" && rec != "no") || !read_number(channel, c)) {
            error = "recording takes START END yes|no CHANNEL TITLE";
            return false;
        }
        r.recording = rec == "yes";
        r.channel = static_cast<int>(c);
        r.title = rest_of(in);
        s.recordings.push_back(r);
        s.has_list = true;
    } else if (key == "generate") {
        std::string count;
        in >> count;
        long long n = 0;
        if (!read_number(count, n) || n < 0 || n > 10000) {
            error = "generate takes a count (0-10000)";
            return false;
        }
        for (long long i = 1; i <= n; i++) {
            SimRecording r;
            r.start = -(i + 1) * 86400;
            r.end = r.start + 3600;
            r.channel = static_cast<int>(i % 5) + 1;
            r.title = "Archive programme " + std::to_string(i);
            s.recordings.push_back(r);
        }
        s.has_list = true;
    } else if (key == "library") {
        if (!parse_library(in, s, error)) return false;
    } else if (key == "channel-stall") {
        std::string id;
        in >> id;
        long long v = 0;
        if (!read_number(id, v)) {
            error = "channel-stall takes a channel id";
            return false;
        }
        s.stalled_channels.push_back(static_cast<int>(v));
    } else if (key == "list") {
        std::string when;
        in >> when;
        long long n = 0;
        if (!read_number(when, n) || n < 1) {
            error = "list takes a request number from 1 and the body";
            return false;
        }
        s.lists.emplace_back(static_cast<int>(n), rest_of(in));
    } else if (key == "empty-list") {
        s.recordings.clear();
        s.has_list = true;
    } else if (key == "channel") {
        std::string id;
        in >> id;
        long long v = 0;
        if (!read_number(id, v)) {
            error = "channel takes an id and a name (none for an empty answer)";
            return false;
        }
        SimChannel c;
        c.id = static_cast<int>(v);
        c.name = rest_of(in);
        s.channels.push_back(c);
    } else if (key == "channel-pad") {
        std::string id, size;
        in >> id >> size;
        long long v = 0, p = 0;
        if (!read_number(id, v) || !read_number(size, p) || p < 0 || p > 1048576) {
            error = "channel-pad takes an id and a size in bytes";
            return false;
        }
        for (SimChannel& c : s.channels)
            if (c.id == v) c.pad = static_cast<long>(p);
    } else if (key == "on") {
        SimMisbehaviour m;
        if (!parse_misbehaviour(in, m, error)) return false;
        s.misbehaviours.push_back(m);
    } else {
        error = "unknown scenario line \"" + key + "\"";
        return false;
    }
    return true;
}

bool scenario_file(Scenario& s, const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!scenario_line(s, line, error)) {
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

void scenario_default(Scenario& s) {
    const char* lines[] = {
        "recording -1800 1800 yes 5 Tatort: Schüsse im Morgengrauen",
        "recording -90000 -86400 no 1 Café Society",
        "recording -180000 -172800 no 7 Les Misérables",
        "recording -266400 -264600 no 5 Nachrichten über Österreich",
        "recording -360000 -352800 no 3 Das Boot",
    };
    std::string error;
    if (!s.has_list)
        for (const char* l : lines) scenario_line(s, l, error);
    const char* channels[] = {"channel 1 BBC One", "channel 2 Arte",      "channel 3 ZDF",
                              "channel 4 ORF 1",   "channel 5 Das Erste", "channel 6 RTL",
                              "channel 7 France 2"};
    for (const char* c : channels) {
        std::istringstream in(c);
        std::string word, id;
        in >> word >> id;
        bool known = false;
        for (const SimChannel& k : s.channels) known = known || std::to_string(k.id) == id;
        if (!known) scenario_line(s, c, error);
    }
}

std::string recordings_body(const Scenario& s, long long now, long pad) {
    std::string body = "[";
    for (size_t i = 0; i < s.recordings.size(); i++) {
        if (i) body += ",";
        body += recording_object(s, s.recordings[i], static_cast<int>(i) + 1, now, 0);
    }
    body += "]";
    if (static_cast<long>(body.size()) < pad && !s.recordings.empty()) {
        // The first recording's description grows, so the list stays a valid one.
        long extra = pad - static_cast<long>(body.size());
        std::string rest = body.substr(recording_object(s, s.recordings[0], 1, now, 0).size() + 1);
        std::string grown = "[";
        grown += recording_object(s, s.recordings[0], 1, now, extra);
        grown += rest;
        body.swap(grown);
    }
    return body;
}

std::string channel_body(const Scenario& s, int id) {
    for (const SimChannel& c : s.channels) {
        if (c.id != id) continue;
        if (c.name.empty()) return "";
        std::string o = "{\"DisplayName\":" + quoted(c.name) + ",\"Id\":" + std::to_string(id) +
                        ",\"IsRadio\":false,\"IsTv\":true,\"VisibleInGuide\":true";
        if (c.pad > static_cast<long>(o.size()))
            o += ",\"Note\":\"" + std::string(static_cast<size_t>(c.pad) - o.size(), 'x') + "\"";
        return o + "}";
    }
    return "{\"DisplayName\":\"Channel " + std::to_string(id) + "\",\"Id\":" + std::to_string(id) +
           ",\"IsRadio\":false,\"IsTv\":true,\"VisibleInGuide\":true}";
}

std::string channel_name(const Scenario& s, int id) {
    for (const SimChannel& c : s.channels)
        if (c.id == id) return c.name;
    return "Channel " + std::to_string(id);
}

SimMisbehaviour misbehaviour_for(const Scenario& s, int n) {
    for (const SimMisbehaviour& m : s.misbehaviours)
        if (m.poll == n) return m;
    for (const SimMisbehaviour& m : s.misbehaviours)
        if (m.poll == 0) return m;
    return SimMisbehaviour{};
}

const std::string* list_for(const Scenario& s, int n) {
    for (const auto& l : s.lists)
        if (l.first == n) return &l.second;
    return nullptr;
}
