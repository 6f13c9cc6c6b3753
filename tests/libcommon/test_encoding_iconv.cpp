// test_encoding_iconv.cpp - the Windows-1252 table against the C library's own (natively only).
#include <gtest/gtest.h>

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <string>

#include "mp_encoding.h"
#include "utf8.h"

namespace {

bool is_control(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

// Every code point of the Basic Multilingual Plane: wherever iconv has a Windows-1252 byte for
// it, the bridges write that byte (a control excepted, which they write as a blank); wherever it
// has none, they write the letters that it stands for where it has an equivalent, and otherwise
// no byte that Windows-1252 gives to a letter, only ASCII: a plain form or '?'. Each byte that
// they write for a letter reads back as that letter.
TEST(EncodingIconv, Windows1252MatchesTheCLibraryOverTheWholePlane) {
    iconv_t cd = iconv_open("WINDOWS-1252", "UTF-8");
    ASSERT_NE(reinterpret_cast<iconv_t>(-1), cd);
    int same = 0, plain = 0, equivalent = 0;
    for (uint32_t cp = 1; cp <= 0xFFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::string in = utf8(cp);
        char out[8];
        char* inp = in.data();
        size_t inleft = in.size();
        char* outp = out;
        size_t outleft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
        bool has_byte = rc != static_cast<size_t>(-1) && outp - out == 1;
        ASSERT_TRUE(has_byte || errno == EILSEQ) << std::hex << cp;

        char ours[8];
        int n = MP_text_put_char(MP_TEXT_WINDOWS_1252, cp, ours, sizeof ours);
        ASSERT_GT(n, 0) << std::hex << cp;
        if (is_control(cp)) {
            EXPECT_EQ(std::string(" "), std::string(ours, static_cast<size_t>(n))) << std::hex << cp;
        } else if (has_byte) {
            ASSERT_EQ(1, n) << std::hex << cp;
            EXPECT_EQ(out[0], ours[0]) << std::hex << cp;
            EXPECT_EQ(cp, MP_cp1252_char(static_cast<unsigned char>(ours[0]))) << std::hex << cp;
            same++;
        } else if (uint32_t letters[4]; int k = MP_text_equivalent(cp, letters)) {
            // A character that stands for others (the Angstrom sign for A with its ring): those
            // letters, each as Windows-1252 writes it.
            std::string expected;
            for (int i = 0; i < k; i++) {
                char b[8];
                expected.append(b, static_cast<size_t>(MP_text_put_char(MP_TEXT_WINDOWS_1252, letters[i], b, sizeof b)));
            }
            EXPECT_EQ(expected, std::string(ours, static_cast<size_t>(n))) << std::hex << cp;
            equivalent++;
        } else {
            for (int i = 0; i < n; i++)
                ASSERT_TRUE(ours[i] >= 0x20 && ours[i] < 0x7F) << std::hex << cp;
            plain += n != 1 || ours[0] != '?';
        }
    }
    iconv_close(cd);
    // ASCII less its controls, 0xA0 to 0xFF and the 27 letters of 0x80 to 0x9F.
    EXPECT_EQ(95 + 96 + 27, same);
    EXPECT_GT(plain, 600);
    EXPECT_GT(equivalent, 300);
}

}  // namespace
