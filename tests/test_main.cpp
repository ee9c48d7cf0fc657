#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Dates and times in the tests read the same on every machine.
    setenv("TZ", "UTC", 1);
    setenv("LC_ALL", "C", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
