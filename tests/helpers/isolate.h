// isolate.h - test support: one test process, its own block names, and nothing of it left behind.
#pragma once

#include <string>

// Gives this process and everything it starts block names of its own (VISTREL_BLOCK_SUFFIX
// ".t" and the process id, unless the variable is set already) and a guard: when this process
// ends, however it ends (CTest's kill at a time-out included), every process that it started,
// detached or not, is ended too. POSIX: a guard process outside the test's session watches for
// its end and kills each process of this user whose environment carries the test's token;
// Windows: a job object that ends its processes when its last handle closes.
void vistrel_isolate_test();
// This run's name of a block: the base and the suffix of the run (the readers' header's rule).
std::string run_block_name(const char* base);
// Shortens the programs' pauses and limits (VISTREL_TEST_LIMITS, "reconnect=500,answer=1000")
// for the programs that the test starts while the object lives, so that a test of a limit
// need not wait out the product's own.
class TestLimits {
public:
    explicit TestLimits(const char* limits);
    ~TestLimits();
    TestLimits(const TestLimits&) = delete;
    TestLimits& operator=(const TestLimits&) = delete;
};
// Sets an environment variable for this process and the programs that it starts.
void set_env(const char* name, const char* value);
void unset_env(const char* name);
