#include "com/Module.h"

#include "com/Error.h"

// The linker's symbol for the image this code is part of: the DLL when
// linked into quellan.dll, the executable when linked into a program.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

LONG g_lockCount = 0;
HANDLE g_activationContext = nullptr;

}  // namespace

HINSTANCE GetModuleInstance() noexcept
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

std::wstring GetModulePath()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(GetModuleInstance(), path, MAX_PATH);
    ThrowLastErrorIf(length == 0);
    // Windows XP truncates silently and reports success.
    if (length >= MAX_PATH)
        ThrowHResult(HResultFromWin32(ERROR_INSUFFICIENT_BUFFER));
    return std::wstring(path, length);
}

LONG LockModule() noexcept
{
    return InterlockedIncrement(&g_lockCount);
}

LONG UnlockModule() noexcept
{
    return InterlockedDecrement(&g_lockCount);
}

LONG GetModuleLockCount() noexcept
{
    return InterlockedCompareExchange(&g_lockCount, 0, 0);
}

void SetModuleActivationContext(HANDLE context) noexcept
{
    InterlockedExchangePointer(&g_activationContext, context);
}

HANDLE GetModuleActivationContext() noexcept
{
    return InterlockedCompareExchangePointer(&g_activationContext, nullptr, nullptr);
}
