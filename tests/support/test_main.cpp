// Every test binary starts here: sandbox first, then the signal storm when
// asked for, then GoogleTest.
#include <gtest/gtest.h>

#include "sandbox.h"
#include "signal_storm.h"

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    enterSandbox();
    startSignalStormIfAsked();
    return RUN_ALL_TESTS();
}
