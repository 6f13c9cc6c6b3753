// mp_encoding_names.h - the names of the text encodings and the letters of Windows-1252, for the
// bridges and for the programs that show their blocks alike.
#pragma once

#include <cstddef>
#include <cstdint>

// How the bridges store text values: the Text_Encoding= setting. The numbers are those of
// vr_encoding in the reader's header.
enum MP_TextEncoding : int {
    MP_TEXT_RAW = 0,           // as the services sent them, multi-byte characters as blanks
    MP_TEXT_WINDOWS_1252 = 1,  // escapes undone, one byte per character in Windows-1252
    MP_TEXT_ASCII = 2,         // escapes undone, plain letters only
    MP_TEXT_UTF8 = 3,          // escapes undone, UTF-8
};
inline constexpr int MP_TEXT_ENCODINGS = 4;
// The names as the settings file, the block marker and the programs' options spell them.
inline constexpr const char* MP_TEXT_ENCODING_NAMES[MP_TEXT_ENCODINGS] = {"Raw", "Windows-1252", "ASCII",
                                                                         "UTF-8"};

// The block marker: MP_TEXT_MARKER_HEAD and the encoding's name, zero-terminated, in the last
// MP_TEXT_MARKER_SIZE bytes of a publication block, which no table reaches.
inline constexpr char MP_TEXT_MARKER_HEAD[] = "VistrelText=";
inline constexpr size_t MP_TEXT_MARKER_SIZE = 64;

// The encoding that len characters name, in any case; -1 for anything else.
constexpr int MP_text_encoding_named(const char* word, size_t len) {
    for (int e = 0; e < MP_TEXT_ENCODINGS; e++) {
        const char* name = MP_TEXT_ENCODING_NAMES[e];
        size_t i = 0;
        for (; i < len && name[i] != '\0'; i++) {
            char a = word[i], b = name[i];
            if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
            if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
            if (a != b) break;
        }
        if (i == len && name[i] == '\0') return e;
    }
    return -1;
}

// The characters that Windows-1252 puts at 0x80 to 0x9F; 0 at the five places it leaves empty
// (0x81, 0x8D, 0x8F, 0x90, 0x9D). From 0xA0 on its bytes are the code points of the same number.
inline constexpr uint16_t MP_CP1252_HIGH[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

// The character that a Windows-1252 byte stands for, or 0 for the five empty places. Bytes
// below 0x80 are ASCII, controls included.
constexpr uint32_t MP_cp1252_char(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) return MP_CP1252_HIGH[b - 0x80];
    return b;
}
