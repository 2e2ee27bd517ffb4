#pragma once
// Known differences between Wine and Windows, marked the way Wine's own tests
// mark them (todo_wine): the check stays and guards the behaviour on Windows;
// under Wine it is expected to fail, and a pass there is reported, so that
// the mark goes once Wine behaves.
//
//     EXPECT_TRUE(TodoWine(hr == S_OK, "Wine's ieframe.dll lacks IEIsProtectedModeProcess"));

#include <gtest/gtest.h>

// True when the tests run under Wine (its ntdll exports wine_get_version).
bool RunningOnWine();

// Success when `passed` on Windows, or when not `passed` under Wine. `reason`
// says what Wine does differently.
testing::AssertionResult TodoWine(bool passed, const char* reason);
