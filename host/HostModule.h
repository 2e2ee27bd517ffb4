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
// Life: every host object and every LockServer(TRUE) holds a lock. When
// the count falls to 0 the monitor thread waits until nothing has happened
// for the idle time-out (5 s), then ends the message loop; the process
// pauses 1 s after revoking its factory and exits. The idle clock also
// starts when the factory has been registered, so that a host whose client
// never arrived does not stay forever.

#include <windows.h>
#include <objidl.h>

#include <atomic>

#include "com/ComPtr.h"
#include "com/Handle.h"

class CQuellanHostModule
{
public:
    static constexpr DWORD kIdleTimeoutMs = 5000;
    static constexpr DWORD kPauseMs = 1000;

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
    LONG Lock() noexcept;
    LONG Unlock() noexcept;
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

    const DWORD m_mainThreadId;
    std::atomic<LONG> m_lockCount{0};
    std::atomic<bool> m_delayShutdown{true};
    std::atomic<bool> m_activity{false};
    // Signalled when the lock count falls to 0. Kept until the module goes:
    // a release that races the shutdown must not signal a closed handle.
    CHandle m_shutdownEvent;
    bool m_initFailed = false;
    bool m_comInitialized = false;

    CComPtr<IClassFactory> m_libraryFactory;  // quellan.dll's Broker factory, locked while held
    DWORD m_registration = 0;                 // the host's own factory, 0 when not registered
    CComPtr<IGlobalInterfaceTable> m_git;
};
