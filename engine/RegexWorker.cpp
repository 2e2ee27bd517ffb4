#include "engine/RegexWorker.h"

#include <memory>
#include <new>

#include "com/Handle.h"

namespace {

// A worker's reservation covers the compiler for any 65535-unit body (at most
// about 55 MB by the estimate) and deep matcher recursion; pages are
// committed only as used.
constexpr std::size_t kWorkerStack = 64u << 20;

// Threads with a large reserved stack, kept for the next search that needs
// one: under Wine, starting a thread with such a reservation costs about a
// millisecond, and its stack pages are committed afresh by every deep
// recursion. A worker waits for a job and, after kWorkerIdleMs without one,
// removes itself from the idle list and ends. Each worker holds a reference
// to the module that contains this code, released as the thread ends, so
// that the module cannot be unloaded under a waiting worker.
constexpr DWORD kWorkerIdleMs = 15000;

struct CWorker
{
    CHandle wake;  // set by a caller that has put a job here
    CHandle done;  // set by the worker when the job has run
    void (*job)(void*) = nullptr;
    void* jobParameter = nullptr;
    HMODULE module = nullptr;  // the worker's reference, released as it ends
    CWorker* nextIdle = nullptr;
};

// The idle workers, most recently used first (its stack is the warmest).
// Plain data, so that nothing needs destroying when the module goes: a
// worker that still exists keeps the module loaded.
CWorker* g_idleWorkers = nullptr;
std::atomic_flag g_idleLock = ATOMIC_FLAG_INIT;

class CIdleLock
{
public:
    CIdleLock() noexcept
    {
        while (g_idleLock.test_and_set(std::memory_order_acquire))
            SwitchToThread();
    }
    ~CIdleLock() { g_idleLock.clear(std::memory_order_release); }
    CIdleLock(const CIdleLock&) = delete;
    CIdleLock& operator=(const CIdleLock&) = delete;
};

CWorker* TakeIdleWorker() noexcept
{
    CIdleLock lock;
    CWorker* worker = g_idleWorkers;
    if (worker)
        g_idleWorkers = worker->nextIdle;
    return worker;
}

void PutIdleWorker(CWorker* worker) noexcept
{
    CIdleLock lock;
    worker->nextIdle = g_idleWorkers;
    g_idleWorkers = worker;
}

// Takes `worker` off the idle list: false when a caller has just taken it
// (its job is on the way).
bool RetireIdleWorker(CWorker* worker) noexcept
{
    CIdleLock lock;
    for (CWorker** link = &g_idleWorkers; *link; link = &(*link)->nextIdle) {
        if (*link == worker) {
            *link = worker->nextIdle;
            return true;
        }
    }
    return false;
}

DWORD WINAPI WorkerMain(void* parameter)
{
    auto* worker = static_cast<CWorker*>(parameter);
    for (;;) {
        if (WaitForSingleObject(worker->wake.Get(), kWorkerIdleMs) == WAIT_OBJECT_0) {
            worker->job(worker->jobParameter);
            SetEvent(worker->done.Get());
        } else if (RetireIdleWorker(worker)) {
            break;
        }
    }
    const HMODULE module = worker->module;
    delete worker;
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

// A new worker, not on the idle list; null when it cannot be started.
CWorker* StartWorker() noexcept
{
    std::unique_ptr<CWorker> worker(new (std::nothrow) CWorker);
    if (!worker)
        return nullptr;
    worker->wake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    worker->done.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!worker->wake || !worker->done)
        return nullptr;
    // The executable itself is never unloaded: no reference for it.
    CLibrary module;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerMain),
                           module.Put()) &&
        module.Get() == GetModuleHandleW(nullptr))
        module.Reset();
    worker->module = module.Get();
    CHandle thread(
        CreateThread(nullptr, kWorkerStack, &WorkerMain, worker.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread)
        return nullptr;
    module.Detach();  // now the worker's
    return worker.release();
}

}  // namespace

bool RunJobOnWorkerStack(void (*job)(void*), void* parameter) noexcept
{
    CWorker* worker = TakeIdleWorker();
    if (!worker)
        worker = StartWorker();
    if (!worker)
        return false;
    worker->job = job;
    worker->jobParameter = parameter;
    SetEvent(worker->wake.Get());
    WaitForSingleObject(worker->done.Get(), INFINITE);
    PutIdleWorker(worker);
    return true;
}
