// test_status_screen.cpp - Vistrel_Status end to end for a person at a terminal: the screen that
// fits the window, paging by keys, resizing, the terminal given back; filters, the age and
// stale mark of each block, C1 controls, a bridge whose program file was replaced, --help.
#include "status_harness.h"

#include <cstdlib>

namespace {

std::string published_now(int seconds_ago = 0) {
    return "state Numtags\\x00\nstatus OK\ntime " + std::to_string(time(nullptr) - seconds_ago) + "\n";
}

// The line after the total line of the last complete listing.
std::string line_after_total(const std::string& out) {
    size_t total = out.rfind("Total Numtags=");
    if (total == std::string::npos) return "";
    size_t begin = out.find('\n', total);
    if (begin == std::string::npos) return "";
    size_t end = out.find('\n', begin + 1);
    if (end == std::string::npos) return "";
    std::string line = out.substr(begin + 1, end - begin - 1);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The number in an age "[... N s ago]", or -1.
long age_seconds(const std::string& age) {
    size_t end = age.find(" s ago]");
    if (end == std::string::npos) return -1;
    size_t begin = age.find_last_not_of("0123456789", end - 1);
    return strtol(age.substr(begin + 1, end - begin - 1).c_str(), nullptr, 10);
}

TEST_F(StatusMonitor, FiltersListOnlyTheRowsWhoseNamesBeginWithAWordGiven) {
    script(kWifi, published_now() + "tag Type 1 0 status\ntag Position 0 73 73\ntag Properties.Play.Current.Title 1 0 News\n");
    script(kMpx, published_now() + "tag Recordings 1 0 One\ntag IRecordings 0 1 1\ntag Rec1.Title 1 0 News\n"
                                   "tag Recording1.SoFar 3 0 0:30:00\ntag Channel5.Id 0 5 5\n");
    // The lookup's byte comparison: "channel5" begins no name here.
    ASSERT_TRUE(monitor.start({"Rec", "Position", "channel5"}));
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 9); });
    ASSERT_EQ(9u, s.size()) << monitor.output();
    EXPECT_NE(std::string::npos, s[0].find(" WifiRemote State1=Numtags Numtags1=   3 Time="));
    EXPECT_EQ(0u, s[1].find("               MPExtended State2=Numtags Numtags2=   5 Time="));
    EXPECT_EQ(kHeader, s[2]);
    EXPECT_EQ(kRule, s[3]);
    // The rows keep their numbers in the whole listing.
    EXPECT_EQ(row(2, 0, 73, 8, "Position", "73"), s[4]);
    EXPECT_EQ(row(4, 1, 0, 10, "Recordings", "One"), s[5]);
    EXPECT_EQ(row(6, 1, 0, 10, "Rec1.Title", "News"), s[6]);
    EXPECT_EQ(row(7, 3, 0, 16, "Recording1.SoFar", "0:30:00"), s[7]);
    EXPECT_EQ("Filter: Rec Position channel5 (4 of 9 rows)", line_after_total(monitor.output()));
}

TEST_F(StatusMonitor, EachStateLineShowsTheAgeOfItsBlockAndMarksAStaleOne) {
    // 40 s: stale for WifiRemote (more than 30 s), not for MPExtended (60 s).
    script(kWifi, published_now(40) + "tag A 1 0 a\n");
    script(kMpx, published_now(40) + "tag B 1 0 b\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 3); });
    ASSERT_EQ(8u, s.size()) << monitor.output();
    std::string wifi = age_of(s[0]), mpx = age_of(s[1]);
    EXPECT_EQ(0u, wifi.find("[STALE, ")) << s[0];
    EXPECT_EQ(0u, mpx.find("[")) << s[1];
    EXPECT_EQ(std::string::npos, mpx.find("STALE")) << s[1];
    EXPECT_GE(age_seconds(wifi), 40) << wifi;
    EXPECT_LT(age_seconds(wifi), 40 + kWaitMs / 1000) << wifi;
    EXPECT_GE(age_seconds(mpx), 40) << mpx;
    // The line is the one it always was up to the status, then two blanks and the age.
    EXPECT_NE(std::string::npos, s[0].find(" Status1=OK  [STALE, ")) << s[0];
    EXPECT_NE(std::string::npos, s[1].find(" Status2=OK  [")) << s[1];

    // A live MPExtended bridge that stops publishing becomes stale past a minute; a WifiRemote
    // bridge that publishes again is fresh.
    script(kMpx, published_now(100) + "tag B 1 0 b\n");
    script(kWifi, published_now() + "tag A 1 0 a\n");
    s = wait_screen([](const Screen& sc) { return age_of(sc[1]).find("[STALE, ") == 0; });
    ASSERT_FALSE(s.empty()) << monitor.output().substr(monitor.output().size() > 3000 ? monitor.output().size() - 3000 : 0);
    EXPECT_GE(age_seconds(age_of(s[1])), 100);
    s = wait_screen([](const Screen& sc) { return age_of(sc[0]).find("STALE") == std::string::npos; });
    ASSERT_FALSE(s.empty());
    EXPECT_LT(age_seconds(age_of(s[0])), 30) << s[0];
}

TEST_F(StatusMonitor, ShowsCOneControlsRawOrEncodedAsQuestionMarks) {
    script(kWifi, published_now() + "tag C1.Raw 1 0 A\\x9b2JB\ntag C1.Utf8 1 0 \\xc2\\x9b31mX\ntag C1.Next 1 0 \\xc2\\x85line\n"
                                    "tag N\\x90me 1 0 x\ntag Latin 1 0 caf\\xc3\\xa9\n");
    script(kMpx, "state Numtags\\x00\nstatus \\xc2\\x9d0;t\\xc2\\x9c\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 6) && sc[1].find("State2=Numtags") != std::string::npos; });
    ASSERT_EQ(11u, s.size()) << monitor.output();
    EXPECT_EQ(row(1, 1, 0, 6, "C1.Raw", "A?2JB"), s[5]);
    EXPECT_EQ(row(2, 1, 0, 7, "C1.Utf8", "?31mX"), s[6]);
    EXPECT_EQ(row(3, 1, 0, 7, "C1.Next", "?line"), s[7]);
    EXPECT_EQ(row(4, 1, 0, 4, "N?me", "x"), s[8]);
    // A letter outside ASCII that is no control stays whole.
    EXPECT_EQ(row(5, 1, 0, 5, "Latin", "caf\xc3\xa9"), s[9]);
    EXPECT_NE(std::string::npos, s[1].find(" Status2=?0;t?  [")) << s[1];

    std::string raw = last_raw_screen(monitor.output());
    ASSERT_FALSE(raw.empty());
    for (char c : raw) {
        unsigned char b = static_cast<unsigned char>(c);
        EXPECT_FALSE(b >= 0x80 && b <= 0x9f) << "C1 byte " << static_cast<int>(b);
    }
}

// Each block's texts as its encoding stores them, letters as UTF-8: the WifiRemote block's marker
// names Windows-1252; the MPExtended block has none, so the settings file of the folder says.
// A C1 control in UTF-8 and an empty place of Windows-1252 show as '?'.
TEST_F(StatusMonitor, ShowsEachBlocksLettersAsItsEncodingStoresThem) {
    write_file(VP_PLUGINS "MP.cfg", "Debug=0\nText_Encoding=utf-8\n");
    script(kWifi, published_now() + "marker VistrelText=Windows-1252\ntag Title 1 0 Br\\xfccke \\x80 5\\x81\\x9c\n");
    script(kMpx, published_now() + "tag Rec1.Title 1 0 Ni\\xc3\\xb1o \\xe2\\x80\\x93 x\\xc2\\x85\n");
    ASSERT_TRUE(monitor.start());
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 3); });
    ASSERT_EQ(8u, s.size()) << monitor.output();
    EXPECT_EQ(row(1, 1, 0, 5, "Title", "Br\xc3\xbc" "cke \xe2\x82\xac 5?\xc5\x93"), s[5]);
    EXPECT_EQ(row(2, 1, 0, 10, "Rec1.Title", "Ni\xc3\xb1o \xe2\x80\x93 x?"), s[6]);
}

// An option names the encoding of both blocks, whatever their markers and the settings say.
TEST_F(StatusMonitor, AnEncodingOptionNamesTheEncodingOfBothBlocks) {
    write_file(VP_PLUGINS "MP.cfg", "Text_Encoding=UTF-8\n");
    script(kWifi, published_now() + "marker VistrelText=Windows-1252\ntag Title 1 0 Br\\xfccke \\x80 5\n");
    script(kMpx, published_now() + "tag Rec1.Title 1 0 Ni\\xc3\\xb1o \\xe2\\x80\\x93 x\n");
    ASSERT_TRUE(monitor.start({"--encoding", "ascii"}));
    Screen s = wait_screen([](const Screen& sc) { return has_total(sc, 3); });
    ASSERT_EQ(8u, s.size()) << monitor.output();
    EXPECT_EQ(row(1, 1, 0, 5, "Title", "Br?cke ? 5"), s[5]);
    EXPECT_EQ(row(2, 1, 0, 10, "Rec1.Title", "Ni??o ??? x"), s[6]);
}

TEST(StatusHelp, ListsTheKeysAndFiltersAndRefusesAnUnknownOption) {
    ScratchDir dir;
    const char* help[] = {"Vistrel_Status", "--help", nullptr};
    ASSERT_EQ(0, vp_run_to_file(VISTREL_VISTREL_STATUS, help, "help.txt"));
    std::string text = read_file("help.txt");
    for (const char* word : {"NAME...", "Recording Position", "PgDn", "PgUp", "Home", "End", "j, Down", "k, Up",
                             "q ", "STALE"})
        EXPECT_NE(std::string::npos, text.find(word)) << word << " in\n" << text;
    // Help starts no bridge: nothing was started in this folder.
    EXPECT_FALSE(fs::exists(std::string(kWifi) + ".started"));

    const char* wrong[] = {"Vistrel_Status", "--rows", nullptr};
    EXPECT_EQ(2, vp_run_to_file(VISTREL_VISTREL_STATUS, wrong, "wrong.txt"));
    EXPECT_NE(std::string::npos, text.find("--encoding NAME")) << text;
    const char* unknown[] = {"Vistrel_Status", "--encoding", "Latin-1", nullptr};
    EXPECT_EQ(2, vp_run_to_file(VISTREL_VISTREL_STATUS, unknown, "wrong.txt"));
}

#ifndef _WIN32
// Text i of a table: its number, then letters up to text_len characters.
std::string text_of(int i, size_t text_len) {
    std::string text = "T" + std::to_string(i) + "-";
    while (text.size() < text_len) text += static_cast<char>('a' + text.size() % 26);
    return text;
}

// The tags of a script: prefix01 ... with texts of text_len characters (at least the number).
std::string tags(const std::string& prefix, int n, size_t text_len, int type = 1) {
    std::string out;
    for (int i = 1; i <= n; i++) {
        char name[64];
        snprintf(name, sizeof name, "%s%02d", prefix.c_str(), i);
        out += "tag " + std::string(name) + " " + std::to_string(type) + " " + std::to_string(i) + " " +
               text_of(i, text_len) + "\n";
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The monitor on a terminal of known size. What it writes is played on a small terminal of the
// same size, which keeps a copy of the screen at the end of every drawing ("\033[J").

struct Frame {
    std::vector<std::string> rows;
    bool scrolled = false;  // a line went past the bottom: the screen did not fit
    bool too_wide = false;  // a character landed in the last column
};

class Terminal {
public:
    Terminal(int rows, int cols) : rows_(rows), cols_(cols) { clear(); }

    std::vector<Frame> play(const std::string& out) {
        std::vector<Frame> frames;
        for (char ch : out) step(static_cast<unsigned char>(ch), &frames);
        return frames;
    }

private:
    void clear() { grid_.assign(rows_, std::string(cols_, ' ')); }

    void line_feed() {
        if (row_ + 1 < rows_) {
            row_++;
        } else {
            grid_.erase(grid_.begin());
            grid_.push_back(std::string(cols_, ' '));
            scrolled_ = true;
        }
    }

    void step(unsigned char c, std::vector<Frame>* frames) {
        if (state_ == 1) {
            state_ = c == '[' ? 2 : 0;
            params_.clear();
            return;
        }
        if (state_ == 2) {
            if (c < 0x40 || c > 0x7e) {
                params_ += static_cast<char>(c);
                return;
            }
            state_ = 0;
            csi(static_cast<char>(c), frames);
            return;
        }
        if (c == 0x1b) {
            state_ = 1;
        } else if (c == '\r') {
            col_ = 0;
            wrap_ = false;
        } else if (c == '\n') {
            line_feed();
            wrap_ = false;
        } else if (c >= 32) {
            if (wrap_) {
                col_ = 0;
                line_feed();
                wrap_ = false;
            }
            grid_[row_][col_] = static_cast<char>(c);
            if (col_ == cols_ - 1) {
                wide_ = true;
                wrap_ = true;
            } else {
                col_++;
            }
        }
    }

    void csi(char final, std::vector<Frame>* frames) {
        if (final == 'H') {
            row_ = col_ = 0;
            wrap_ = false;
            drawing_ = true;
            scrolled_ = wide_ = false;
        } else if (final == 'K') {
            for (int k = col_; k < cols_; k++) grid_[row_][k] = ' ';
        } else if (final == 'J' && params_.empty()) {
            for (int k = col_; k < cols_; k++) grid_[row_][k] = ' ';
            for (int r = row_ + 1; r < rows_; r++) grid_[r].assign(cols_, ' ');
            // The end of a screen drawn whole since its "\033[H".
            if (drawing_) {
                Frame f;
                for (const std::string& r : grid_) f.rows.push_back(r.substr(0, r.find_last_not_of(' ') + 1));
                f.scrolled = scrolled_;
                f.too_wide = wide_;
                frames->push_back(f);
            }
            drawing_ = false;
        } else if (final == 'J' || (final == 'h' && params_ == "?1049") || (final == 'l' && params_ == "?1049")) {
            clear();
        }
    }

    int rows_, cols_;
    std::vector<std::string> grid_;
    int row_ = 0, col_ = 0;
    bool wrap_ = false, drawing_ = false, scrolled_ = false, wide_ = false;
    int state_ = 0;
    std::string params_;
};

// A screen fits when nothing went past its bottom or into its last column.
bool fits(const Frame& f) { return !f.scrolled && !f.too_wide; }

int header_row(const Frame& f) {
    for (size_t r = 0; r < f.rows.size(); r++)
        if (!f.rows[r].empty() && kHeader.compare(0, f.rows[r].size(), f.rows[r]) == 0) return static_cast<int>(r);
    return -1;
}

// The last line: the total, right after the rows, which is the last row of a full window.
std::string last_line(const Frame& f) {
    for (size_t r = f.rows.size(); r > 0; r--)
        if (!f.rows[r - 1].empty()) return f.rows[r - 1];
    return "";
}

// The row numbers listed, between the rule and the last line.
std::vector<int> ids(const Frame& f) {
    std::vector<int> out;
    int h = header_row(f);
    if (h < 0) return out;
    for (size_t r = static_cast<size_t>(h) + 2; r < f.rows.size() && f.rows[r].rfind("Total Numtags=", 0) != 0; r++)
        out.push_back(atoi(f.rows[r].substr(0, 4).c_str()));
    return out;
}

// The state lines as drawn, their rows joined.
std::string state_text(const Frame& f) {
    std::string text;
    for (int r = 0; r < header_row(f); r++) text += f.rows[static_cast<size_t>(r)] + "|";
    return text;
}

// Whether the last that the monitor wrote (read within the wait) gives the terminal back: the
// cursor shown again and the shell's screen.
bool given_back(Monitor& m) {
    const std::string end = "\033[?25h\033[?1049l";
    return wait_until(
        [&] {
            std::string out = m.output();
            return out.size() >= end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0;
        },
        kWaitMs);
}

class StatusTerminal : public StatusMonitor {
protected:
    // Waits for a screen drawn after the output's offset from on a window of rows by cols
    // that fits and satisfies the condition; returns it (no rows when none came).
    Frame wait_frame(size_t from, int rows, int cols, const std::function<bool(const Frame&)>& cond) {
        Frame found;
        wait_until(
            [&] {
                std::string out = monitor.output();
                if (from > out.size()) return false;
                Terminal term(rows, cols);
                for (const Frame& f : term.play(out.substr(from)))
                    if (header_row(f) >= 0 && cond(f)) {
                        found = f;
                        return true;
                    }
                return false;
            },
            kWaitMs);
        return found;
    }

    size_t mark() { return monitor.output().size(); }
};

TEST_F(StatusTerminal, AnEightyByTwentyFourScreenFitsAndPagesByKeys) {
    script(kWifi, published_now() + tags("W.Long.", 30, 250));
    script(kMpx, published_now() + tags("Rec", 50, 8));
    ASSERT_TRUE(monitor.start({}, 24, 80));
    Frame f = wait_frame(0, 24, 80, [](const Frame& fr) {
        return fr.rows[0].find("Numtags1=  30") != std::string::npos && state_text(fr).find("Numtags2=  50") != std::string::npos;
    });
    ASSERT_EQ(24u, f.rows.size()) << monitor.output();
    EXPECT_TRUE(fits(f));
    for (const std::string& r : f.rows) EXPECT_LE(r.size(), 79u) << r;

    // The state lines on top, wrapped so that the status and the age stay in sight.
    int h = header_row(f);
    ASSERT_GE(h, 2);
    EXPECT_LE(h, 4);
    EXPECT_NE(std::string::npos, f.rows[0].find(" WifiRemote State1=Numtags Numtags1=  30 Time=")) << f.rows[0];
    std::string states = state_text(f);
    size_t wifi_ok = states.find("Status1=OK"), mpx = states.find("MPExtended State2=Numtags Numtags2=  50");
    ASSERT_NE(std::string::npos, wifi_ok) << states;
    ASSERT_NE(std::string::npos, mpx) << states;
    EXPECT_LT(wifi_ok, mpx);
    EXPECT_NE(std::string::npos, states.find("Status2=OK")) << states;
    EXPECT_NE(std::string::npos, states.find(" s ago]|", mpx)) << states;
    EXPECT_EQ(kRule.substr(0, 79), f.rows[static_cast<size_t>(h) + 1]);

    // As many rows as fit, each cut at the width, then how many are not shown and the keys.
    std::vector<int> shown = ids(f);
    const int page = 24 - h - 3;
    ASSERT_EQ(static_cast<size_t>(page), shown.size());
    for (int i = 0; i < page; i++) EXPECT_EQ(i, shown[static_cast<size_t>(i)]);
    EXPECT_EQ(row(1, 1, 1, 9, "W.Long.01", text_of(1, 250)).substr(0, 79), f.rows[static_cast<size_t>(h) + 3]);
    EXPECT_EQ("Total Numtags=81  " + std::to_string(81 - page) + " not shown: j/k PgUp/PgDn Home/End, q quits",
              f.rows[23]);

    // Paging: a row down, a page down, the end, a page up, the start, the arrows.
    struct Step {
        std::string keys;
        int first;
    };
    const Step steps[] = {{"j", 1},          {"\033[6~", 1 + page}, {"G", 81 - page},     {"\033[5~", 81 - 2 * page},
                          {"\033[H", 0},     {"\033[B", 1},         {" ", 1 + page},      {"b", 1},
                          {"k", 0},          {"\033[4~", 81 - page}, {"g", 0}};
    for (const Step& step : steps) {
        size_t from = mark();
        ASSERT_TRUE(monitor.send(step.keys));
        Frame moved = wait_frame(from, 24, 80, [&](const Frame& fr) { return !ids(fr).empty() && ids(fr)[0] == step.first; });
        ASSERT_FALSE(moved.rows.empty()) << "after the keys " << step.keys.substr(step.keys[0] == '\033' ? 1 : 0);
        EXPECT_TRUE(fits(moved));
        std::vector<int> now_shown = ids(moved);
        ASSERT_EQ(static_cast<size_t>(page), now_shown.size());
        EXPECT_EQ(step.first + page - 1, now_shown.back());
    }

    // q ends the monitor and gives the terminal back: the shell's screen, the cursor, the
    // line editing and echo.
    ASSERT_TRUE(monitor.send("q"));
    int status = monitor.wait_end();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(given_back(monitor)) << monitor.output().substr(monitor.output().size() > 300 ? monitor.output().size() - 300 : 0);
    EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), monitor.local_mode() & (ICANON | ECHO));
}

TEST_F(StatusTerminal, ATwoHundredBySixtyScreenFitsAndFollowsAResize) {
    script(kWifi, published_now() + tags("Wifi.", 20, 10));
    script(kMpx, published_now() + tags("Rec", 100, 256));
    ASSERT_TRUE(monitor.start({}, 60, 200));
    Frame f = wait_frame(0, 60, 200, [](const Frame& fr) {
        return fr.rows[0].find("Numtags1=  20") != std::string::npos && fr.rows[1].find("Numtags2= 100") != std::string::npos;
    });
    ASSERT_EQ(60u, f.rows.size()) << monitor.output().substr(0, 3000);
    EXPECT_TRUE(fits(f));
    // Each state line in one row, the header and the whole rule, 55 rows, the last line.
    EXPECT_EQ(2, header_row(f));
    EXPECT_EQ(kRule, f.rows[3]);
    EXPECT_NE(std::string::npos, f.rows[0].find(" Status1=OK  [")) << f.rows[0];
    EXPECT_NE(std::string::npos, f.rows[1].find(" Status2=OK  [")) << f.rows[1];
    std::vector<int> shown = ids(f);
    ASSERT_EQ(55u, shown.size());
    EXPECT_EQ(54, shown.back());
    // Row 21, the first MPExtended tag, with its 256 characters cut at 199.
    EXPECT_EQ(row(21, 1, 1, 5, "Rec01", text_of(1, 256)).substr(0, 199), f.rows[4 + 21]);
    EXPECT_EQ("Total Numtags=121  66 not shown: j/k PgUp/PgDn Home/End, q quits", f.rows[59]);

    // Made smaller, the next screen fits the new size.
    size_t from = mark();
    ASSERT_TRUE(monitor.resize(24, 80));
    Frame small = wait_frame(from, 24, 80, [](const Frame& fr) { return fits(fr) && fr.rows[23].rfind("Total Numtags=121  ", 0) == 0; });
    ASSERT_EQ(24u, small.rows.size()) << monitor.output().substr(from, 4000);
    for (const std::string& r : small.rows) EXPECT_LE(r.size(), 79u) << r;
    EXPECT_NE(std::string::npos, small.rows[0].find(" WifiRemote State1=Numtags Numtags1=  20"));
    int page = static_cast<int>(ids(small).size());
    EXPECT_EQ(24 - header_row(small) - 3, page);
    EXPECT_EQ("Total Numtags=121  " + std::to_string(121 - page) + " not shown: j/k PgUp/PgDn Home/End, q quits",
              small.rows[23]);

    // And larger again: everything fits, and the last line says so.
    from = mark();
    ASSERT_TRUE(monitor.resize(150, 200));
    Frame large = wait_frame(from, 150, 200, [](const Frame& fr) { return fits(fr) && last_line(fr).rfind("Total Numtags=121  all", 0) == 0; });
    ASSERT_EQ(150u, large.rows.size()) << monitor.output().substr(from, 4000);
    EXPECT_EQ("Total Numtags=121  all shown; q quits", large.rows[2 + 2 + 121]);
    EXPECT_EQ(121u, ids(large).size());
}

TEST_F(StatusTerminal, FiltersOnTheFittedScreenAndCountTheMatches) {
    script(kWifi, published_now() + tags("Wifi.", 40, 10));
    script(kMpx, published_now() + tags("Rec", 30, 10) + tags("Recording", 3, 10));
    ASSERT_TRUE(monitor.start({"Recording", "Wifi.3"}, 24, 80));
    Frame f = wait_frame(0, 24, 80, [](const Frame& fr) { return last_line(fr).rfind("Total Numtags=74, 13 match", 0) == 0; });
    ASSERT_EQ(24u, f.rows.size()) << monitor.output().substr(0, 3000);
    EXPECT_TRUE(fits(f));
    EXPECT_EQ("Total Numtags=74, 13 match  all shown; q quits", f.rows[static_cast<size_t>(header_row(f)) + 2 + 13]);
    // Wifi.30 to Wifi.39 are rows 30 to 39, Recording01 to 03 rows 71 to 73; Rec01 to Rec30
    // (rows 41 to 70) begin with neither word.
    std::vector<int> expected = {30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 71, 72, 73};
    EXPECT_EQ(expected, ids(f));
}

TEST_F(StatusTerminal, SigtermAndCtrlCGiveTheTerminalBack) {
    script(kWifi, published_now());
    script(kMpx, published_now());
    ASSERT_TRUE(monitor.start({}, 24, 80));
    ASSERT_FALSE(wait_frame(0, 24, 80, [](const Frame&) { return true; }).rows.empty()) << monitor.output();
    EXPECT_EQ(0u, monitor.local_mode() & (ICANON | ECHO));
    monitor.send_signal(SIGTERM);
    int status = monitor.wait_end();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_TRUE(given_back(monitor)) << monitor.output().substr(monitor.output().size() > 300 ? monitor.output().size() - 300 : 0);
    EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), monitor.local_mode() & (ICANON | ECHO));
    monitor.end();

    Monitor second;
    ASSERT_TRUE(second.start({}, 24, 80));
    ASSERT_TRUE(wait_until([&] { return second.output().find("\033[J") != std::string::npos; }, kWaitMs));
    ASSERT_TRUE(second.send("\x03"));
    status = second.wait_end();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(SIGINT, WTERMSIG(status));
    EXPECT_TRUE(given_back(second));
    EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), second.local_mode() & (ICANON | ECHO));
}

// ---------------------------------------------------------------------------------------------
// A bridge whose program file was replaced while it runs.

TEST_F(StatusMonitor, ABridgeWhoseProgramFileWasReplacedStillCountsAsRunning) {
    script(kWifi, published_now() + "tag A 1 0 a\n");
    script(kMpx, published_now() + "tag B 1 0 b\n");
    const std::string file = std::string(kWifi) + VP_EXE;
    run_bridge(kWifi, file);
    long pid = started(kWifi)[0];
    // A rebuild or an upgrade: a new file under the same name, the old one gone.
    fs::copy_file(VISTREL_STATUS_STANDIN, file + ".new");
    fs::rename(file + ".new", file);
    char link[64], target[1024] = {};
    snprintf(link, sizeof link, "/proc/%ld/exe", pid);
    ASSERT_GT(readlink(link, target, sizeof target - 1), 0);
    ASSERT_NE(std::string::npos, std::string(target).find(" (deleted)")) << target;

    char path[1024];
    ASSERT_EQ(0, vp_proc_image(static_cast<uint32_t>(pid), path, sizeof path));
    EXPECT_EQ((fs::canonical(fs::current_path()) / file).string(), path);

    ASSERT_TRUE(monitor.start());
    ASSERT_FALSE(wait_screen([](const Screen& sc) { return has_total(sc, 3); }).empty()) << monitor.output();
    ASSERT_TRUE(wait_screens(2));
    // The WifiRemote bridge was not started a second time; the absent one was.
    EXPECT_EQ(1u, started(kWifi).size());
    EXPECT_EQ(1u, started(kMpx).size());
}

TEST_F(StatusMonitor, AProgramFileNamedLikeAReplacedOneKeepsItsName) {
    // The name really ends in " (deleted)" and the file is there: the path is the file's.
    const std::string file = "Vistrel_Odd (deleted)";
    fs::copy_file(VISTREL_STATUS_STANDIN, file);
    long pid = vp_spawn_detached(file.c_str(), kMpx);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_until([&] { return started(kMpx).size() == 1; }, kWaitMs));
    char path[1024];
    ASSERT_EQ(0, vp_proc_image(static_cast<uint32_t>(pid), path, sizeof path));
    EXPECT_EQ((fs::canonical(fs::current_path()) / file).string(), path);
}
#endif

}  // namespace
