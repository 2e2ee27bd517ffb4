// The library's entry points: DllMain creates and destroys the process-wide
// objects, the five exports hand over to the module.

#include <windows.h>
#include <objbase.h>

#include <optional>

#include "module/Module.h"

namespace {

// Created at load in member order, destroyed at unload in reverse order.
// If any cannot be created, the library refuses to load.
struct CProcessObjects
{
    explicit CProcessObjects(HINSTANCE instance) : module(instance) {}

    CQuellanModule module;
};
// The other subsystems' process-wide objects (the storage caches and their
// critical sections, the two stores, the engine's compiled header
// expression, the NtQueryObject entry point) are namespace-scope objects of
// their own files: the runtime constructs them before DllMain sees
// DLL_PROCESS_ATTACH and destroys them after DLL_PROCESS_DETACH, so they
// outlive the module on both ends.

std::optional<CProcessObjects> g_process;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        try {
            g_process.emplace(instance);
        } catch (...) {
            return FALSE;
        }
        return TRUE;
    case DLL_PROCESS_DETACH:
        g_process.reset();
        return TRUE;
    default:
        return TRUE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return g_process->module.GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return g_process->module.CanUnloadNow();
}

STDAPI DllRegisterServer()
{
    return g_process->module.RegisterServer(false);
}

STDAPI DllUnregisterServer()
{
    return g_process->module.UnregisterServer(false);
}

STDAPI DllInstall(BOOL install, PCWSTR commandLine)
{
    return g_process->module.Install(install != FALSE, commandLine);
}
