// test_main.cpp - the tests' main: each test process with block names of its own and a guard.
#include <gtest/gtest.h>

#include "isolate.h"

int main(int argc, char** argv) {
    vistrel_isolate_test();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
