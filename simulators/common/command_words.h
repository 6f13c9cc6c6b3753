// command_words.h - the command words of a simulator or a child program, split at blanks.
#pragma once

#include <cstddef>
#include <cstring>

// A starter that passes one argument as argument 0 hands over the whole command in one word on
// POSIX, and Windows splits its command line at blanks; a shell passes the words after the
// program's path. The child programs therefore split every argument at blanks and look for
// their command among the words, skipping whatever comes before it (the program's path).
class CommandWords {
public:
    // Takes the words of every argument in order; splitting stops at the first word for which
    // there is no more room.
    void split(int argc, char** argv);
    int count() const { return count_; }
    const char* operator[](int i) const { return words_[i]; }
    // The words from index i on.
    const char* const* from(int i) const { return words_ + i; }
    // The index of the first word that is one of known, or count() when none is.
    template <size_t N>
    int find_first(const char* const (&known)[N]) const {
        for (int i = 0; i < count_; ++i)
            for (const char* k : known)
                if (strcmp(words_[i], k) == 0) return i;
        return count_;
    }

private:
    static constexpr int kMaxWords = 48;
    char text_[8192];
    const char* words_[kMaxWords];
    int count_ = 0;
};
