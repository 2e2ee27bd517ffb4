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

// Bounds of every wait on a named object. Another process of the user can
// hold any of them as long as it likes, so nobody waits for ever:
//  - kShortWaitMs for whatever a browser thread waits on: a reader
//    registering, the process count. Writers hold a store's lock for
//    milliseconds (a settings change) up to a few hundred (one filter added
//    to a long list, which rebuilds its index); a reader that waits longer
//    meets a stuck or hostile holder, and its caller answers without the
//    store (CStoreReader says how);
//  - kWriterWaitMs for a writer, in all: the lock, and the readers of every
//    process to finish. A long import or a dialog loading a long list holds
//    the store for seconds; a writer then gives up with kLockTimedOut and
//    nothing changed.
constexpr DWORD kShortWaitMs = 250;
constexpr DWORD kWriterWaitMs = 10000;

// What a wait that ran out of time throws: HRESULT_FROM_WIN32(ERROR_TIMEOUT).
constexpr HRESULT kLockTimedOut = static_cast<HRESULT>(0x800705B4);

// Owner of a handle to a named mutex, created if missing, opened otherwise.
// An object that already exists is used only when the current user (or the
// token's default owner) owns it: another user's object of the same name is
// refused (E_ACCESSDENIED).
class CNamedMutex
{
public:
    CNamedMutex() noexcept = default;
    // Throws the converted last error if CreateMutexW fails, E_ACCESSDENIED
    // for an existing object whose owner is not the current user.
    CNamedMutex(SECURITY_ATTRIBUTES* securityAttributes, const std::wstring& name);

    HANDLE Get() const noexcept { return m_handle.Get(); }
    explicit operator bool() const noexcept { return m_handle.IsValid(); }

private:
    CHandle m_handle;
};

// Holds a mutex for this object's lifetime, on the constructing thread,
// after waiting at most timeoutMs for it (kLockTimedOut when it runs out;
// 0 only tries). A mutex abandoned by a dead owner is taken over as if
// released, and WasAbandoned() says so: whatever the dead owner guarded may
// be half done, and the new holder is the one to repair it (no later holder
// learns of it). Throws the converted last error if the wait itself fails (an
// invalid handle), so a failure never passes for ownership.
class CMutexHold
{
public:
    explicit CMutexHold(HANDLE mutex, DWORD timeoutMs = kShortWaitMs);
    ~CMutexHold();
    CMutexHold(const CMutexHold&) = delete;
    CMutexHold& operator=(const CMutexHold&) = delete;

    bool WasAbandoned() const noexcept { return m_abandoned; }

private:
    HANDLE m_mutex;
    bool m_abandoned = false;
};
