#pragma once
// The names and the security of the kernel objects and files that all
// browser processes of one user share.
//
// The security descriptor is kept in a namespace-scope cache of this
// library, built when the module loads and torn down when it unloads (so is
// the NtQueryObject entry point): do not call these functions from another
// module's static initialisers. Any thread.

#include <windows.h>

#include <string>

// "Global\" + baseName + "@" + the user SID string: the same in every
// session and at every integrity level, different for every user.
std::wstring MakeSharedObjectName(const wchar_t* baseName);

// The process-wide attributes for every store file and named object: the
// user alone has full access and, on Vista and later, low-integrity processes
// may write. Built once; the pointer stays valid until the module unloads.
// Throws if the descriptor cannot be built (the next call tries again).
SECURITY_ATTRIBUTES* GetSharedSecurityAttributes();

// Number of handles open, in all processes, to the object behind handle,
// including this one. Throws the NT status (facility-NT bit set) on failure.
ULONG GetHandleCount(HANDLE handle);
