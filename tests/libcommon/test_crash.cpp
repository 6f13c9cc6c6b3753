// test_crash.cpp - the crash report: its text for every exception, and real faults in a child.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "mp_crash.h"
#include "scratch.h"
#include "vp.h"

namespace {

std::string format(uint32_t code, uint32_t flags, uintptr_t address, uint32_t nparams,
                   uintptr_t p0 = 0, uintptr_t p1 = 0, uintptr_t p2 = 0) {
    vp_fault f{code, flags, address, nparams, {p0, p1, p2}};
    char out[512];
    MP_format_exception(&f, out, sizeof out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The report text.

TEST(CrashFormat, EveryTableCodeHasItsName) {
    const struct {
        uint32_t code;
        const char* name;
    } table[] = {
        {0x80000001u, "GUARD_PAGE_VIOLATION"},   {0x80000002u, "DATATYPE_MISALIGNMENT"},
        {0x80000003u, "BREAKPOINT"},             {0x80000004u, "SINGLE_STEP"},
        {0xC0000005u, "ACCESS_VIOLATION"},       {0xC0000006u, "IN_PAGE_ERROR"},
        {0xC0000008u, "INVALID_HANDLE"},         {0xC000001Du, "ILLEGAL_INSTRUCTION"},
        {0xC0000025u, "NONCONTINUABLE_EXCEPTION"}, {0xC0000026u, "INVALID_DISPOSITION"},
        {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},  {0xC000008Du, "FLOAT_DENORMAL_OPERAND"},
        {0xC000008Eu, "FLOAT_DIVIDE_BY_ZERO"},   {0xC000008Fu, "FLOAT_INEXACT_RESULT"},
        {0xC0000090u, "FLOAT_INVALID_OPERATION"}, {0xC0000091u, "FLOAT_OVERFLOW"},
        {0xC0000092u, "FLOAT_STACK_CHECK"},      {0xC0000093u, "FLOAT_UNDERFLOW"},
        {0xC0000094u, "INTEGER_DIVIDE_BY_ZERO"}, {0xC0000095u, "INTEGER_OVERFLOW"},
        {0xC0000096u, "PRIVILEGED_INSTRUCTION"}, {0xC00000FDu, "STACK_OVERFLOW"},
    };
    for (const auto& row : table) {
        char code[16];
        snprintf(code, sizeof code, "%08x", static_cast<unsigned>(row.code));
        EXPECT_EQ(format(row.code, 0, 0x401000, 0),
                  std::string(row.name) + " (0x" + code + ") CONTINUABLE Address=0x00401000 nparams=0");
    }
}

TEST(CrashFormat, CodesOutsideTheTableAreUnknown) {
    EXPECT_EQ(format(0xE06D7363u, 0, 0x1234, 3, 1, 2, 3),
              "Unknown Exception (0xe06d7363) CONTINUABLE Address=0x00001234 nparams=3");
    EXPECT_EQ(format(0x20474343u, 0, 0, 1), "Unknown Exception (0x20474343) CONTINUABLE Address=0x00000000 nparams=1");
    EXPECT_EQ(format(0, 0, 0, 0), "Unknown Exception (0x00000000) CONTINUABLE Address=0x00000000 nparams=0");
}

TEST(CrashFormat, OnlyFlagsOfExactlyOneAreNoncontinuable) {
    EXPECT_NE(format(0xE0000001u, 1, 0, 0).find(") NONCONTINUABLE Address="), std::string::npos);
    for (uint32_t flags : {0u, 2u, 3u, 0x10u, 0xFFFFFFFFu})
        EXPECT_NE(format(0xE0000001u, flags, 0, 0).find(") CONTINUABLE Address="), std::string::npos)
            << flags;
}

TEST(CrashFormat, AccessViolationNamesTheKindOfAccess) {
    const std::string head = "ACCESS_VIOLATION (0xc0000005) CONTINUABLE Address=0x00401010 nparams=2";
    EXPECT_EQ(format(0xC0000005u, 0, 0x401010, 2, 0, 0),
              head + "\n Read of inaccessible data at virtual address 0x00000000");
    EXPECT_EQ(format(0xC0000005u, 0, 0x401010, 2, 1, 0x10),
              head + "\n Write of inaccessible data at virtual address 0x00000010");
    EXPECT_EQ(format(0xC0000005u, 0, 0x401010, 2, 8, 0xdeadbeef),
              head + "\n Caused a user-mode data execution prevention (DEP) violation at virtual "
                     "address 0xdeadbeef");
    // Any other kind shows the kind itself, after two blanks.
    EXPECT_EQ(format(0xC0000005u, 0, 0x401010, 2, 3, 0x5000), head + "\n  Params=??? 0x00000003");
    EXPECT_EQ(format(0xC0000005u, 0, 0x401010, 2, 2, 0x5000), head + "\n  Params=??? 0x00000002");
}

TEST(CrashFormat, AccessViolationWithOtherThanTwoParametersHasNoDetail) {
    for (uint32_t n : {0u, 1u, 3u, 15u}) {
        std::string s = format(0xC0000005u, 0, 0x2000, n, 1, 0x10, 0x20);
        EXPECT_EQ(s.find('\n'), std::string::npos) << n;
        EXPECT_EQ(s, "ACCESS_VIOLATION (0xc0000005) CONTINUABLE Address=0x00002000 nparams=" +
                         std::to_string(n));
    }
}

TEST(CrashFormat, InPageErrorAddsTheStatusCode) {
    const std::string head = "IN_PAGE_ERROR (0xc0000006) CONTINUABLE Address=0x00401010 nparams=3";
    EXPECT_EQ(format(0xC0000006u, 0, 0x401010, 3, 0, 0x7000, 0xC000009Cu),
              head + "\n Read of inaccessible data at virtual address 0x00007000, NTSTATUS code 0xc000009c");
    EXPECT_EQ(format(0xC0000006u, 0, 0x401010, 3, 1, 0x7000, 0xC0000185u),
              head + "\n Write of inaccessible data at virtual address 0x00007000, NTSTATUS code 0xc0000185");
    EXPECT_EQ(format(0xC0000006u, 0, 0x401010, 3, 8, 0x7000, 0x0000000Eu),
              head + "\n Caused a user-mode data execution prevention (DEP) violation at virtual "
                     "address 0x00007000, NTSTATUS code 0x0000000e");
    // Any other kind: one blank only, and the address rather than the kind.
    EXPECT_EQ(format(0xC0000006u, 0, 0x401010, 3, 5, 0x7000, 0xC000009Cu),
              head + "\n Params=??? 0x00007000, NTSTATUS code 0xc000009c");
    for (uint32_t n : {0u, 2u, 4u})
        EXPECT_EQ(format(0xC0000006u, 0, 0x401010, n, 0, 0x7000, 0xC000009Cu).find('\n'),
                  std::string::npos)
            << n;
}

TEST(CrashFormat, StatusCodeIsWrittenAsThirtyTwoBits) {
    // A 64-bit parameter may carry the status sign-extended.
    if constexpr (sizeof(uintptr_t) == 8) {
        std::string s = format(0xC0000006u, 0, 0, 3, 0, 0, static_cast<uintptr_t>(-0x3fffff64LL));
        EXPECT_NE(s.find(", NTSTATUS code 0xc000009c"), std::string::npos) << s;
    }
}

TEST(CrashFormat, AddressesAreWrittenInFull) {
    if constexpr (sizeof(uintptr_t) == 8) {
        const uintptr_t high = static_cast<uintptr_t>(0x00007ff6a1b2c3d4ULL);
        EXPECT_EQ(format(0xC0000005u, 0, high, 2, 0, high + 8),
                  "ACCESS_VIOLATION (0xc0000005) CONTINUABLE Address=0x7ff6a1b2c3d4 nparams=2"
                  "\n Read of inaccessible data at virtual address 0x7ff6a1b2c3dc");
        std::string s = format(0xC0000005u, 0, 0, 2, 0, UINTPTR_MAX);
        EXPECT_NE(s.find("\n Read of inaccessible data at virtual address 0xffffffffffffffff"),
                  std::string::npos)
            << s;
    }
}

TEST(CrashFormat, TheLongestReportIsWrittenWhole) {
    std::string s = format(0xC0000006u, 1, UINTPTR_MAX, 3, 8, UINTPTR_MAX, 0xC000009Cu);
    EXPECT_EQ(s.rfind("IN_PAGE_ERROR (0xc0000006) NONCONTINUABLE Address=0x", 0), 0u) << s;
    EXPECT_NE(s.find("(DEP) violation at virtual address 0x"), std::string::npos) << s;
    EXPECT_EQ(s.substr(s.size() - 26), ", NTSTATUS code 0xc000009c");
}

TEST(CrashFormat, SmallBuffersAreNeverOverrun) {
    vp_fault f{0xC0000006u, 1, UINTPTR_MAX, 3, {8, UINTPTR_MAX, 0xC000009Cu}};
    for (int size : {1, 10, 40, 80, 120}) {
        char buf[160];
        memset(buf, '#', sizeof buf);
        MP_format_exception(&f, buf, size);
        EXPECT_EQ(strlen(buf), static_cast<size_t>(size - 1)) << size;
        for (int i = size; i < static_cast<int>(sizeof buf); i++) ASSERT_EQ(buf[i], '#') << size;
    }
}

// ---------------------------------------------------------------------------------------------
// Real faults in a child program.

struct Crash {
    int exit_code = 0;
    std::vector<std::string> lines;  // the log after its banner, without time stamps
    std::string report;              // the text after "**Error** Exception: "
    std::string detail;              // the line after the report, when it is no trace line
    std::vector<std::string> called_from;
    std::string target;              // the address the child named before faulting
    size_t report_at = std::string::npos;
};

// "hh:mm:ss.mmm " in front of a logged line.
bool has_stamp(const std::string& line) {
    static const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d .*)");
    return std::regex_match(line, stamp);
}

// Runs the faulter with these words and reads its log; a log from an earlier run in the same
// test is removed first, so that only this run's lines are read.
Crash run_faulter(const std::string& words) {
    Crash c;
    std::remove("plugins" VP_SEP "Vistrel_Faulter.log");
#ifdef VISTREL_SANITIZE
    // The sanitizer would take the fault signals for itself; the child's own handler is tested.
    setenv("ASAN_OPTIONS",
           "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
           "allow_user_segv_handler=1:detect_leaks=0",
           1);
#endif
    std::string arg0 = "vistrel_faulter " + words;
    c.exit_code = vp_spawn_wait(VISTREL_VISTREL_FAULTER, arg0.c_str());
    std::vector<std::string> all = read_lines("plugins" VP_SEP "Vistrel_Faulter.log");
    size_t first = 0;
    // The opening banner ends with the second line of asterisks.
    int rules = 0;
    while (first < all.size() && rules < 2)
        if (all[first++].rfind("*****", 0) == 0) rules++;
    const std::string mark = "**Error** Exception: ";
    for (size_t i = first; i < all.size(); i++) {
        const std::string& line = all[i];
        std::string text = has_stamp(line) ? line.substr(13) : line;
        c.lines.push_back(text);
        if (text.rfind(mark, 0) == 0 && c.report_at == std::string::npos) {
            c.report = text.substr(mark.size());
            c.report_at = c.lines.size() - 1;
            if (i + 1 < all.size() && !has_stamp(all[i + 1])) c.detail = all[i + 1];
        } else if (text.rfind("Called from ", 0) == 0) {
            c.called_from.push_back(text.substr(12));
        } else if (text.rfind("Faulter: target ", 0) == 0) {
            c.target = text.substr(16);
        }
    }
    return c;
}

size_t line_index(const Crash& c, const std::string& text) {
    for (size_t i = 0; i < c.lines.size(); i++)
        if (c.lines[i] == text) return i;
    return std::string::npos;
}

// The report's head: name, code, continuable text, an address of at least eight digits, and
// the number of parameters.
void expect_head(const Crash& c, const std::string& name_code, const std::string& nparams) {
    static const std::regex head(R"(^(.*) (CONTINUABLE|NONCONTINUABLE) Address=0x([0-9a-f]{8,16}) nparams=(\d+)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(c.report, m, head)) << c.report;
    EXPECT_EQ(m[1].str(), name_code);
    EXPECT_EQ(m[2].str(), "CONTINUABLE");
    EXPECT_EQ(m[4].str(), nparams);
}

// What every report of a fault in the child shows: the exit code after a report, the head, the
// detail line when one is given, and the faulting function called from run_mode on the trace.
void expect_report(const Crash& c, const std::string& name_code, const std::string& nparams,
                   const std::string& function, const char* detail = nullptr) {
    EXPECT_EQ(c.exit_code, 1);
    expect_head(c, name_code, nparams);
    if (detail != nullptr) {
        EXPECT_EQ(c.detail, detail);
    }
    EXPECT_EQ(c.called_from, (std::vector<std::string>{function, "run_mode"}));
}

std::string report_address(const Crash& c) {
    size_t at = c.report.find("Address=");
    size_t end = c.report.find(' ', at);
    return at == std::string::npos ? "" : c.report.substr(at + 8, end - at - 8);
}

class CrashChild : public ::testing::Test {
protected:
    ScratchDir dir;
};

TEST_F(CrashChild, NullReadIsAReadAccessViolationAtZero) {
    expect_report(run_faulter("null-read 0"), "ACCESS_VIOLATION (0xc0000005)", "2", "null_read",
                  " Read of inaccessible data at virtual address 0x00000000");
}

TEST_F(CrashChild, WriteToReadOnlyDataNamesTheAddressWritten) {
    Crash c = run_faulter("readonly-write 0");
    expect_report(c, "ACCESS_VIOLATION (0xc0000005)", "2", "readonly_write");
    ASSERT_FALSE(c.target.empty());
    EXPECT_EQ(c.detail, " Write of inaccessible data at virtual address " + c.target);
}

TEST_F(CrashChild, ExecutingDataIsADataExecutionViolation) {
    Crash c = run_faulter("exec-data 0");
    expect_report(c, "ACCESS_VIOLATION (0xc0000005)", "2", "exec_data");
    ASSERT_FALSE(c.target.empty());
    EXPECT_EQ(c.detail,
              " Caused a user-mode data execution prevention (DEP) violation at virtual address " +
                  c.target);
    // The faulting instruction is the data itself; on 64-bit builds its address is written in
    // full, not cut to 32 bits.
    EXPECT_EQ(report_address(c), c.target);
}

TEST_F(CrashChild, IntegerDivisionByZero) {
    expect_report(run_faulter("divide 0"), "INTEGER_DIVIDE_BY_ZERO (0xc0000094)", "0", "divide", "");
}

TEST_F(CrashChild, StackOverflowIsReportedAsSuch) {
    expect_report(run_faulter("overflow 0"), "STACK_OVERFLOW (0xc00000fd)", "2", "overflow", "");
}

TEST_F(CrashChild, BreakpointAndIllegalAndPrivilegedInstructions) {
    struct {
        const char* mode;
        const char* head;
        const char* nparams;
        const char* fn;
    } cases[] = {
        {"breakpoint", "BREAKPOINT (0x80000003)", "1", "breakpoint"},
        {"illegal", "ILLEGAL_INSTRUCTION (0xc000001d)", "0", "illegal"},
        {"privileged", "PRIVILEGED_INSTRUCTION (0xc0000096)", "0", "privileged"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.mode);
        expect_report(run_faulter(std::string(k.mode) + " 0"), k.head, k.nparams, k.fn, "");
    }
}

#ifndef _WIN32
TEST_F(CrashChild, PageThatCannotBeReadInIsAnInPageError) {
    Crash c = run_faulter("inpage 0");
    EXPECT_EQ(c.exit_code, 1);
    expect_head(c, "IN_PAGE_ERROR (0xc0000006)", "3");
    ASSERT_FALSE(c.target.empty());
    EXPECT_EQ(c.detail, " Read of inaccessible data at virtual address " + c.target +
                            ", NTSTATUS code 0xc0000185");
}

TEST_F(CrashChild, MisalignedReadUnderAlignmentCheck) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "alignment checking is switched on by x86-64 code only";
#endif
    Crash c = run_faulter("misaligned 0");
    expect_report(c, "DATATYPE_MISALIGNMENT (0x80000002)", "0", "misaligned");
}
#else
TEST_F(CrashChild, RaisedExceptionsOutsideTheTableAreUnknown) {
    Crash c = run_faulter("raise 0 e0000001 0");
    expect_report(c, "Unknown Exception (0xe0000001)", "0", "raise_exception");

    c = run_faulter("raise 0 e0000001 1 5 6");
    EXPECT_EQ(c.exit_code, 1);
    EXPECT_NE(c.report.find("Unknown Exception (0xe0000001) NONCONTINUABLE Address=0x"),
              std::string::npos)
        << c.report;
    EXPECT_NE(c.report.find(" nparams=2"), std::string::npos) << c.report;
    EXPECT_EQ(c.detail, "");
}

TEST_F(CrashChild, RaisedAccessViolationsOfOddShapes) {
    Crash c = run_faulter("raise 0 c0000005 0 3 1234");
    EXPECT_EQ(c.exit_code, 1);
    expect_head(c, "ACCESS_VIOLATION (0xc0000005)", "2");
    EXPECT_EQ(c.detail, "  Params=??? 0x00000003");

    c = run_faulter("raise 0 c0000005 0 1");
    expect_head(c, "ACCESS_VIOLATION (0xc0000005)", "1");
    EXPECT_EQ(c.detail, "");

    c = run_faulter("raise 0 c0000006 0 0 1234 c000009c");
    expect_head(c, "IN_PAGE_ERROR (0xc0000006)", "3");
    EXPECT_EQ(c.detail, " Read of inaccessible data at virtual address 0x00001234, NTSTATUS code 0xc000009c");
}

TEST_F(CrashChild, EvenACaughtLanguageExceptionEndsTheProgram) {
    // The report is first in line, so the run-time's own exception never reaches its catch.
    Crash c = run_faulter("throw 0");
    expect_report(c, "Unknown Exception (0x20474343)", "1", "throw_and_catch");
}
#endif

TEST_F(CrashChild, HeldBackLinesComeBeforeTheReportAtDebugLevelZero) {
    Crash c = run_faulter("null-read 0");
    ASSERT_NE(c.report_at, std::string::npos);
    // Lines that level 0 holds back reach the file only through the write-out, oldest first.
    size_t opened = std::string::npos;
    for (size_t i = 0; i < c.lines.size(); i++)
        if (c.lines[i].rfind("Log file Opened at ", 0) == 0) opened = i;
    size_t starting = line_index(c, "Faulter: starting");
    size_t held = line_index(c, "Faulter: held back at every level");
    size_t mode = line_index(c, "Faulter: null-read");
    ASSERT_NE(opened, std::string::npos);
    ASSERT_NE(held, std::string::npos);
    EXPECT_LT(opened, starting);
    EXPECT_LT(starting, held);
    EXPECT_LT(held, mode);
    EXPECT_LT(mode, c.report_at);
    EXPECT_EQ(c.called_from.size(), 2u);
}

TEST_F(CrashChild, NoWriteOutOfHeldBackLinesAtDebugLevelThree) {
    Crash c = run_faulter("null-read 3");
    ASSERT_NE(c.report_at, std::string::npos);
    EXPECT_EQ(c.exit_code, 1);
    // Written as they were logged, once each; the level-4 line and the line logged while the
    // level was still 0 never reach the file.
    EXPECT_LT(line_index(c, "Faulter: starting"), c.report_at);
    EXPECT_LT(line_index(c, "Faulter: null-read"), c.report_at);
    EXPECT_EQ(line_index(c, "Faulter: held back at every level"), std::string::npos);
    for (const std::string& line : c.lines) EXPECT_EQ(line.rfind("Log file Opened at ", 0), std::string::npos);
    EXPECT_EQ(c.detail, " Read of inaccessible data at virtual address 0x00000000");
    EXPECT_EQ(c.called_from, (std::vector<std::string>{"null_read", "run_mode"}));
}

TEST_F(CrashChild, FaultInsideTheReportEndsTheProgramWithoutLooping) {
    // The child's console buffer is read-only, so writing the report faults a second time.
    Crash c = run_faulter("second 0");
    EXPECT_EQ(c.exit_code, 1);
    // The report had begun (the held-back lines were written out) and was not started again.
    EXPECT_NE(line_index(c, "Faulter: second"), std::string::npos);
    int reports = 0;
    for (const std::string& line : c.lines) reports += line.rfind("**Error** Exception:", 0) == 0;
    EXPECT_LE(reports, 1);
    EXPECT_TRUE(c.called_from.empty());
}

TEST_F(CrashChild, FaultBeforeTheLogIsSetStillEndsWithOne) {
    Crash c = run_faulter("early 0");
    EXPECT_EQ(c.exit_code, 1);
    EXPECT_FALSE(std::filesystem::exists("plugins" VP_SEP "Vistrel_Faulter.log"));
}

}  // namespace
