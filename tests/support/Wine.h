#pragma once
// Checks that Wine is known to fail, marked the way Wine's own tests mark
// them (todo_wine): under Wine the check must fail, and a pass is reported
// so that the mark can go; on Windows it must pass. Always give the reason
// beside the check.

#include <gtest/gtest.h>

bool IsRunningUnderWine();

#define EXPECT_TODO_WINE(condition)                                                            \
    do {                                                                                       \
        const bool todoWinePassed = static_cast<bool>(condition);                              \
        if (IsRunningUnderWine())                                                              \
            EXPECT_FALSE(todoWinePassed) << "todo_wine check passes under Wine now: " #condition; \
        else                                                                                   \
            EXPECT_TRUE(todoWinePassed) << #condition;                                         \
    } while (0)
