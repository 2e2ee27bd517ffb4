#pragma once
// Keeps a store's subscriptions current from inside a browser process,
// without anyone asking.
//
// One scheduler per process runs one thread of its own at the lowest
// priority, never a thread that draws pages. At its start it subscribes the
// user to the machine's lists (storage/MachineLists.h), which costs a
// registry read and a small file; then, after `firstDelayMs` (a browser that
// starts is not slowed by the network), and every `periodMs` plus up to
// `spreadMs` at random after that, it updates each list that is due
// (UpdateAdblockLists with ifDue, one list at a time, so that a stop is
// seen between two fetches). Each pass first compiles the lists again
// when what is published cannot be used (CAdblockListStore::
// RebuildIfUnusable). A pass is skipped while `isPaused` says so (blocking
// turned off for the session); it fetches nothing when no list has a
// source.
// Several processes of the user may run one each: the update lock and the
// due times make a list fetched once, by whichever comes first.
//
// Everything an update writes lies in the storage folder (the store's
// files; WinINet is asked neither to cache the answer nor to keep cookies).
// On Vista and later that folder is under LocalAppDataLow, which
// low-integrity (Protected Mode) processes may write, so the browser
// process updates the lists itself, without the broker.
//
// Stopping never waits for a fetch: Stop() signals the thread, which ends
// at its next wait or between two lists; a fetch under way ends within
// the WinINet time-outs of `fetch`. The thread holds a reference on the
// module that contains this code from Start() until it ends (it ends with
// FreeLibraryAndExitThread), so a library whose DllCanUnloadNow said yes
// stays loaded while the thread runs, and nothing ever waits for the
// thread under the loader lock (at process exit the system ends it).
// The store, and what the collaborators use, must stay until the thread
// has ended (the process's own store lives until the module unloads).

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"

struct CListUpdateTiming
{
    DWORD firstDelayMs = 45 * 1000;
    DWORD periodMs = 60 * 60 * 1000;
    DWORD spreadMs = 10 * 60 * 1000;
    // How long the machine's lists wait for another process's update.
    DWORD offerWaitMs = 2000;
    CListFetchOptions fetch;
};

class CListUpdateScheduler
{
public:
    // Called on the scheduler's thread; may throw (the pass is then
    // skipped, or the offering left for the next pass).
    using CIsPaused = std::function<bool()>;
    using CMachineLists = std::function<std::wstring()>;  // as ReadMachineListsValue

    CListUpdateScheduler(CAdblockListStore& store, CListUpdateTiming timing, CIsPaused isPaused,
                         CMachineLists machineLists);
    // Stops the thread; never waits for it.
    ~CListUpdateScheduler();
    CListUpdateScheduler(const CListUpdateScheduler&) = delete;
    CListUpdateScheduler& operator=(const CListUpdateScheduler&) = delete;

    // Starts the thread (once). Throws the converted last error.
    void Start();
    // Signals the thread to end; returns at once.
    void Stop() noexcept;
    // Waits at most `timeoutMs` for the thread to end; true when it has (or
    // never started). Not for the loader lock, nor a thread that must not
    // block.
    bool WaitForEnd(DWORD timeoutMs) noexcept;
    // Passes begun so far (whether or not they fetched anything).
    LONG GetPassCount() const noexcept;

private:
    struct CState;
    static DWORD WINAPI ThreadProc(void* parameter);
    static void Run(CState& state);

    std::shared_ptr<CState> m_state;
    CHandle m_thread;
};
