#pragma once
// The module this code is linked into (quellan.dll or QuellanHost.exe) as
// the COM layer sees it: its handle and path, its lock count, and the
// activation context that its windows run under.

#include <windows.h>

#include <string>

HINSTANCE GetModuleInstance() noexcept;
// Full path of the module, at most MAX_PATH characters. Throws the system
// error when it cannot be had (a longer path counts as a failure).
std::wstring GetModulePath();

// The module lock: every live COM object of the module (class objects
// included) and every IClassFactory::LockServer(TRUE) holds one. Changed
// with interlocked operations; readable from any thread. Each returns the
// new count.
LONG LockModule() noexcept;
LONG UnlockModule() noexcept;
LONG GetModuleLockCount() noexcept;

// The activation context made from the module's own manifest (common
// controls version 6). Published by the module's start-up code for as long
// as the context lives; null before and after. Not owned here.
void SetModuleActivationContext(HANDLE context) noexcept;
HANDLE GetModuleActivationContext() noexcept;
