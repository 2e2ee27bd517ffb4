#include "com/Platform.h"

#include <atomic>

#include "com/Export.h"
#include "com/Handle.h"
#include "com/Sync.h"

namespace {

using IEIsProtectedModeProcessFunction = HRESULT(WINAPI*)(BOOL*);

struct CVersionCache
{
    CCriticalSection lock;
    std::atomic<bool> known{false};
    bool vistaOrLater = false;
};

// No lock: two threads that both ask first both load ieframe, which is harmless.
struct CProtectedModeCache
{
    std::atomic<bool> cached{false};
    std::atomic<BOOL> answer{FALSE};
    std::atomic<HRESULT> lastResult{E_NOTIMPL};
};

CVersionCache g_version;
CProtectedModeCache g_protectedMode;

}  // namespace

bool IsVistaOrLater()
{
    if (g_version.known.load(std::memory_order_acquire))
        return g_version.vistaOrLater;
    CCritSecLock hold(g_version.lock);
    if (!g_version.known.load(std::memory_order_relaxed)) {
        OSVERSIONINFOEXW version{};
        version.dwOSVersionInfoSize = sizeof version;
        version.dwMajorVersion = 6;
        g_version.vistaOrLater =
            VerifyVersionInfoW(&version, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL)) !=
            FALSE;
        g_version.known.store(true, std::memory_order_release);
    }
    return g_version.vistaOrLater;
}

HRESULT QueryProtectedMode(BOOL* result)
{
    if (g_protectedMode.cached.load(std::memory_order_acquire)) {
        if (result)
            *result = g_protectedMode.answer.load();
        return g_protectedMode.lastResult.load();
    }
    HRESULT hr = E_NOTIMPL;
    if (CLibrary ieframe{LoadLibraryW(L"ieframe.dll")}) {
        if (auto query = GetExport<IEIsProtectedModeProcessFunction>(ieframe.Get(), "IEIsProtectedModeProcess"))
            hr = query(result);
    }
    g_protectedMode.lastResult.store(hr);
    if (hr == S_OK || hr == E_NOTIMPL) {
        g_protectedMode.answer.store(result ? *result : FALSE);
        g_protectedMode.cached.store(true, std::memory_order_release);
    }
    return hr;
}

bool IsProtectedMode()
{
    if (!IsVistaOrLater())
        return false;
    BOOL result = FALSE;
    if (FAILED(QueryProtectedMode(&result)))
        return false;
    return result != FALSE;
}
