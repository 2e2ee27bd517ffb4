#include "tests/browser/ResourceUse.h"

#include <psapi.h>

#include "com/Module.h"

namespace {

// GetProcessHandleCount answers 0 under Wine: count the handle values that
// name an open object instead. Wine hands out the lowest free value, so a
// process with fewer than 16,384 handles has them all below the limit.
DWORD CountOpenHandles()
{
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < 65536; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    }
    return count;
}

}  // namespace

CResourceUse MeasureResources()
{
    CResourceUse use;
    use.handles = CountOpenHandles();
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    // Wine reports no PrivateUsage; PagefileUsage carries the same figure.
    use.memory = counters.PagefileUsage;
    use.moduleLocks = GetModuleLockCount();
    return use;
}
