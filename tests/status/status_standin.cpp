// status_standin.cpp - a stand-in for a bridge: publishes a chosen block under the bridge's name.
//
// Copied under a bridge's program name and started by the monitor (or by a test), it takes the
// bridge from the words of its arguments (the first word that holds "Vistrel_WIFIRemote" or
// "Vistrel_MPExtended", as the monitor's argument 0 ">Vistrel_WIFIRemote.log2" does), appends
// its process id to <bridge>.started in the working directory, and then follows the script
// <bridge>.standin there: whenever the file changes, the block is written afresh from it. Until
// the script exists the block is neither opened nor touched. Script lines:
//   state TEXT                 the state word: its first 8 bytes, zero-padded
//   count N                    the header's count (default: the number of tags)
//   status TEXT                the status line
//   time N                     the header's time
//   tag NAME TYPE IVAL [TEXT]  one tag
//   fill N                     N tags Fill.0001 ... of type 0 with ival i and text "Value i"
//   marker TEXT                the text encoding marker in the block's last 64 bytes
// TEXT and NAME take \xHH for any byte. The tags are written before the header, so a reader
// that sees a new count finds its tags in place.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_words.h"
#include "mp_tags.h"
#include "vistrel_reader.h"
#include "vp.h"

namespace {

CommandWords words;
char script[1 << 20];
char applied[1 << 20];
MP_TagEntry table[MP_TABLE_SIZE];
void* view = nullptr;

// Decodes \xHH escapes into out (at most size - 1 bytes); returns the length.
size_t unescape(const char* in, char* out, size_t size) {
    size_t n = 0;
    for (const char* p = in; *p && n + 1 < size; p++) {
        if (p[0] == '\\' && p[1] == 'x' && p[2] && p[3]) {
            char hex[3] = {p[2], p[3], '\0'};
            out[n++] = static_cast<char>(strtoul(hex, nullptr, 16));
            p += 3;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
    return n;
}

void set_tag(int i, const char* name, int type, int ival, const char* text) {
    MP_TagEntry& t = table[i];
    memset(&t, 0, sizeof t);
    size_t len = unescape(name, t.name, sizeof t.name);
    t.len = static_cast<int32_t>(len);
    t.type = type;
    t.ival = ival;
    unescape(text, t.string, 257);
}

// Writes the block from the script.
void publish() {
    memset(table, 0, sizeof table);
    int tags = 0;
    int count = 0;
    bool counted = false;
    char marker[64] = {};
    char line[1024];
    const char* p = script;
    while (*p) {
        size_t n = strcspn(p, "\r\n");
        if (n >= sizeof line) n = sizeof line - 1;
        memcpy(line, p, n);
        line[n] = '\0';
        p += strcspn(p, "\n");
        if (*p) p++;
        char* rest = strchr(line, ' ');
        if (rest) *rest++ = '\0';
        else rest = line + strlen(line);
        if (strcmp(line, "state") == 0) {
            char word[16] = {};
            unescape(rest, word, sizeof word);
            memcpy(table[0].name, word, 8);
        } else if (strcmp(line, "count") == 0) {
            count = atoi(rest);
            counted = true;
        } else if (strcmp(line, "status") == 0) {
            unescape(rest, table[0].string, 257);
        } else if (strcmp(line, "time") == 0) {
            table[0].time = static_cast<int32_t>(strtol(rest, nullptr, 10));
        } else if (strcmp(line, "tag") == 0 && tags < MP_MAXTAGS) {
            char name[128] = {}, text[600] = {};
            int type = 0, ival = 0;
            int used = 0;
            if (sscanf(rest, "%127s %d %d %n", name, &type, &ival, &used) >= 3) {
                snprintf(text, sizeof text, "%s", rest + used);
                set_tag(++tags, name, type, ival, text);
            }
        } else if (strcmp(line, "marker") == 0) {
            unescape(rest, marker, sizeof marker);
        } else if (strcmp(line, "fill") == 0) {
            int n_fill = atoi(rest);
            for (int i = 1; i <= n_fill && tags < MP_MAXTAGS; i++) {
                char name[32], text[32];
                snprintf(name, sizeof name, "Fill.%04d", i);
                snprintf(text, sizeof text, "Value %d", i);
                set_tag(++tags, name, MP_TYPE_INT, i, text);
            }
        }
    }
    table[0].len = counted ? count : tags;
    unsigned char* block = static_cast<unsigned char*>(view);
    memcpy(block + sizeof(MP_TagEntry), &table[1], static_cast<size_t>(tags) * sizeof(MP_TagEntry));
    memcpy(block, &table[0], sizeof(MP_TagEntry));
    memcpy(block + MP_BLOCK_SIZE - sizeof marker, marker, sizeof marker);
}

bool read_script(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    size_t n = fread(script, 1, sizeof script - 1, f);
    fclose(f);
    script[n] = '\0';
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    words.split(argc, argv);
    const char* bridge = nullptr;
    for (int i = 0; i < words.count() && bridge == nullptr; i++) {
        if (strstr(words[i], "Vistrel_WIFIRemote")) bridge = "Vistrel_WIFIRemote";
        if (strstr(words[i], "Vistrel_MPExtended")) bridge = "Vistrel_MPExtended";
    }
    if (bridge == nullptr) return 64;

    // The block of this run, as the bridge's own name with the run's suffix.
    char name[VR_NAME_MAX];
    if (vr_block_name(name, sizeof name, bridge) != 0) return 68;
    char path[128];
    bool told = false;
    for (;;) {
        snprintf(path, sizeof path, "%s.standin", bridge);
        if (read_script(path) && strcmp(script, applied) != 0) {
            if (view == nullptr) {
                vp_shm handle;
                if (vp_shm_open(name, MP_BLOCK_SIZE, &handle) != 0) return 65;
                if (vp_shm_map(handle, MP_BLOCK_SIZE, 1, &view) != 0) return 66;
                vp_serve_mark(name);
            }
            publish();
            memcpy(applied, script, sizeof applied);
        }
        // The start is told once a script that was there at the start has been published, so
        // that a stand-in that a test runs ahead of the monitor already serves its block.
        if (!told) {
            snprintf(path, sizeof path, "%s.started", bridge);
            FILE* f = fopen(path, "ab");
            if (f == nullptr) return 67;
            fprintf(f, "%u\n", static_cast<unsigned>(vp_getpid()));
            fclose(f);
            told = true;
        }
        vp_sleep_ms(20);
    }
}
