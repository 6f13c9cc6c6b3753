// wifisim_main.cpp - vistrel_wifisim: a loopback server that plays the remote-control plug-in.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_words.h"
#include "sim_chaos.h"
#include "sim_files.h"
#include "wifisim.h"

SimOptions sim;

namespace {

constexpr char kHelp[] =
    "vistrel_wifisim - a loopback stand-in for the media centre's remote-control plug-in.\n"
    "\n"
    "Listens on 127.0.0.1, serves one connection at a time and takes the next when it ends.\n"
    "Speaks JSON, one object per line ending in CR LF: sends a welcome with an AuthMethod,\n"
    "checks the identify message's credentials and answers with an authenticationresponse\n"
    "(and a status message), answers properties requests with Tag/Value lists, requeststatus\n"
    "with a status message and requestnowplaying with a now-playing item whose Position\n"
    "advances with time. It runs until it is terminated.\n"
    "\n"
    "Options (words may also come in one argument, separated by blanks):\n"
    "  --port N           port to listen on (8017); 0 takes a free one\n"
    "  --port-file FILE   write the port listened on to FILE\n"
    "  --auth C           the text after \"AuthMethod\": in the welcome (0; 1 user and password,\n"
    "                     2 passcode, 3 either)\n"
    "  --user U, --password P, --passcode C   credentials expected (Guest, mabrotex, 4826)\n"
    "  --cfg FILE         take the credentials from a bridge settings file (plugins/MP.cfg):\n"
    "                     WifiRemote_UserName=, WifiRemote_Password=, WifiRemote_Passcode=\n"
    "  --welcome-file F   send the first line of F as the welcome instead\n"
    "  --extra-file F     send every line of F as a message after the authenticationresponse\n"
    "  --journal FILE     append a line per event: milliseconds, ACCEPT/RECV/SEND/AUTH/SPLIT/\n"
    "                     CLOSE, text\n"
    "  --raw FILE         append every byte received\n"
    "Misbehaviour on demand:\n"
    "  --auth-delay MS    hold the authenticationresponse back for MS\n"
    "  --chatter MS       send an unasked status message every MS (2000; 0: never)\n"
    "  --split MS         send every message in two halves, MS apart\n"
    "  --glue             send all messages of one answer in one send\n"
    "  --lead-crlf        begin every send with CR LF\n"
    "  --garbage          after the welcome, send a line that is no JSON and a message whose\n"
    "                     first member is not Type\n"
    "  --close-after N    close the first connection once N messages have been sent on it\n"
    "  --exact N          answer the first properties request of a connection with one message\n"
    "                     of exactly N bytes, line end included (the reply grown by a Filler\n"
    "                     member), in one send; the authenticationresponse and its status go\n"
    "                     in one send before it, and no unasked message follows for 30 s\n"
    "  --quiet MS         once the first connection has its properties reply, answer nothing and\n"
    "                     send nothing for MS (the requests are read and journaled), then go on\n"
    "  --stop-reading     once the first connection has its properties reply, read nothing more\n"
    "                     on it: authenticationresponse messages follow without pause, each\n"
    "                     making the bridge send its properties requests again, until it can\n"
    "                     send no more; each of these sends gives up after 200 ms, and the\n"
    "                     connection is held, unread, until the bridge closes it\n"
    "  --help             this text\n";

FILE* journal_file = nullptr;
FILE* raw_file = nullptr;
double started = 0;

// The command's words: a starter may pass the whole command as one argument, even as
// argument 0 together with the program's name. The options begin at the first word that
// begins with "--"; the words before it name the program.
CommandWords words;
int first_option = 0;

void copy_option(char* dest, size_t size, const char* value) { snprintf(dest, size, "%s", value); }

int number(const char* value) { return atoi(value); }

// Returns false for an unknown option or one without its value.
bool parse_options() {
    for (int i = first_option; i < words.count(); i++) {
        const char* w = words[i];
        const char* v = i + 1 < words.count() ? words[i + 1] : nullptr;
        bool takes_value = true;
        if (strcmp(w, "--glue") == 0) sim.glue = true, takes_value = false;
        else if (strcmp(w, "--lead-crlf") == 0) sim.lead_crlf = true, takes_value = false;
        else if (strcmp(w, "--garbage") == 0) sim.garbage = true, takes_value = false;
        else if (strcmp(w, "--stop-reading") == 0) sim.stop_reading = true, takes_value = false;
        else if (!v) return false;
        else if (strncmp(w, "--chaos", 7) == 0) {
            bool handled = false;
            if (!chaos_option(w, v, &handled)) return false;
        }
        else if (strcmp(w, "--port") == 0) sim.port = number(v);
        else if (strcmp(w, "--port-file") == 0) sim.port_file = v;
        else if (strcmp(w, "--auth") == 0) copy_option(sim.auth, sizeof sim.auth, v);
        else if (strcmp(w, "--user") == 0) copy_option(sim.user, sizeof sim.user, v);
        else if (strcmp(w, "--password") == 0) copy_option(sim.password, sizeof sim.password, v);
        else if (strcmp(w, "--passcode") == 0) copy_option(sim.passcode, sizeof sim.passcode, v);
        else if (strcmp(w, "--cfg") == 0) { if (!sim_read_credentials(v)) return false; }
        else if (strcmp(w, "--welcome-file") == 0) sim.welcome_file = v;
        else if (strcmp(w, "--extra-file") == 0) sim.extra_file = v;
        else if (strcmp(w, "--journal") == 0) sim.journal = v;
        else if (strcmp(w, "--raw") == 0) sim.raw = v;
        else if (strcmp(w, "--auth-delay") == 0) sim.auth_delay_ms = number(v);
        else if (strcmp(w, "--chatter") == 0) sim.chatter_ms = number(v);
        else if (strcmp(w, "--split") == 0) sim.split_ms = number(v);
        else if (strcmp(w, "--close-after") == 0) sim.close_after = number(v);
        else if (strcmp(w, "--quiet") == 0) sim.quiet_ms = number(v);
        else if (strcmp(w, "--exact") == 0) sim.exact_bytes = number(v);
        else return false;
        if (takes_value) i++;
    }
    return true;
}

// The value word behind a key at the start of a settings line, as the bridge reads it.
void credential(const char* line, const char* key, char* dest, size_t size) {
    size_t klen = strlen(key);
    if (strncmp(line, key, klen) != 0) return;
    const char* v = line + klen;
    while (*v == ' ' || *v == '\t') v++;
    size_t len = strcspn(v, " \t\r\n");
    if (len == 0 || len >= size) return;
    memcpy(dest, v, len);
    dest[len] = '\0';
}

}  // namespace

long long sim_ms() { return static_cast<long long>((vp_process_seconds() - started) * 1000.0); }

void sim_journal(const char* event, const char* text) {
    if (!journal_file) return;
    // The text may be a client's line: any local program may connect and send anything.
    std::string shown = sim_escaped(text, strlen(text));
    fprintf(journal_file, "%lld %s %s\n", sim_ms(), event, shown.c_str());
    fflush(journal_file);
}

void sim_raw(const char* data, int len) {
    if (!raw_file) return;
    fwrite(data, 1, static_cast<size_t>(len), raw_file);
    fflush(raw_file);
}

bool sim_read_credentials(const char* path) {
    FILE* f = fopen(path, "r");
    if (!f) return false;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        credential(line, "WifiRemote_UserName=", sim.user, sizeof sim.user);
        credential(line, "WifiRemote_Password=", sim.password, sizeof sim.password);
        credential(line, "WifiRemote_Passcode=", sim.passcode, sizeof sim.passcode);
    }
    fclose(f);
    return true;
}

int main(int argc, char** argv) {
    started = vp_process_seconds();
    words.split(argc, argv);
    while (first_option < words.count() && strncmp(words[first_option], "--", 2) != 0) first_option++;
    for (int i = first_option; i < words.count(); i++) {
        if (strcmp(words[i], "--help") == 0) {
            fputs(kHelp, stdout);
            fputs(kChaosHelp, stdout);
            return 0;
        }
    }
    if (!parse_options()) {
        fputs("vistrel_wifisim: unknown option or missing value; --help lists them\n", stderr);
        return 2;
    }
    if (sim.journal) journal_file = sim_open_file("vistrel_wifisim", sim.journal, false, true);
    if (sim.raw) raw_file = sim_open_file("vistrel_wifisim", sim.raw, false, true);
    if (vp_net_start() != 0) {
        fputs("vistrel_wifisim: the socket library cannot be started\n", stderr);
        return 1;
    }
    int port = 0;
    vp_socket listener = vp_listen_loopback(sim.port, &port);
    if (listener == VP_INVALID_SOCKET) {
        fprintf(stderr, "vistrel_wifisim: cannot listen on 127.0.0.1:%d\n", sim.port);
        return 1;
    }
    char text[32];
    snprintf(text, sizeof text, "%d", port);
    sim_journal("LISTEN", text);
    // Written under another name and renamed, so that a reader never sees half a number.
    if (sim.port_file) sim_write_whole("vistrel_wifisim", sim.port_file, std::to_string(port) + "\n");
    printf("vistrel_wifisim listening on 127.0.0.1:%d\n", port);
    fflush(stdout);
    for (int number = 1;; number++) {
        vp_socket s = vp_accept(listener);
        if (s == VP_INVALID_SOCKET) {
            vp_sleep_ms(100);
            continue;
        }
        sim_session(s, number);
        if (long ms = sim_take_refusal(); ms > 0) {
            // Nobody listens for a while: the bridge's connects are refused until it is back.
            snprintf(text, sizeof text, "%ld ms", ms);
            sim_journal("REFUSE", text);
            vp_close_socket(listener);
            vp_sleep_ms(static_cast<unsigned>(ms));
            while ((listener = vp_listen_loopback(port, &port)) == VP_INVALID_SOCKET) vp_sleep_ms(200);
            sim_journal("LISTEN", "again");
        }
    }
}
