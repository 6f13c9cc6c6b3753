// command_words.cpp - the command words of a simulator or a child program, split at blanks.
#include "command_words.h"

void CommandWords::split(int argc, char** argv) {
    size_t used = 0;
    for (int i = 0; i < argc; ++i) {
        for (const char* p = argv[i]; *p != '\0';) {
            while (*p == ' ') ++p;
            if (*p == '\0') break;
            size_t len = strcspn(p, " ");
            if (count_ == kMaxWords || used + len + 1 > sizeof text_) return;
            memcpy(text_ + used, p, len);
            text_[used + len] = '\0';
            words_[count_++] = text_ + used;
            used += len + 1;
            p += len;
        }
    }
}
