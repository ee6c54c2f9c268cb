// Every test binary starts here: sandbox first, then GoogleTest.
#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    enterSandbox();
    return RUN_ALL_TESTS();
}
