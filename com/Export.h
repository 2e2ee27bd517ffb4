#pragma once
// Functions looked up by name at run time: those that older systems lack,
// and those of libraries loaded only when needed.

#include <windows.h>

// The export `name` of module as its real function type, or null when module
// is null or has no such export. The detour through the generic function
// pointer type keeps -Wcast-function-type quiet about FARPROC.
template <class Function>
Function GetExport(HMODULE module, const char* name) noexcept
{
    return module ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}
