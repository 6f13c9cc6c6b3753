// tvsim_main.cpp - vistrel_tvsim: a loopback simulator of the TV service for the MPExtended bridge.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_words.h"
#include "sim_chaos.h"
#include "tvsim.h"

namespace {

constexpr char kHelp[] = R"(vistrel_tvsim - a simulator of the TV service that the MPExtended bridge polls.

It listens on 127.0.0.1 only, speaks HTTP/1.1 on one persistent connection at a time, checks
the Basic credentials of every request, and answers the bridge's two requests:
  GET /MpExtended/TVAccessService/json/GetRecordings?sort=3&order=1   the recordings list
  GET /MpExtended/TVAccessService/json/GetChannelBasicById?channelId=N  one channel
Wrong credentials get 401 with an empty body, other paths 404.

Options:
  --port N          port to listen on (default 4322; 0 picks a free one)
  --port-file FILE  write the port in use to FILE (one line), once listening
  --scenario FILE   read content and misbehaviour from FILE (lines as below)
  --log FILE        append the event lines (also on standard output) to FILE:
                    "<ms since start> accept|request|answer|piece|channel|stall|close ..."
  --requests FILE   append every request, byte for byte, to FILE
  --lifetime S      end after S seconds (default: run until ended)
  --user NAME       user name expected (default admin)
  --password PW     password expected (default the bridge's built-in one)
  --help            this text

Without recording lines the default list is served: five recordings, the first in progress
since half an hour ago on channel 5, titles with accented letters, objects of 23 members
with "Description" first and dates as "\/Date(milliseconds+0100)\/". Channels 1 to 7 have
names (BBC One, Arte, ZDF, ORF 1, Das Erste, RTL, France 2); any other is "Channel N".

Scenario lines ("#" begins a comment; times are seconds from the moment of the answer):
  user NAME | password PW
  recording START END yes|no CHANNEL TITLE   a recording; yes = in progress
  generate N                                 N past recordings, none in progress
  library N [in-progress K] [series all|none|EVERY] [short]
                                             N generated recordings shaped like the service's
                                             own: newest first, the K in progress at the head
                                             (default 0), descriptions of 300 to 1,500
                                             characters with accented letters ("short": one
                                             line), every EVERY-th a series episode with its
                                             five episode members filled (default 8; all: every
                                             one; none: no one), on channels 1 to 7. The same
                                             line always gives the same recordings.
  empty-list                                 the list is "[]"
  list K BODY                                BODY as the body of the K-th answer (any "on K"
                                             action applies to it)
  channel ID NAME                            a channel's name; without NAME the answer is empty
  channel-pad ID BYTES                       that channel's answer is at least BYTES long
  channel-stall ID                           that channel's answers stop in the middle: half
                                             of the answer, then nothing more
  on K|* ACTION                              the answer to the K-th recordings request (from 1;
                                             * for every one without a line of its own):
     normal                 the plain answer
     split N MS [mid]       the body in N pieces with MS ms between them; "mid" cuts inside
                            multi-byte characters where it can
     no-length              no Content-Length header
     length TEXT            "Content-Length: TEXT" instead of the true count
     pad BYTES              the body grown to at least BYTES bytes (still a valid list)
     total BYTES            the whole answer, status line and headers included, exactly
                            BYTES bytes (still a valid list), in one send
     body TEXT              TEXT as the whole body
     split-at A,B,... MS    the body cut at those byte offsets, MS ms between the pieces
     cut BYTES close|stall  the header announcing the whole body, then its first BYTES
                            bytes, then a close, or nothing more
     continue               an interim "100 Continue" answer ahead of the answer
     close                  close the connection without an answer
     close-mid              send half of the answer, then close
     stall                  never answer (until the client closes)
     stall-mid              send half of the answer, then nothing more
     stop-reading           send the answer, then read nothing more: unasked answers with
                            an empty list follow, a few every millisecond, so that a client
                            that polls without pause goes on sending until the system's
                            buffers are full (on Linux loopback tens of megabytes of
                            requests); each of these sends gives up after 200 ms, and the
                            connection is held, unread, until the client closes it or the
                            lifetime ends

Example, the demo:  vistrel_tvsim --port 4322
Example, a test:    vistrel_tvsim --port 0 --port-file port.txt --scenario s.txt --lifetime 120
)";

// Options come as separate arguments from a shell, or as one argument from a starter that
// passes the whole command as argument 0; the words are the same either way.
CommandWords words;

bool need(int i) {
    if (i < words.count()) return true;
    fprintf(stderr, "vistrel_tvsim: %s needs a value\n", words[i - 1]);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    words.split(argc, argv);
    Scenario scenario;
    ServerOptions options;
    std::string scenario_path;
    std::string user, password;
    bool have_user = false, have_password = false;
    // The first words name the program; the options begin at the first "--" word.
    int i = 0;
    while (i < words.count() && strncmp(words[i], "--", 2) != 0) i++;
    for (; i < words.count(); i++) {
        std::string w = words[i];
        if (w == "--help" || w == "-h") {
            fputs(kHelp, stdout);
            fputs(kChaosHelp, stdout);
            return 0;
        }
        bool chaos_handled = false;
        if (w.compare(0, 7, "--chaos") == 0) {
            if (!need(++i)) return 2;
            if (!chaos_option(w.c_str(), words[i], &chaos_handled) || !chaos_handled) {
                fprintf(stderr, "vistrel_tvsim: bad option or value %s %s (see --help)\n", w.c_str(), words[i]);
                return 2;
            }
            continue;
        }
        if (w != "--port" && w != "--port-file" && w != "--scenario" && w != "--log" &&
            w != "--requests" && w != "--lifetime" && w != "--user" && w != "--password") {
            fprintf(stderr, "vistrel_tvsim: unknown option %s (see --help)\n", w.c_str());
            return 2;
        }
        if (!need(++i)) return 2;
        std::string v = words[i];
        if (w == "--port") options.port = atoi(v.c_str());
        if (w == "--port-file") options.port_file = v;
        if (w == "--scenario") scenario_path = v;
        if (w == "--log") options.log_file = v;
        if (w == "--requests") options.requests_file = v;
        if (w == "--lifetime") options.lifetime_s = atoi(v.c_str());
        if (w == "--user") user = v, have_user = true;
        if (w == "--password") password = v, have_password = true;
    }
    if (options.port < 0 || options.port > 65535) {
        fprintf(stderr, "vistrel_tvsim: port out of range 0-65535\n");
        return 2;
    }
    std::string error;
    if (!scenario_path.empty() && !scenario_file(scenario, scenario_path, error)) {
        fprintf(stderr, "vistrel_tvsim: %s\n", error.c_str());
        return 2;
    }
    if (have_user) scenario.user = user;
    if (have_password) scenario.password = password;
    scenario_default(scenario);
    return run_server(scenario, options);
}
