// mp_encoding_chars.cpp - one character written in each text encoding: its Windows-1252 byte,
// its plain-letter form or UTF-8.
#include <cstring>

#include "mp_encoding.h"

namespace {

// Plain-letter forms of the characters beyond ASCII that have one: letters without their marks
// (from the Unicode decompositions of the Latin blocks), ligatures and letters such as ß, æ, ø,
// ł and þ spelt out, and punctuation, spaces and currency signs in ASCII. Sorted by character.
struct Plain {
    uint16_t cp;
    char text[5];
};
constexpr Plain kPlain[] = {
    {0x00A0, " "}, {0x00A1, "!"}, {0x00A2, "c"}, {0x00A3, "GBP"}, {0x00A5, "JPY"},
    {0x00A6, "|"}, {0x00A8, "\""}, {0x00A9, "(C)"}, {0x00AA, "a"}, {0x00AB, "<<"},
    {0x00AD, "-"}, {0x00AE, "(R)"}, {0x00AF, "-"}, {0x00B1, "+/-"},
    {0x00B2, "2"}, {0x00B3, "3"}, {0x00B4, "'"}, {0x00B5, "u"}, {0x00B7, "."},
    {0x00B8, ","}, {0x00B9, "1"}, {0x00BA, "o"}, {0x00BB, ">>"}, {0x00BC, "1/4"},
    {0x00BD, "1/2"}, {0x00BE, "3/4"}, {0x00C0, "A"}, {0x00C1, "A"}, {0x00C2, "A"},
    {0x00C3, "A"}, {0x00C4, "A"}, {0x00C5, "A"}, {0x00C6, "AE"}, {0x00C7, "C"},
    {0x00C8, "E"}, {0x00C9, "E"}, {0x00CA, "E"}, {0x00CB, "E"}, {0x00CC, "I"},
    {0x00CD, "I"}, {0x00CE, "I"}, {0x00CF, "I"}, {0x00D0, "D"}, {0x00D1, "N"},
    {0x00D2, "O"}, {0x00D3, "O"}, {0x00D4, "O"}, {0x00D5, "O"}, {0x00D6, "O"},
    {0x00D7, "x"}, {0x00D8, "O"}, {0x00D9, "U"}, {0x00DA, "U"}, {0x00DB, "U"},
    {0x00DC, "U"}, {0x00DD, "Y"}, {0x00DE, "Th"}, {0x00DF, "ss"}, {0x00E0, "a"},
    {0x00E1, "a"}, {0x00E2, "a"}, {0x00E3, "a"}, {0x00E4, "a"}, {0x00E5, "a"},
    {0x00E6, "ae"}, {0x00E7, "c"}, {0x00E8, "e"}, {0x00E9, "e"}, {0x00EA, "e"},
    {0x00EB, "e"}, {0x00EC, "i"}, {0x00ED, "i"}, {0x00EE, "i"}, {0x00EF, "i"},
    {0x00F0, "d"}, {0x00F1, "n"}, {0x00F2, "o"}, {0x00F3, "o"}, {0x00F4, "o"},
    {0x00F5, "o"}, {0x00F6, "o"}, {0x00F7, "/"}, {0x00F8, "o"}, {0x00F9, "u"},
    {0x00FA, "u"}, {0x00FB, "u"}, {0x00FC, "u"}, {0x00FD, "y"}, {0x00FE, "th"},
    {0x00FF, "y"}, {0x0100, "A"}, {0x0101, "a"}, {0x0102, "A"}, {0x0103, "a"},
    {0x0104, "A"}, {0x0105, "a"}, {0x0106, "C"}, {0x0107, "c"}, {0x0108, "C"},
    {0x0109, "c"}, {0x010A, "C"}, {0x010B, "c"}, {0x010C, "C"}, {0x010D, "c"},
    {0x010E, "D"}, {0x010F, "d"}, {0x0110, "D"}, {0x0111, "d"}, {0x0112, "E"},
    {0x0113, "e"}, {0x0114, "E"}, {0x0115, "e"}, {0x0116, "E"}, {0x0117, "e"},
    {0x0118, "E"}, {0x0119, "e"}, {0x011A, "E"}, {0x011B, "e"}, {0x011C, "G"},
    {0x011D, "g"}, {0x011E, "G"}, {0x011F, "g"}, {0x0120, "G"}, {0x0121, "g"},
    {0x0122, "G"}, {0x0123, "g"}, {0x0124, "H"}, {0x0125, "h"}, {0x0126, "H"},
    {0x0127, "h"}, {0x0128, "I"}, {0x0129, "i"}, {0x012A, "I"}, {0x012B, "i"},
    {0x012C, "I"}, {0x012D, "i"}, {0x012E, "I"}, {0x012F, "i"}, {0x0130, "I"},
    {0x0131, "i"}, {0x0132, "IJ"}, {0x0133, "ij"}, {0x0134, "J"}, {0x0135, "j"},
    {0x0136, "K"}, {0x0137, "k"}, {0x0138, "k"}, {0x0139, "L"}, {0x013A, "l"},
    {0x013B, "L"}, {0x013C, "l"}, {0x013D, "L"}, {0x013E, "l"}, {0x013F, "L"},
    {0x0140, "l"}, {0x0141, "L"}, {0x0142, "l"}, {0x0143, "N"}, {0x0144, "n"},
    {0x0145, "N"}, {0x0146, "n"}, {0x0147, "N"}, {0x0148, "n"}, {0x0149, "'n"},
    {0x014A, "N"}, {0x014B, "n"}, {0x014C, "O"}, {0x014D, "o"}, {0x014E, "O"},
    {0x014F, "o"}, {0x0150, "O"}, {0x0151, "o"}, {0x0152, "OE"}, {0x0153, "oe"},
    {0x0154, "R"}, {0x0155, "r"}, {0x0156, "R"}, {0x0157, "r"}, {0x0158, "R"},
    {0x0159, "r"}, {0x015A, "S"}, {0x015B, "s"}, {0x015C, "S"}, {0x015D, "s"},
    {0x015E, "S"}, {0x015F, "s"}, {0x0160, "S"}, {0x0161, "s"}, {0x0162, "T"},
    {0x0163, "t"}, {0x0164, "T"}, {0x0165, "t"}, {0x0166, "T"}, {0x0167, "t"},
    {0x0168, "U"}, {0x0169, "u"}, {0x016A, "U"}, {0x016B, "u"}, {0x016C, "U"},
    {0x016D, "u"}, {0x016E, "U"}, {0x016F, "u"}, {0x0170, "U"}, {0x0171, "u"},
    {0x0172, "U"}, {0x0173, "u"}, {0x0174, "W"}, {0x0175, "w"}, {0x0176, "Y"},
    {0x0177, "y"}, {0x0178, "Y"}, {0x0179, "Z"}, {0x017A, "z"}, {0x017B, "Z"},
    {0x017C, "z"}, {0x017D, "Z"}, {0x017E, "z"}, {0x017F, "s"}, {0x0180, "b"},
    {0x0181, "B"}, {0x0182, "B"}, {0x0183, "b"}, {0x0186, "O"}, {0x0187, "C"},
    {0x0188, "c"}, {0x0189, "D"}, {0x018A, "D"}, {0x018B, "D"}, {0x018C, "d"},
    {0x018F, "E"}, {0x0190, "E"}, {0x0191, "F"}, {0x0192, "f"}, {0x0193, "G"},
    {0x0197, "I"}, {0x0198, "K"}, {0x0199, "k"}, {0x019A, "l"}, {0x019D, "N"},
    {0x019E, "n"}, {0x019F, "O"}, {0x01A0, "O"}, {0x01A1, "o"}, {0x01A4, "P"},
    {0x01A5, "p"}, {0x01AB, "t"}, {0x01AC, "T"}, {0x01AD, "t"}, {0x01AE, "T"},
    {0x01AF, "U"}, {0x01B0, "u"}, {0x01B3, "Y"}, {0x01B4, "y"}, {0x01B5, "Z"},
    {0x01B6, "z"}, {0x01C4, "DZ"}, {0x01C5, "Dz"}, {0x01C6, "dz"}, {0x01C7, "LJ"},
    {0x01C8, "Lj"}, {0x01C9, "lj"}, {0x01CA, "NJ"}, {0x01CB, "Nj"}, {0x01CC, "nj"},
    {0x01CD, "A"}, {0x01CE, "a"}, {0x01CF, "I"}, {0x01D0, "i"}, {0x01D1, "O"},
    {0x01D2, "o"}, {0x01D3, "U"}, {0x01D4, "u"}, {0x01D5, "U"}, {0x01D6, "u"},
    {0x01D7, "U"}, {0x01D8, "u"}, {0x01D9, "U"}, {0x01DA, "u"}, {0x01DB, "U"},
    {0x01DC, "u"}, {0x01DE, "A"}, {0x01DF, "a"}, {0x01E0, "A"}, {0x01E1, "a"},
    {0x01E2, "AE"}, {0x01E3, "ae"}, {0x01E4, "G"}, {0x01E5, "g"}, {0x01E6, "G"},
    {0x01E7, "g"}, {0x01E8, "K"}, {0x01E9, "k"}, {0x01EA, "O"}, {0x01EB, "o"},
    {0x01EC, "O"}, {0x01ED, "o"}, {0x01F0, "j"}, {0x01F1, "DZ"}, {0x01F2, "Dz"},
    {0x01F3, "dz"}, {0x01F4, "G"}, {0x01F5, "g"}, {0x01F8, "N"}, {0x01F9, "n"},
    {0x01FA, "A"}, {0x01FB, "a"}, {0x01FC, "AE"}, {0x01FD, "ae"}, {0x01FE, "O"},
    {0x01FF, "o"}, {0x0200, "A"}, {0x0201, "a"}, {0x0202, "A"}, {0x0203, "a"},
    {0x0204, "E"}, {0x0205, "e"}, {0x0206, "E"}, {0x0207, "e"}, {0x0208, "I"},
    {0x0209, "i"}, {0x020A, "I"}, {0x020B, "i"}, {0x020C, "O"}, {0x020D, "o"},
    {0x020E, "O"}, {0x020F, "o"}, {0x0210, "R"}, {0x0211, "r"}, {0x0212, "R"},
    {0x0213, "r"}, {0x0214, "U"}, {0x0215, "u"}, {0x0216, "U"}, {0x0217, "u"},
    {0x0218, "S"}, {0x0219, "s"}, {0x021A, "T"}, {0x021B, "t"}, {0x021E, "H"},
    {0x021F, "h"}, {0x0221, "d"}, {0x0224, "Z"}, {0x0225, "z"}, {0x0226, "A"},
    {0x0227, "a"}, {0x0228, "E"}, {0x0229, "e"}, {0x022A, "O"}, {0x022B, "o"},
    {0x022C, "O"}, {0x022D, "o"}, {0x022E, "O"}, {0x022F, "o"}, {0x0230, "O"},
    {0x0231, "o"}, {0x0232, "Y"}, {0x0233, "y"}, {0x0234, "l"}, {0x0235, "n"},
    {0x0236, "t"}, {0x0237, "j"}, {0x023A, "A"}, {0x023B, "C"}, {0x023C, "c"},
    {0x023D, "L"}, {0x023E, "T"}, {0x0243, "B"}, {0x0244, "U"}, {0x0246, "E"},
    {0x0247, "e"}, {0x0248, "J"}, {0x0249, "j"}, {0x024C, "R"}, {0x024D, "r"},
    {0x024E, "Y"}, {0x024F, "y"}, {0x0259, "e"}, {0x02B9, "'"}, {0x02BA, "\""},
    {0x02BB, "'"}, {0x02BC, "'"}, {0x02BD, "'"}, {0x02C6, "^"}, {0x02C8, "'"},
    {0x02CB, "`"}, {0x02CD, "_"}, {0x02D0, ":"}, {0x02DC, "~"}, {0x02E3, "x"},
    {0x1E00, "A"}, {0x1E01, "a"}, {0x1E02, "B"}, {0x1E03, "b"}, {0x1E04, "B"},
    {0x1E05, "b"}, {0x1E06, "B"}, {0x1E07, "b"}, {0x1E08, "C"}, {0x1E09, "c"},
    {0x1E0A, "D"}, {0x1E0B, "d"}, {0x1E0C, "D"}, {0x1E0D, "d"}, {0x1E0E, "D"},
    {0x1E0F, "d"}, {0x1E10, "D"}, {0x1E11, "d"}, {0x1E12, "D"}, {0x1E13, "d"},
    {0x1E14, "E"}, {0x1E15, "e"}, {0x1E16, "E"}, {0x1E17, "e"}, {0x1E18, "E"},
    {0x1E19, "e"}, {0x1E1A, "E"}, {0x1E1B, "e"}, {0x1E1C, "E"}, {0x1E1D, "e"},
    {0x1E1E, "F"}, {0x1E1F, "f"}, {0x1E20, "G"}, {0x1E21, "g"}, {0x1E22, "H"},
    {0x1E23, "h"}, {0x1E24, "H"}, {0x1E25, "h"}, {0x1E26, "H"}, {0x1E27, "h"},
    {0x1E28, "H"}, {0x1E29, "h"}, {0x1E2A, "H"}, {0x1E2B, "h"}, {0x1E2C, "I"},
    {0x1E2D, "i"}, {0x1E2E, "I"}, {0x1E2F, "i"}, {0x1E30, "K"}, {0x1E31, "k"},
    {0x1E32, "K"}, {0x1E33, "k"}, {0x1E34, "K"}, {0x1E35, "k"}, {0x1E36, "L"},
    {0x1E37, "l"}, {0x1E38, "L"}, {0x1E39, "l"}, {0x1E3A, "L"}, {0x1E3B, "l"},
    {0x1E3C, "L"}, {0x1E3D, "l"}, {0x1E3E, "M"}, {0x1E3F, "m"}, {0x1E40, "M"},
    {0x1E41, "m"}, {0x1E42, "M"}, {0x1E43, "m"}, {0x1E44, "N"}, {0x1E45, "n"},
    {0x1E46, "N"}, {0x1E47, "n"}, {0x1E48, "N"}, {0x1E49, "n"}, {0x1E4A, "N"},
    {0x1E4B, "n"}, {0x1E4C, "O"}, {0x1E4D, "o"}, {0x1E4E, "O"}, {0x1E4F, "o"},
    {0x1E50, "O"}, {0x1E51, "o"}, {0x1E52, "O"}, {0x1E53, "o"}, {0x1E54, "P"},
    {0x1E55, "p"}, {0x1E56, "P"}, {0x1E57, "p"}, {0x1E58, "R"}, {0x1E59, "r"},
    {0x1E5A, "R"}, {0x1E5B, "r"}, {0x1E5C, "R"}, {0x1E5D, "r"}, {0x1E5E, "R"},
    {0x1E5F, "r"}, {0x1E60, "S"}, {0x1E61, "s"}, {0x1E62, "S"}, {0x1E63, "s"},
    {0x1E64, "S"}, {0x1E65, "s"}, {0x1E66, "S"}, {0x1E67, "s"}, {0x1E68, "S"},
    {0x1E69, "s"}, {0x1E6A, "T"}, {0x1E6B, "t"}, {0x1E6C, "T"}, {0x1E6D, "t"},
    {0x1E6E, "T"}, {0x1E6F, "t"}, {0x1E70, "T"}, {0x1E71, "t"}, {0x1E72, "U"},
    {0x1E73, "u"}, {0x1E74, "U"}, {0x1E75, "u"}, {0x1E76, "U"}, {0x1E77, "u"},
    {0x1E78, "U"}, {0x1E79, "u"}, {0x1E7A, "U"}, {0x1E7B, "u"}, {0x1E7C, "V"},
    {0x1E7D, "v"}, {0x1E7E, "V"}, {0x1E7F, "v"}, {0x1E80, "W"}, {0x1E81, "w"},
    {0x1E82, "W"}, {0x1E83, "w"}, {0x1E84, "W"}, {0x1E85, "w"}, {0x1E86, "W"},
    {0x1E87, "w"}, {0x1E88, "W"}, {0x1E89, "w"}, {0x1E8A, "X"}, {0x1E8B, "x"},
    {0x1E8C, "X"}, {0x1E8D, "x"}, {0x1E8E, "Y"}, {0x1E8F, "y"}, {0x1E90, "Z"},
    {0x1E91, "z"}, {0x1E92, "Z"}, {0x1E93, "z"}, {0x1E94, "Z"}, {0x1E95, "z"},
    {0x1E96, "h"}, {0x1E97, "t"}, {0x1E98, "w"}, {0x1E99, "y"}, {0x1E9A, "a"},
    {0x1E9B, "s"}, {0x1E9E, "SS"}, {0x1EA0, "A"}, {0x1EA1, "a"}, {0x1EA2, "A"},
    {0x1EA3, "a"}, {0x1EA4, "A"}, {0x1EA5, "a"}, {0x1EA6, "A"}, {0x1EA7, "a"},
    {0x1EA8, "A"}, {0x1EA9, "a"}, {0x1EAA, "A"}, {0x1EAB, "a"}, {0x1EAC, "A"},
    {0x1EAD, "a"}, {0x1EAE, "A"}, {0x1EAF, "a"}, {0x1EB0, "A"}, {0x1EB1, "a"},
    {0x1EB2, "A"}, {0x1EB3, "a"}, {0x1EB4, "A"}, {0x1EB5, "a"}, {0x1EB6, "A"},
    {0x1EB7, "a"}, {0x1EB8, "E"}, {0x1EB9, "e"}, {0x1EBA, "E"}, {0x1EBB, "e"},
    {0x1EBC, "E"}, {0x1EBD, "e"}, {0x1EBE, "E"}, {0x1EBF, "e"}, {0x1EC0, "E"},
    {0x1EC1, "e"}, {0x1EC2, "E"}, {0x1EC3, "e"}, {0x1EC4, "E"}, {0x1EC5, "e"},
    {0x1EC6, "E"}, {0x1EC7, "e"}, {0x1EC8, "I"}, {0x1EC9, "i"}, {0x1ECA, "I"},
    {0x1ECB, "i"}, {0x1ECC, "O"}, {0x1ECD, "o"}, {0x1ECE, "O"}, {0x1ECF, "o"},
    {0x1ED0, "O"}, {0x1ED1, "o"}, {0x1ED2, "O"}, {0x1ED3, "o"}, {0x1ED4, "O"},
    {0x1ED5, "o"}, {0x1ED6, "O"}, {0x1ED7, "o"}, {0x1ED8, "O"}, {0x1ED9, "o"},
    {0x1EDA, "O"}, {0x1EDB, "o"}, {0x1EDC, "O"}, {0x1EDD, "o"}, {0x1EDE, "O"},
    {0x1EDF, "o"}, {0x1EE0, "O"}, {0x1EE1, "o"}, {0x1EE2, "O"}, {0x1EE3, "o"},
    {0x1EE4, "U"}, {0x1EE5, "u"}, {0x1EE6, "U"}, {0x1EE7, "u"}, {0x1EE8, "U"},
    {0x1EE9, "u"}, {0x1EEA, "U"}, {0x1EEB, "u"}, {0x1EEC, "U"}, {0x1EED, "u"},
    {0x1EEE, "U"}, {0x1EEF, "u"}, {0x1EF0, "U"}, {0x1EF1, "u"}, {0x1EF2, "Y"},
    {0x1EF3, "y"}, {0x1EF4, "Y"}, {0x1EF5, "y"}, {0x1EF6, "Y"}, {0x1EF7, "y"},
    {0x1EF8, "Y"}, {0x1EF9, "y"}, {0x2000, " "}, {0x2001, " "}, {0x2002, " "},
    {0x2003, " "}, {0x2004, " "}, {0x2005, " "}, {0x2006, " "}, {0x2007, " "},
    {0x2008, " "}, {0x2009, " "}, {0x200A, " "}, {0x200B, " "}, {0x200C, " "},
    {0x200D, " "}, {0x200E, " "}, {0x200F, " "}, {0x2010, "-"}, {0x2011, "-"},
    {0x2012, "-"}, {0x2013, "-"}, {0x2014, "-"}, {0x2015, "-"}, {0x2016, "||"},
    {0x2017, "_"}, {0x2018, "'"}, {0x2019, "'"}, {0x201A, "'"}, {0x201B, "'"},
    {0x201C, "\""}, {0x201D, "\""}, {0x201E, "\""}, {0x201F, "\""}, {0x2020, "+"},
    {0x2021, "+"}, {0x2022, "*"}, {0x2023, ">"}, {0x2024, "."}, {0x2025, ".."},
    {0x2026, "..."}, {0x2027, "-"}, {0x2028, " "}, {0x2029, " "}, {0x202F, " "},
    {0x2030, "0/00"}, {0x2032, "'"}, {0x2033, "\""}, {0x2039, "<"}, {0x203A, ">"},
    {0x203C, "!!"}, {0x203E, "-"}, {0x2044, "/"}, {0x2047, "??"}, {0x2048, "?!"},
    {0x2049, "!?"}, {0x2052, "%"}, {0x205F, " "}, {0x2060, " "}, {0x20A3, "F"},
    {0x20A4, "L"}, {0x20A7, "Pts"}, {0x20A9, "W"}, {0x20AA, "NIS"}, {0x20AB, "d"},
    {0x20AC, "EUR"}, {0x20B4, "UAH"}, {0x20B9, "INR"}, {0x20BA, "TL"}, {0x20BD, "RUB"},
    {0x2103, "C"}, {0x2109, "F"}, {0x2116, "No"}, {0x2122, "TM"}, {0x2190, "<-"},
    {0x2192, "->"}, {0x2194, "<->"}, {0x2212, "-"}, {0x2215, "/"}, {0x2217, "*"},
    {0x2219, "."}, {0x2248, "~"}, {0x2260, "!="}, {0x2264, "<="}, {0x2265, ">="},
    {0x3000, " "}, {0xFB00, "ff"}, {0xFB01, "fi"}, {0xFB02, "fl"}, {0xFB03, "ffi"},
    {0xFB04, "ffl"}, {0xFB05, "st"}, {0xFB06, "st"}, {0xFEFF, " "},
};

constexpr bool sorted() {
    for (size_t i = 1; i < sizeof kPlain / sizeof kPlain[0]; i++)
        if (kPlain[i - 1].cp >= kPlain[i].cp) return false;
    return true;
}
static_assert(sorted(), "the plain forms are looked up by bisection");

bool is_control(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

// Writes n bytes when they fit the room; returns n, or 0 when they do not.
int put(char* out, int room, const char* bytes, int n) {
    if (n > room) return 0;
    memcpy(out, bytes, static_cast<size_t>(n));
    return n;
}

int put_utf8(uint32_t cp, char* out, int room) {
    char b[4];
    int n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    return put(out, room, b, n);
}

// The plain form, or '?' for a character that has none.
int put_plain(uint32_t cp, char* out, int room) {
    int len = 0;
    const char* plain = MP_text_plain_form(cp, &len);
    if (!plain) return put(out, room, "?", 1);
    return put(out, room, plain, len);
}

}  // namespace

const char* MP_text_plain_form(uint32_t cp, int* len) {
    size_t lo = 0, hi = sizeof kPlain / sizeof kPlain[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kPlain[mid].cp < cp) lo = mid + 1;
        else hi = mid;
    }
    if (lo == sizeof kPlain / sizeof kPlain[0] || kPlain[lo].cp != cp) return nullptr;
    *len = static_cast<int>(strnlen(kPlain[lo].text, sizeof kPlain[lo].text));
    return kPlain[lo].text;
}

unsigned char MP_text_cp1252_byte(uint32_t cp) {
    if (cp >= 0xA0 && cp <= 0xFF) return static_cast<unsigned char>(cp);
    if (cp < 0x80) return static_cast<unsigned char>(cp);
    for (int i = 0; i < 32; i++)
        if (MP_CP1252_HIGH[i] != 0 && MP_CP1252_HIGH[i] == cp) return static_cast<unsigned char>(0x80 + i);
    return 0;
}

int MP_text_put_char(int encoding, uint32_t cp, char* out, int room) {
    if (cp == MP_TEXT_INVALID || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return put(out, room, "?", 1);
    if (is_control(cp)) return put(out, room, " ", 1);
    if (cp < 0x80) {
        char c = static_cast<char>(cp);
        return put(out, room, &c, 1);
    }
    switch (encoding) {
        case MP_TEXT_UTF8: return put_utf8(cp, out, room);
        case MP_TEXT_WINDOWS_1252: {
            unsigned char b = MP_text_cp1252_byte(cp);
            if (b != 0) return put(out, room, reinterpret_cast<const char*>(&b), 1);
            return put_plain(cp, out, room);
        }
        default: return put_plain(cp, out, room);
    }
}
