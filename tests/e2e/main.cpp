#include <gtest/gtest.h>

#include "rig.h"

int main(int argc, char **argv)
{
    // Before GoogleTest or anything else can start a thread.
    rig::enterNamespace();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
