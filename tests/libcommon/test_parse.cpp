// test_parse.cpp - the flattener: its examples, the odd rules that displays rely on, bad input.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mp_log.h"
#include "mp_parse.h"
#include "mp_tags.h"
#include "scratch.h"
#include "vp.h"

namespace {

const char* const kLog = VP_PLUGINS "parse.log";

// The table's own lookup matches name prefixes; these tests look for exact names.
const MP_TagEntry* find(const std::string& name) {
    for (int i = 1; i <= MP_Numtags; ++i)
        if (name == MP_Tags[i].name) return &MP_Tags[i];
    return nullptr;
}

::testing::AssertionResult Has(const std::string& name, int type, int ival, const std::string& text) {
    const MP_TagEntry* t = find(name);
    if (!t) return ::testing::AssertionFailure() << name << " is not stored";
    if (t->type != type || t->ival != ival || text != t->string)
        return ::testing::AssertionFailure()
               << name << " = " << t->string << " (" << t->type << ", " << t->ival << ")";
    return ::testing::AssertionSuccess();
}

class Parse : public ::testing::Test {
protected:
    void SetUp() override {
        MP_Numtags = 0;
        MP_Clear_tags();
        MP_log_reset();
        MP_Global_Debug = 1;  // error lines are written once, tag stores are held back
        snprintf(MP_Global_LogPath, sizeof MP_Global_LogPath, "%s", kLog);
        MP_open_log();
    }
    void TearDown() override { MP_close_log(); }

    // The error lines written so far, each from its label on.
    std::vector<std::string> errors() {
        std::vector<std::string> out;
        for (const std::string& line : read_lines(kLog)) {
            size_t at = line.find("**Error**");
            if (at != std::string::npos) out.push_back(line.substr(at + 9));
        }
        return out;
    }
    // Flattens one object directly, the way the MPExtended bridge does; returns the position.
    int item(const char* text, const char* prefix, int pos = 0) {
        char buf[65];
        snprintf(buf, sizeof buf, "%s", prefix);
        int len = static_cast<int>(strlen(buf));
        MP_Parse_item("T:", buf, text, &pos, &len);
        return pos;
    }

    ScratchDir dir;
};

// ---- The documented examples --------------------------------------------------------------

TEST_F(Parse, FlatObjectStoresMembersAndSkipsEmptyStrings) {
    MP_Parse("T:", R"({"Type":"status","Flag":false,"Note":"","Place":"Home"})");
    EXPECT_TRUE(Has("Type", 1, 0, "status"));
    EXPECT_TRUE(Has("Flag", 1, 0, "false"));
    EXPECT_TRUE(Has("Place", 1, 0, "Home"));
    EXPECT_EQ(MP_Numtags, 3);
    EXPECT_TRUE(errors().empty());
}

TEST_F(Parse, NestedObjectsAndTheirPrefixes) {
    MP_Parse("T:", R"({"P":{"Q":1},"R":"x"})");
    EXPECT_TRUE(Has("P.Q", 0, 1, "1"));
    EXPECT_TRUE(Has("R", 1, 0, "x"));
    // A nested object ending in a string has its "}" stepped over: Pos is read under Info.
    MP_Parse("T:", R"({"Type":"x","Info":{"Kind":"tv","Name":"News"},"Pos":12})");
    EXPECT_TRUE(Has("Info.Kind", 1, 0, "tv"));
    EXPECT_TRUE(Has("Info.Name", 1, 0, "News"));
    EXPECT_TRUE(Has("Info.Pos", 0, 12, "12"));
    EXPECT_EQ(find("Pos"), nullptr);
    MP_Parse("T:", R"({"P":{"X":1},"Q":{"Y":2}})");
    EXPECT_TRUE(Has("P.X", 0, 1, "1"));
    EXPECT_TRUE(Has("Q.Y", 0, 2, "2"));
    EXPECT_EQ(MP_Numtags, 8);
}

TEST_F(Parse, TagsArrayAndTagMemberBecomeProperties) {
    MP_Parse("T:", R"({"Type":"properties","Tags":[{"Tag":"#Play.Current.Title","Value":"News"},)"
                   R"({"Tag":"#Play.Current.Channel","Value":"One"}]})");
    EXPECT_TRUE(Has("Type", 1, 0, "properties"));
    EXPECT_TRUE(Has("Properties.Play.Current.Title", 1, 0, "News"));
    EXPECT_TRUE(Has("Properties.Play.Current.Channel", 1, 0, "One"));
    MP_Parse("T:", R"({"Kind":"x","Tag":"#Play.Current.Genre","Value":"Drama"})");
    EXPECT_TRUE(Has("Kind", 1, 0, "x"));
    EXPECT_TRUE(Has("Properties.Play.Current.Genre", 1, 0, "Drama"));
    // A "," behind the list starts one more element; an empty value stores nothing.
    MP_Parse("T:", R"({"Tags":[{"Tag":"#A","Value":"1"}],"Tag":"#B","Value":"2"})");
    MP_Parse("T:", R"({"Tags":[{"Tag":"#C","Value":""}]})");
    EXPECT_TRUE(Has("Properties.A", 1, 0, "1"));
    EXPECT_TRUE(Has("Properties.B", 1, 0, "2"));
    EXPECT_EQ(MP_Numtags, 7);
}

TEST_F(Parse, ArraysLiteralsAndNumbers) {
    MP_Parse("T:", R"({"L":[1,2],"N":null,"M":-3,"T":true,"Z":007,"D":12-3})");
    EXPECT_TRUE(Has("L", 0, 0, "[1,2]"));
    EXPECT_TRUE(Has("N", 1, 0, "null"));
    EXPECT_TRUE(Has("M", 0, -3, "-3"));
    EXPECT_TRUE(Has("T", 1, 1, "true"));
    EXPECT_TRUE(Has("Z", 0, 7, "7"));
    EXPECT_TRUE(Has("D", 0, 12, "12"));
    // Nested arrays are not matched: the first "]" ends the text, the second is illegal.
    MP_Parse("T:", R"({"A":[[1,2],[3]],"B":1})");
    EXPECT_TRUE(Has("A", 0, 0, "[[1,2]"));
    EXPECT_EQ(find("B"), nullptr);
    EXPECT_EQ(MP_Numtags, 7);
}

TEST_F(Parse, EmptyArrayEndsTheObjectAndTheNextBraceIsReadWithoutPrefix) {
    MP_Parse("T:", R"({"P":[],"Q":{"X":1},"R":2})");
    EXPECT_TRUE(Has("X", 0, 1, "1"));
    EXPECT_EQ(MP_Numtags, 1);
}

TEST_F(Parse, FractionIsReportedAsIllegalCharacter) {
    MP_Parse("T:", R"({"F":1.5,"G":2})");
    EXPECT_TRUE(Has("F", 0, 1, "1"));
    EXPECT_EQ(MP_Numtags, 1);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], R"(Parse_item: Illegal character code 46 found at 6 on line:{"F":1.5,"G":2})");
    // After the report the scan resumes at the next "{", here a nested object's.
    MP_Parse("T:", R"({"a":1.5,"b":{"c":2}})");
    EXPECT_TRUE(Has("c", 0, 2, "2"));
}

TEST_F(Parse, UnknownValueStartAbandonsTheWholeText) {
    MP_Parse("T:", R"({"a": 1}{"b":2})");
    EXPECT_EQ(MP_Numtags, 0);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], R"(Parse item: Unknown character-  1}{"b":2})");
}

TEST_F(Parse, RecordingObjectUnderItsPrefix) {
    const char* body = R"([{"Description":"d","EndTime":"\/Date(1449961234567+0100)\/","Title":"t"},)"
                       R"({"Description":"e","Info":{"Id":5},"Title":"u"}])";
    int next = item(body, "Rec1", 1);
    EXPECT_EQ(body[next], '{');
    EXPECT_EQ(next, static_cast<int>(strchr(body + 2, '{') - body));
    EXPECT_TRUE(Has("Rec1.Description", 1, 0, "d"));
    EXPECT_TRUE(Has("Rec1.Title", 1, 0, "t"));
    const MP_TagEntry* end = find("Rec1.EndTime");
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->type, MP_TYPE_TIME);
    EXPECT_EQ(end->time, 1449961234);
    // After a nested object the prefix is emptied, not restored.
    item(body, "Rec2", next);
    EXPECT_TRUE(Has("Rec2.Info.Id", 0, 5, "5"));
    EXPECT_TRUE(Has("Title", 1, 0, "u"));
}

TEST_F(Parse, EscapesLineBreaksAndEmptyObjects) {
    MP_Parse("T:", R"({"S":"say \"hi\" \\","T":1})");
    EXPECT_TRUE(Has("S", 1, 0, R"(say \"hi\" \\)"));
    EXPECT_TRUE(Has("T", 0, 1, "1"));
    MP_Parse("T:", "{\n\"A\":1}{\"B\":1\n\"C\":2}{}{\"D\":3}");
    EXPECT_EQ(find("A"), nullptr);
    EXPECT_EQ(find("C"), nullptr);
    EXPECT_TRUE(Has("B", 0, 1, "1"));
    EXPECT_TRUE(Has("D", 0, 3, "3"));
    EXPECT_EQ(MP_Numtags, 4);
}

TEST_F(Parse, EmptyStringKeepsTheStoredValueAndLongStringsAreCut) {
    MP_put_tag("A", 1, 9, "old");
    MP_Parse("T:", R"({"A":""})");
    EXPECT_TRUE(Has("A", 1, 9, "old"));
    std::string text = R"({"S":")" + std::string(300, 'x') + R"("})";
    MP_Parse("T:", text.c_str());
    EXPECT_TRUE(Has("S", 1, 0, std::string(256, 'x')));
}

TEST_F(Parse, ReportsHoldTheirExactWording) {
    MP_Parse("T:", R"({"abc)");
    std::string text = R"({"F":1.5,"pad":")" + std::string(5000, 'y') + R"("})";
    MP_Parse("T:", text.c_str());
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], "Parse_item: Cant find terminating quote for tagname at 1");
    std::string head = "Parse_item: ";
    EXPECT_EQ(e[1].size(), head.size() + 4095);
    EXPECT_EQ(e[1].rfind(head + R"(Illegal character code 46 found at 6 on line:{"F":1.5,"pad":"yy)", 0), 0u);
}

// ---- Bad input ------------------------------------------------------------------------------

TEST_F(Parse, UnterminatedStringsAndArraysEndTheText) {
    for (const char* text : {R"({"n":1,"a":"abc{\"b\":1})", R"({"n":1,"a":[1,{"b":2})",
                             R"({"n":1,"a":"abc\)", R"({"n":1,"a":"abc\"})"}) {
        MP_Numtags = 0;
        MP_Clear_tags();
        int pos = item(text, "");
        EXPECT_GT(pos, static_cast<int>(strlen(text))) << text;
        MP_Parse("T:", text);
        EXPECT_TRUE(Has("n", 0, 1, "1")) << text;
        EXPECT_EQ(MP_Numtags, 1) << text;
    }
    EXPECT_EQ(errors().size(), 8u);
}

TEST_F(Parse, NamesThatDoNotFitAreNotStored) {
    std::string n63(63, 'a'), n64(64, 'b'), n58(58, 'c'), n59(59, 'd');
    MP_Parse("T:", ("{\"" + n63 + "\":1,\"" + n64 + "\":2}").c_str());
    item(("{\"" + n58 + "\":3,\"" + n59 + "\":4}").c_str(), "Rec1");
    // Members inside an object whose name is too long are passed over; the scan goes on.
    MP_Parse("T:", ("{\"" + n64 + "\":{\"x\":1,\"y\":\"z\",\"w\":[1]},\"k\":2}").c_str());
    EXPECT_TRUE(Has(n63, 0, 1, "1"));
    EXPECT_TRUE(Has("Rec1." + n58, 0, 3, "3"));
    EXPECT_TRUE(Has("k", 0, 2, "2"));
    EXPECT_EQ(MP_Numtags, 3);
    // A property name that does not fit is passed over, the next element is read.
    MP_Parse("T:", ("{\"Tags\":[{\"Tag\":\"#" + n59 + "\",\"Value\":\"v\"},{\"Tag\":\"#ok\",\"Value\":\"w\"}]}").c_str());
    EXPECT_TRUE(Has("Properties.ok", 1, 0, "w"));
    EXPECT_EQ(MP_Numtags, 4);
    for (int i = 1; i <= MP_Numtags; ++i) EXPECT_LE(strlen(MP_Tags[i].name), 63u);
}

TEST_F(Parse, LongArrayTextReachesTheTableCut) {
    std::string array = "[" + std::string(5000, '1') + "]";
    MP_Parse("T:", ("{\"L\":" + array + ",\"M\":1}").c_str());
    EXPECT_TRUE(Has("L", 0, 0, array.substr(0, 255)));
    EXPECT_TRUE(Has("M", 0, 1, "1"));
}

TEST_F(Parse, NumbersWithoutDigitsOrBeyond32Bits) {
    MP_Parse("T:", R"({"a":-,"b":1,"big":99999999999,"small":-99999999999,"max":2147483647,)"
                   R"("min":-2147483648,"over":2147483648})");
    EXPECT_EQ(find("a"), nullptr);
    EXPECT_TRUE(Has("b", 0, 1, "1"));
    EXPECT_TRUE(Has("big", 0, INT_MAX, "99999999999"));
    EXPECT_TRUE(Has("small", 0, INT_MIN, "-99999999999"));
    EXPECT_TRUE(Has("max", 0, INT_MAX, "2147483647"));
    EXPECT_TRUE(Has("min", 0, INT_MIN, "-2147483648"));
    EXPECT_TRUE(Has("over", 0, INT_MAX, "2147483648"));
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Parse_item: No digits in number at 5, nothing stored");
}

TEST_F(Parse, DeepNestingIsCutOffWithoutExhaustingTheStack) {
    auto nest = [](int levels) {
        std::string t;
        for (int i = 0; i < levels; ++i) t += "{\"a\":";
        return t + "{\"b\":1}" + std::string(levels + 1, '}');
    };
    MP_Parse("T:", nest(31).c_str());  // the deepest name that still fits: 63 characters
    std::string name;
    for (int i = 0; i < 31; ++i) name += "a.";
    EXPECT_TRUE(Has(name + "b", 0, 1, "1"));
    EXPECT_TRUE(errors().empty());
    MP_Parse("T:", (nest(MP_PARSE_MAX_DEPTH + 1) + "{\"after\":1}").c_str());
    MP_Parse("T:", nest(100000).c_str());
    EXPECT_EQ(MP_Numtags, 1);
    ASSERT_EQ(errors().size(), 2u);
    EXPECT_NE(errors()[1].find("nested deeper than 32 levels"), std::string::npos);
}

TEST_F(Parse, PropertyElementsWithoutTheirQuotesEndTheRun) {
    for (const char* text : {R"({"Tags":[{"Tag":"#abc)", R"({"Tags":[{"Tag":"#abc","Value":"xyz)",
                             R"({"Tag":5})", R"({"Tag":"#x"})", R"({"a":"x";"Tag":5})"})
        MP_Parse("T:", text);
    EXPECT_TRUE(Has("a", 1, 0, "x"));
    EXPECT_EQ(MP_Numtags, 1);
    // A prefix beginning "Tag" puts the element in front of the text: nothing is read there.
    EXPECT_EQ(item(R"({"a":1})", "Tagx"), 5);
    EXPECT_EQ(MP_Numtags, 1);
}

// Every cut of a message, in a buffer of exactly its size (so that the sanitizer sees any read
// past the zero), stores only names that fit and never moves the position backwards.
TEST_F(Parse, EveryCutOfAMessageStaysInsideTheText) {
    const std::string full =
        R"({"Type":"status","N":-12,"L":[1,2],"E":"a\"b\\","O":{"I":{"J":true},"K":"s"},"Z":null,)"
        R"("F":false,"Tags":[{"Tag":"#Play","Value":"x"},{"Tag":"#Q","Value":"y"}]})"
        R"({"A":[1,"]"],"X":1.5}{"Tag":"#T","Value":"v"})";
    for (size_t n = 0; n <= full.size(); ++n) {
        std::unique_ptr<char[]> text(new char[n + 1]);
        memcpy(text.get(), full.data(), n);
        text[n] = '\0';
        MP_Parse("T:", text.get());
        int pos = item(text.get(), "Rec1");
        EXPECT_GT(pos, 0);
        for (int i = 1; i <= MP_Numtags; ++i) EXPECT_LE(strlen(MP_Tags[i].name), 63u);
    }
    EXPECT_TRUE(Has("Properties.Play", 1, 0, "x"));
}

}  // namespace
