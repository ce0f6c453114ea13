// The contract tests on the host run against a fresh stand-in machine.
#include <gtest/gtest.h>

#include "standin/machine.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    standin::ResetMachine();
    return RUN_ALL_TESTS();
}
