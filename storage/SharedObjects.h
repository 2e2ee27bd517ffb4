#pragma once
// Per-user storage location and the named kernel objects that all browser
// processes of one user share.
//
// The process-wide caches behind these functions (OS version, SID string,
// security descriptor, Protected Mode answer, the NtQueryObject entry point)
// are namespace-scope objects of this library: they are built when the module
// loads and torn down when it unloads. Do not call these functions from
// another module's static initialisers. Every function may be called from any
// thread.

#include <windows.h>

#include <string>

#include "com/Handle.h"

// True when the system's major version is 6 (Vista) or later. Cached.
bool IsVistaOrLater();

// Fills buffer (MAX_PATH characters) with the per-user storage folder, the
// folder "Quellan" under the low-integrity local application data folder
// (Vista and later) or under the local application data folder (XP), and
// creates it if nothing exists under that name. Whatever exists is accepted,
// even a plain file. Returns S_OK or the failure; throws nothing.
HRESULT GetStorageFolder(wchar_t* buffer) noexcept;

// The current user's SID as text ("S-1-5-21-..."), computed once and kept
// until the process ends. Throws when the token cannot be read or the SID
// cannot be turned into text; nothing is cached then.
const wchar_t* GetUserSidString();

// The standard text form of sid. Throws CHResultException when the system
// cannot convert it (an invalid SID gives E_INVALIDARG); never returns an
// empty string.
std::wstring SidToString(PSID sid);

// "Global\" + baseName + "@" + the user SID string: the same in every
// session and at every integrity level, different for every user.
std::wstring MakeSharedObjectName(const wchar_t* baseName);

// The process-wide attributes for every store file and named object: the
// user alone has full access and, on Vista and later, low-integrity processes
// may write. Built once; the pointer stays valid until the module unloads.
// Throws if the descriptor cannot be built (the next call tries again).
SECURITY_ATTRIBUTES* GetSharedSecurityAttributes();

// Cached wrapper of ieframe's IEIsProtectedModeProcess. S_OK and E_NOTIMPL
// (ieframe or its export missing; *result then keeps the caller's value) are
// cached; other results are not. result may be null.
HRESULT QueryProtectedMode(BOOL* result);
// True only on Vista and later in a Protected Mode browser process.
bool IsProtectedMode();

// Number of handles open, in all processes, to the object behind handle,
// including this one. Throws the NT status (facility-NT bit set) on failure.
ULONG GetHandleCount(HANDLE handle);

// Owner of a handle to a named mutex, created if missing, opened otherwise.
class CNamedMutex
{
public:
    CNamedMutex() noexcept = default;
    // Throws the converted last error if CreateMutexW fails.
    CNamedMutex(SECURITY_ATTRIBUTES* securityAttributes, const std::wstring& name);

    HANDLE Get() const noexcept { return m_handle.Get(); }
    explicit operator bool() const noexcept { return m_handle.IsValid(); }

private:
    CHandle m_handle;
};

// Holds a mutex that someone else owns for this object's lifetime, on the
// constructing thread. A mutex abandoned by a dead owner is taken over as if
// released, and WasAbandoned() says so: whatever the dead owner guarded may
// be half done, and the new holder is the one to repair it (no later holder
// learns of it). Throws the converted last error if the wait itself fails (an
// invalid handle), so a failure never passes for ownership.
class CMutexHold
{
public:
    explicit CMutexHold(HANDLE mutex);
    ~CMutexHold();
    CMutexHold(const CMutexHold&) = delete;
    CMutexHold& operator=(const CMutexHold&) = delete;

    bool WasAbandoned() const noexcept { return m_abandoned; }

private:
    HANDLE m_mutex;
    bool m_abandoned = false;
};
