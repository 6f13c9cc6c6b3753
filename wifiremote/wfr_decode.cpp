// wfr_decode.cpp - splits received blocks into message lines, flattens each and finds its Type.
#include <cstdio>
#include <cstring>

#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "mp_tcp.h"
#include "mp_text.h"
#include "wfr.h"

namespace {

// The line being handled. Between blocks it holds the incomplete last line of the previous
// block (line_len characters), which the next block completes.
char line[WFR_RECEIVE_CAPACITY + 1];
int line_len = 0;
// The characters of the line's tokens, and whether every part of the line came cleaned, with
// them: a block decoded as it was received (by tests) holds raw UTF-8 instead.
MP_TextPoint line_points[WFR_RECEIVE_CAPACITY + 1];
bool line_cleaned = true;
// Set while the rest of a line that outgrew the line buffer is passed over, up to its end.
bool skipping = false;
char type_buffer[WFR_TYPE_MAX + 1];
// The Type value escaped, as the label of the line that logs its message.
char type_label[MP_LOG_LABEL_MAX + 1];
// The identify message being built.
char identify[WFR_IDENTIFY_SIZE];

bool line_end(char c) { return c == '\r' || c == '\n'; }

// Whether a line without its line end may still grow into a complete object: it begins with
// "{" and its braces, outside strings, are not all closed yet. Anything else is handled as it
// stands, as a complete object without a line end is.
bool still_open(const char* text, int len) {
    if (len == 0 || text[0] != '{') return false;
    int depth = 0;
    bool in_string = false;
    for (int i = 0; i < len; i++) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') i++;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{') {
            depth++;
        } else if (c == '}') {
            depth--;
        }
    }
    return in_string || depth > 0;
}

// Finds the Type of a line and acts on it.
int decode_type(const char* text, char* why, size_t size) {
    int brace = strfind(text, '{', 0);
    if (brace == 0) return WFR_GO_ON;
    int quote = strfind(text, '"', brace);
    if (quote == 0) return WFR_GO_ON;
    // quote is one past the member name's opening quote: the name itself starts there.
    if (strncmp(text + quote, "Type", 4) != 0) {
        MP_errlog("**** Unhandled", "Message does not contain type");
        return WFR_GO_ON;
    }
    int colon = strfind(text, ':', quote);
    if (colon == 0) return WFR_GO_ON;
    int open = strfind(text, '"', colon);
    if (open == 0) return WFR_GO_ON;
    int close = strfind(text, '"', open);
    if (close == 0) return WFR_GO_ON;
    // The value runs from index open up to the closing quote at index close - 1.
    int len = close - 1 - open;
    if (len > WFR_TYPE_MAX) {
        // Only the first characters decide what is done; the rest cannot change it.
        MP_errlogf("**** Unhandled", "Type value of %d characters cut to %d", len, WFR_TYPE_MAX);
        len = WFR_TYPE_MAX;
    }
    memcpy(type_buffer, text + open, static_cast<size_t>(len));
    type_buffer[len] = '\0';
    return MP_WififRemote_Decode_Message(type_buffer, text + close, why, size);
}

// Whether a line holds a message to flatten: it begins with an object, or stray bytes lead a
// message that names its Type first. Anything else is the tail of a message that a stray line
// end cut off. Flattening starts at the first "{" of a line, which in such a tail opens a nested
// object, so its members would be stored under names without their enclosing member
// (ChannelName for MediaInfo.ChannelName): tags that no later message corrects or removes.
// A token stands where Raw has a blank, and counts as one.
bool holds_message(const char* text, bool tokens) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || (tokens && MP_text_is_token(*p))) p++;
    if (*p == '{') return true;
    const char* brace = strchr(p, '{');
    return brace != nullptr && strncmp(brace + 1, "\"Type\"", 6) == 0;
}

// One complete line: logged, flattened whatever its type, then acted on. Returns the outcome of
// acting on it.
int handle_line(const char* prefix, char* why, size_t size) {
    line[line_len] = '\0';
    size_t len = static_cast<size_t>(line_len);
    bool cleaned = line_cleaned;
    line_len = 0;
    line_cleaned = true;
    MP_log_untrusted(1, prefix, line, len);
    if (!holds_message(line, cleaned && MP_text_readable())) {
        MP_errlog("**** Unhandled", "Line is not a message; nothing of it is stored");
        return WFR_GO_ON;
    }
    {
        MP_TextNamed named(cleaned ? line : nullptr, line_points, static_cast<int>(len));
        MP_Parse(prefix, line);
    }
    MP_logl(3, "Now decoding", "line");
    return decode_type(line, why, size);
}

// Adds n characters of the block to the line; what does not fit is dropped up to the line's
// end, and the part that fits is handled as the line.
// The block's tokens' characters go with it (points is null for a block that was not cleaned).
// Returns the outcome of the line handled, WFR_GO_ON when none was.
int extend_line(const char* prefix, const char* from, const MP_TextPoint* points, int n, char* why, size_t size) {
    if (points == nullptr) line_cleaned = false;
    int room = WFR_RECEIVE_CAPACITY - line_len;
    if (n > room) {
        MP_errlogf(prefix, "Line longer than %d characters; the rest of it is dropped",
                   WFR_RECEIVE_CAPACITY);
        MP_text_copy(line + line_len, line_points + line_len, from, points, room);
        line_len = WFR_RECEIVE_CAPACITY;
        skipping = true;
        return handle_line(prefix, why, size);
    }
    MP_text_copy(line + line_len, line_points + line_len, from, points, n);
    line_len += n;
    return WFR_GO_ON;
}

// Decodes the lines of a block until its end, or until a message gives the connection up: the
// rest of the block then belongs to a conversation that has ended and is not decoded.
int decode(const char* prefix, const char* text, const MP_TextPoint* points, char* why, size_t size) {
    int p = 0;
    for (;;) {
        // A new line starts behind line ends; a kept line or a skipped rest goes on at once.
        if (line_len == 0 && !skipping)
            while (line_end(text[p])) p++;
        if (text[p] == '\0') break;
        int start = p;
        while (text[p] != '\0' && !line_end(text[p])) p++;
        bool ended = text[p] != '\0';
        if (skipping) {
            if (ended) skipping = false;
            continue;
        }
        int outcome = extend_line(prefix, text + start, points ? points + start : nullptr, p - start, why, size);
        if (skipping) {
            // The cut line was handled; its rest may end within this block.
            if (ended) skipping = false;
            if (outcome == WFR_GIVE_UP) return outcome;
            continue;
        }
        if (!ended && still_open(line, line_len)) break;  // completed by the next block
        if (handle_line(prefix, why, size) == WFR_GIVE_UP) return WFR_GIVE_UP;
    }
    return WFR_GO_ON;
}

}  // namespace

void MP_WifiRemote_Decode_reset() {
    line_len = 0;
    line_cleaned = true;
    skipping = false;
    MP_WifiRemote_receive_reset();
}

int MP_WifiRemote_Decode(const char* prefix, const char* text, char* why, size_t size) {
    MP_TRACE("MP_WifiRemote_Decode");
    return decode(prefix, text, nullptr, why, size);
}

int MP_WifiRemote_Decode_points(const char* prefix, const char* text, const MP_TextPoint* points, char* why,
                                size_t size) {
    MP_TRACE("MP_WifiRemote_Decode");
    return decode(prefix, text, points, why, size);
}

int MP_WififRemote_Decode_Message(const char* type, const char* rest, char* why, size_t size) {
    MP_TRACE("MP_WififRemote_Decode_Message");
    // Both come from the plug-in: the Type is the line's label, so it is escaped as well.
    MP_escape_untrusted(type_label, sizeof type_label, type, strlen(type), nullptr);
    MP_log_untrusted(3, type_label, rest, strlen(rest));
    if (strncmp(type, "welcome", 7) == 0) {
        static char computer[256];
        if (vp_computer_name(computer, sizeof computer) != 0)
            strcpy(computer, "Computer Name not Known");
        int at = strfindstr(rest, "AuthMethod\":", 12);
        char method = at < 0 ? '\0' : rest[at + 12];
        const char* too_long = nullptr;
        int len = MP_WifiRemote_identify(method, computer, identify, sizeof identify, &too_long);
        if (len == WFR_IDENTIFY_TOO_LONG) {
            // A message cut short would leave the plug-in waiting for its end, or reading the
            // next message as part of it. Without an identify the plug-in tells nothing, so the
            // connection is given up with a status that names the setting, never "OK"; the
            // connection loop tries again after its pause.
            MP_errlogf("**** Unhandled",
                       "%s is too long: with the values before it, escaped for JSON, the identify "
                       "message exceeds its %d bytes; no identify sent, the connection is given up",
                       too_long, WFR_IDENTIFY_SIZE);
            snprintf(why, size, "Identify not sent: %.*s too long", static_cast<int>(strcspn(too_long, "=")),
                     too_long);
            return WFR_GIVE_UP;
        }
        if (len < 0) {
            // No identify message is defined for it; one with credentials that the server did
            // not ask for would hand them out for nothing.
            MP_errlog("**** Unhandled", "Welcome without an AuthMethod of 0 to 3; no identify sent");
            return WFR_GO_ON;
        }
        MP_log_secret("sending", identify);
        MP_Send(identify);
    } else if (strncmp(type, "authenticationresponse", 22) == 0) {
        // A refused authentication is answered like an accepted one.
        MP_Send(MP_Global_wRequest1);
        if (strlen(MP_Global_wRequest1) > WFR_FIRST_REQUEST_LIMIT) MP_Send(MP_Global_wRequest2);
        MP_Global_wAuthenticated = 1;
    }
    return WFR_GO_ON;
}
