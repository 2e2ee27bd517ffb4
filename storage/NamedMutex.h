#pragma once
// The named mutexes that browser processes of one user share, and the
// bounds of every wait on a named object.

#include <windows.h>

#include <string>

#include "com/Handle.h"

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
