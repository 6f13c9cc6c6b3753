// sim_files.cpp - the simulators' files and printed lines: files of their own, clients' text escaped.
#include "sim_files.h"

#include <cstdio>

#include "vp.h"

FILE* sim_open_file(const char* program, const char* path, bool fresh, bool binary) {
    FILE* f = nullptr;
    int flags = (fresh ? VP_PRIVATE_TRUNCATE : 0) | (binary ? VP_PRIVATE_BINARY : 0);
    int rc = vp_file_open_private(path, flags, &f);
    if (rc == 0) return f;
    char why[256];
    vp_open_error_text(rc, why, sizeof why);
    std::string name(path);
    fprintf(stderr, "%s: not writing %s: %s\n", program, sim_escaped(name).c_str(), why);
    return nullptr;
}

bool sim_write_whole(const char* program, const char* path, const std::string& text) {
    std::string temp = std::string(path) + ".new";
    FILE* f = sim_open_file(program, temp.c_str(), true, true);
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    remove(path);
    return ok && rename(temp.c_str(), path) == 0;
}

std::string sim_escaped(const char* text, size_t len) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < len ? static_cast<unsigned char>(text[i + 1]) : 0;
        auto hex = [&](unsigned char b) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        };
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            hex(c);
            hex(next);
            i++;
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            hex(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
