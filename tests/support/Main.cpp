// Test entry point. The test executable may relaunch itself in a role (a
// second process for cross-process tests): see RunRoleIfRequested.

#include <gtest/gtest.h>

#include "tests/support/Roles.h"

int wmain(int argc, wchar_t** argv)
{
    int exitCode = 0;
    if (RunRoleIfRequested(argc, argv, &exitCode))
        return exitCode;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
