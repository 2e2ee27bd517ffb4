#pragma once
// CQuellanHostModule: QuellanHost as a COM server process. One per process,
// made on the main thread by wWinMain.
//
// It registers and unregisters the host (one registry script: LocalServer32
// under the Broker CLSID, beside the library's InprocServer32, and the
// browser's elevation policy), and serves the Broker class when COM starts
// it with "Embedding": it loads quellan.dll through the Broker CLSID, keeps
// the library's class factory locked for its life, registers its own
// factory, and runs a message loop until it has been idle long enough.
//
// Life: COM's protocol for a local server. The factory is registered
// suspended and resumed once ready; every host object and every
// LockServer(TRUE) holds a server-process reference (CoAddRefServerProcess),
// and so does the idle clock while the host waits for a client. When no
// object or lock is left, the monitor thread waits until nothing has
// happened for the idle time-out (5 s) and asks the main thread to end; the
// main thread, which is also the thread every activation comes in on, gives
// up the idle clock's reference there. COM suspends the class objects as that
// count reaches 0, so a client arriving from then on is sent to a new host
// by COM, never handed an object of one that is ending. The host then
// revokes its factory and still serves for a grace time (1 s) what comes
// through a factory handed out before; an object made then keeps it. The idle clock also
// starts when the factory has been registered, so that a host whose client
// never arrived does not stay forever.
//
// Access: before anything is registered the host declares who may call it
// (HostCallPermissions): the user it runs as, at any integrity level down to
// low, so that the user's Protected Mode tabs can call it, and nobody else.

#include <windows.h>
#include <objidl.h>

#include <atomic>
#include <string>

#include "com/ComPtr.h"
#include "com/Handle.h"
#include "host/ServerLock.h"

// The host's call permissions as text: owner, group and the one allowed
// caller are `userSid`; callers get COM_RIGHTS_EXECUTE and
// COM_RIGHTS_EXECUTE_LOCAL (0x3), nothing remote. With `lowLabel` (Windows
// Vista and later) a low mandatory label with no-execute-up, so that the
// integrity check lets low-integrity callers execute.
std::wstring HostCallPermissions(const std::wstring& userSid, bool lowLabel);

// Declares the permissions above for this process (CoInitializeSecurity)
// for the user this process runs as. Call once, before any marshalling.
HRESULT InitializeHostSecurity() noexcept;

class CQuellanHostModule final : public CServerLock
{
public:
    static constexpr DWORD kIdleTimeoutMs = 5000;
    // After revoking its class object, the host serves this long before it
    // ends.
    static constexpr DWORD kGraceMs = 1000;

    // Initialises COM (single-threaded apartment) on the calling thread,
    // which becomes the main thread.
    CQuellanHostModule() noexcept;
    ~CQuellanHostModule();
    CQuellanHostModule(const CQuellanHostModule&) = delete;
    CQuellanHostModule& operator=(const CQuellanHostModule&) = delete;

    // Runs the process's command line (the part after the program name) and
    // returns the exit code: the HRESULT of registration, unregistration or
    // the server run, 0 without a known switch, -1 when COM could not be
    // initialised.
    int WinMain(const wchar_t* commandLine) noexcept;

    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

    // The lock on the host's life; any thread. Each returns the new count.
    LONG Lock() noexcept override;
    LONG Unlock() noexcept override;
    LONG GetLockCount() const noexcept;

    // The process's global interface table, created at the first request;
    // *git receives a new reference.
    HRESULT GetGITPtr(IGlobalInterfaceTable** git) noexcept;

private:
    HRESULT Run() noexcept;
    HRESULT PreMessageLoop() noexcept;
    void RunMessageLoop() noexcept;
    HRESULT PostMessageLoop() noexcept;
    bool StartMonitor() noexcept;
    static DWORD WINAPI MonitorProc(void* module) noexcept;
    void MonitorShutdown() noexcept;
    // On the main thread: end if still idle.
    void OnIdle() noexcept;

    const DWORD m_mainThreadId;
    std::atomic<LONG> m_lockCount{0};
    std::atomic<bool> m_activity{false};
    bool m_idleHold = false;  // the idle clock's server-process reference (main thread)
    // Signalled when the lock count falls to 0. Kept until the module goes:
    // a release that races the shutdown must not signal a closed handle.
    CHandle m_shutdownEvent;
    bool m_initFailed = false;
    bool m_comInitialized = false;

    CComPtr<IClassFactory> m_libraryFactory;  // quellan.dll's Broker factory, locked while held
    CComPtr<IClassFactory> m_factory;         // the host's own factory
    DWORD m_registration = 0;                 // its registration, 0 when not registered
    CComPtr<IGlobalInterfaceTable> m_git;
};
