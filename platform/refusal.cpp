// refusal.cpp - the words for an object that an open refused, with what it found there.
#include "refusal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// The last refusal's code and findings. The programs run one thread, so one record is enough.
int noted_code = 0;
char noted[192];
}  // namespace

const char* vp_refusal_words(int code) {
    switch (code) {
        case VP_FOREIGN: return "it belongs to another user";
        case VP_SHARED: return "other users may open it";
        case VP_SHORT: return "it is smaller than a block";
        case VP_LINK: return "it is a symbolic link";
        case VP_NOT_PLAIN: return "it is not a regular file";
        case VP_MANY_NAMES: return "it has more than one name";
        case VP_DENIED: return "it exists and this user may not open it";
        default: return nullptr;
    }
}

const char* vp_file_kind(unsigned long type_bits) {
    switch (type_bits) {
        case 0010000: return "a FIFO";
        case 0140000: return "a socket";
        case 0020000:
        case 0060000: return "a device";
        case 0040000: return "a folder";
        case 0120000: return "a symbolic link";
        default: return "no regular file";
    }
}

int vp_refuse(int code, const char* format, ...) {
    noted_code = code;
    va_list args;
    va_start(args, format);
    vsnprintf(noted, sizeof noted, format, args);
    va_end(args);
    return code;
}

void vp_open_error_text(int code, char* buf, size_t size) {
    if (size == 0) return;
    const char* words = vp_refusal_words(code);
    if (!words) {
        // The system's message without the line end (and blanks) that the message table adds.
        vp_error_text(code, buf, size);
        size_t n = strlen(buf);
        while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) buf[--n] = '\0';
        return;
    }
    if (code == noted_code && noted[0] != '\0')
        snprintf(buf, size, "%s (%s)", words, noted);
    else
        snprintf(buf, size, "%s", words);
}
