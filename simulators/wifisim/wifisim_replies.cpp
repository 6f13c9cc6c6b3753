// wifisim_replies.cpp - the simulator's messages: welcome, status, now playing, properties, credentials.
#include <cstdio>
#include <cstring>

#include "wifisim.h"

namespace {

// Values of the properties that the simulated player knows; any other name is answered empty,
// as the plug-in answers a property that the media centre does not have.
struct Property {
    const char* name;
    const char* value;
};
constexpr Property kProperties[] = {
    {"#Play.Current.Title", "Evening News"},
    {"#Play.Current.Channel", "BBC One"},
    {"#Play.Current.Genre", "News"},
    {"#Play.Current.Plot", "The day's national and international news."},
    {"#Play.Current.Year", "2026"},
    {"#TV.View.channel", "BBC One"},
    {"#TV.View.title", "Evening News"},
    {"#TV.View.genre", "News"},
};
constexpr int kProgrammeSeconds = 1800;

// Copies the JSON string value of the first member named key (quotes included in key, as
// "\"User\":\"") into out, undoing \" and \\. Returns false when there is no such member.
bool string_member(const char* text, const char* key, char* out, int size) {
    const char* p = strstr(text, key);
    if (!p) return false;
    p += strlen(key);
    int n = 0;
    for (; *p && *p != '"'; p++) {
        if (*p == '\\' && p[1]) p++;
        if (n < size - 1) out[n++] = *p;
    }
    out[n] = '\0';
    return *p == '"';
}

bool equals(const char* text, const char* key, const char* expected) {
    char value[1024];
    return string_member(text, key, value, sizeof value) && strcmp(value, expected) == 0;
}

}  // namespace

void sim_welcome(char* out, int size) {
    snprintf(out, static_cast<size_t>(size), "{\"Type\":\"welcome\",\"Server_Version\":14,\"AuthMethod\":%s}",
             sim.auth);
}

void sim_status(char* out, int size) {
    snprintf(out, static_cast<size_t>(size),
             "{\"Type\":\"status\",\"IsPlaying\":true,\"IsPaused\":false,\"IsPlayerOnTop\":true,"
             "\"Title\":\"Evening News\",\"CurrentModule\":\"TV\",\"SelectedItem\":\"BBC One\"}");
}

// The programme started 100 s before the simulator did and plays on in real time. Its file name
// holds letters beyond ASCII, in UTF-8, and backslashes, escaped as the plug-in sends them.
void sim_nowplaying(char* out, int size) {
    long long position = (sim_ms() / 1000 + 100) % kProgrammeSeconds;
    snprintf(out, static_cast<size_t>(size),
             "{\"Type\":\"nowplaying\",\"Duration\":%d,\"File\":\"D:\\\\TV\\\\Tagesschau \xE2\x80\x93 K\xC3\xB6ln & Z\xC3\xBCrich.ts\","
             "\"Position\":%lld,\"Speed\":1,\"MediaInfo\":{\"MediaType\":\"tv\",\"ChannelId\":12,"
             "\"ChannelName\":\"BBC One\",\"CurrentProgram\":{\"Id\":4711,\"Title\":\"Evening News\","
             "\"StartTime\":\"2026-12-07T18:00:00\",\"Duration\":%d},\"NextProgram\":{\"Id\":4712,"
             "\"Title\":\"Weather\",\"Duration\":600}}}",
             kProgrammeSeconds, position, kProgrammeSeconds);
}

void sim_properties_reply(const char* request, char* out, int size) {
    char* end = out + size;
    char* p = out;
    p += snprintf(p, static_cast<size_t>(end - p), "{\"Type\":\"properties\",\"Tags\":[");
    const char* list = strstr(request, "\"Properties\":[");
    const char* q = list ? list + 14 : "";
    bool first = true;
    char name[256];
    // Each requested name is a quoted string; the list ends at "]".
    while (*q && *q != ']' && end - p > 1) {
        if (*q != '"') {
            q++;
            continue;
        }
        int n = 0;
        for (q++; *q && *q != '"'; q++)
            if (n < static_cast<int>(sizeof name) - 1) name[n++] = *q;
        name[n] = '\0';
        if (*q == '"') q++;
        const char* value = "";
        for (const Property& prop : kProperties)
            if (strcmp(prop.name, name) == 0) value = prop.value;
        p += snprintf(p, static_cast<size_t>(end - p), "%s{\"Tag\":\"%s\",\"Value\":\"%s\"}",
                      first ? "" : ",", name, value);
        if (p >= end) p = end - 1;
        first = false;
    }
    snprintf(p, static_cast<size_t>(end - p), "]}");
}

bool sim_properties_reply_of(const char* request, int bytes, char* out, int size) {
    sim_properties_reply(request, out, size);
    int len = static_cast<int>(strlen(out));
    // The filler goes in before the closing brace: ,"Filler":"xx...x" and the line end after.
    const char head[] = ",\"Filler\":\"";
    int fill = bytes - 2 - len - static_cast<int>(sizeof head - 1) - 1;
    if (fill < 0 || bytes >= size || out[len - 1] != '}') return false;
    char* p = out + len - 1;
    memcpy(p, head, sizeof head - 1);
    p += sizeof head - 1;
    memset(p, 'x', static_cast<size_t>(fill));
    p += fill;
    memcpy(p, "\"}", 3);
    return static_cast<int>(strlen(out)) + 2 == bytes;
}

bool sim_identify_ok(const char* identify) {
    bool userpass = strstr(identify, "\"AuthMethod\":\"userpass\"") != nullptr;
    bool by_password = userpass && equals(identify, "\"User\":\"", sim.user) &&
                       equals(identify, "\"Password\":\"", sim.password);
    switch (sim.auth[0]) {
        case '0': return true;
        case '1': return by_password;
        case '2':
            return strstr(identify, "\"AuthMethod\":\"passcode\"") != nullptr &&
                   equals(identify, "\"PassCode\":\"", sim.passcode);
        case '3': return by_password || equals(identify, "\"passcode\":\"", sim.passcode);
        default: return false;
    }
}

void sim_type_of(const char* message, char* out, int size) {
    out[0] = '\0';
    if (!string_member(message, "\"Type\":\"", out, size)) out[0] = '\0';
}
