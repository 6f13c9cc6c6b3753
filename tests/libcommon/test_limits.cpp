// test_limits.cpp - the pauses and limits in force: today's defaults, and the test seam's list.
#include "mp_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string shown(const MP_Limits& l) {
    return std::to_string(l.reconnect_pause_ms) + " " + std::to_string(l.send_ms) + " " + std::to_string(l.answer_ms) +
           " " + std::to_string(l.whole_answer_ms) + " " + std::to_string(l.silence_ms) + " " +
           std::to_string(l.poll_ms) + " " + std::to_string(l.lcd_retry_ms) + " " + std::to_string(l.lcd_answer_ms);
}

// Without the seam every pause and limit is the product's own.
TEST(Limits, TheDefaultsAreTheProductsOwn) {
    EXPECT_EQ("5000 10000 10000 60000 60000 5000 5000 5000", shown(MP_Limits{}));
    EXPECT_EQ("5000 10000 10000 60000 60000 5000 5000 5000", shown(MP_Global_Limits));
}

// Sound items are applied whatever stands beside them; an item that is not sound changes
// nothing and is named (only printable bytes of it) in the reason.
TEST(Limits, EachSoundItemIsAppliedAndEachOtherIsNamed) {
    struct Case {
        const char* text;
        int rc;
        const char* limits;
        const char* named;  // part of the reason, "" when none
    } cases[] = {
        {"", 0, "5000 10000 10000 60000 60000 5000 5000 5000", ""},
        {"reconnect=200", 0, "200 10000 10000 60000 60000 5000 5000 5000", ""},
        {"reconnect=1,send=2,answer=3,whole=4,silence=5,poll=6", 0, "1 2 3 4 5 6 5000 5000", ""},
        {"lcd_retry=300,lcd_answer=40", 0, "5000 10000 10000 60000 60000 5000 300 40", ""},
        {"lcd_retry=0", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"lcd_retry=0\""},
        {"lcd=5", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"lcd=5\""},
        {"answer=500,,poll=86400000", 0, "5000 10000 500 60000 60000 86400000 5000 5000", ""},
        {"answer=0,send=700", -1, "5000 700 10000 60000 60000 5000 5000 5000", "\"answer=0\""},
        {"send=86400001", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"send=86400001\""},
        {"whole=99999999999999999999", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "whole="},
        {"poll=-5,silence=9", -1, "5000 10000 10000 60000 9 5000 5000 5000", "\"poll=-5\""},
        {"answer= 5", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"answer= 5\""},
        {"Answer=5", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"Answer=5\""},
        {"reconnect", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"reconnect\""},
        {"send=5\x1b[2J", -1, "5000 10000 10000 60000 60000 5000 5000 5000", "\"send=5?[2J\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MP_Limits l;
        char why[256];
        EXPECT_EQ(c.rc, MP_limits_parse(c.text, &l, why, sizeof why));
        EXPECT_EQ(c.limits, shown(l));
        if (*c.named)
            EXPECT_NE(std::string::npos, std::string(why).find(c.named)) << why;
        else
            EXPECT_STREQ("", why);
    }
}

}  // namespace
