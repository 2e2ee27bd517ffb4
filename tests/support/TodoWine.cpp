#include "tests/support/TodoWine.h"

#include <windows.h>

bool RunningOnWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

testing::AssertionResult TodoWine(bool passed, const char* reason)
{
    if (!RunningOnWine()) {
        if (passed)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "failed on Windows (Wine is known to differ here: " << reason << ")";
    }
    if (!passed)
        return testing::AssertionSuccess() << "todo_wine: " << reason;
    return testing::AssertionFailure() << "todo_wine passed: Wine now behaves as Windows here (" << reason
                                       << "); remove the mark";
}
