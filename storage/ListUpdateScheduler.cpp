#include "storage/ListUpdateScheduler.h"

#include <cstdint>
#include <utility>

#include "com/Error.h"
#include "storage/MachineLists.h"

// Shared by the object and its thread: either may go first.
struct CListUpdateScheduler::CState
{
    CState(CAdblockListStore& s, CListUpdateTiming t, CIsPaused p, CMachineLists m)
        : store(s), timing(std::move(t)), isPaused(std::move(p)), machineLists(std::move(m))
    {
    }

    CAdblockListStore& store;
    const CListUpdateTiming timing;
    const CIsPaused isPaused;
    const CMachineLists machineLists;
    CHandle stop;
    volatile LONG passes = 0;
};

namespace {

bool Stopping(HANDLE stop, DWORD waitMs) noexcept
{
    return WaitForSingleObject(stop, waitMs) != WAIT_TIMEOUT;
}

// A spread that differs between the processes that start together.
DWORD RandomUpTo(DWORD limit) noexcept
{
    if (limit == 0)
        return 0;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uint64_t x = static_cast<std::uint64_t>(counter.QuadPart) ^ (std::uint64_t{GetCurrentProcessId()} << 32);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return static_cast<DWORD>((x ^ (x >> 31)) % (std::uint64_t{limit} + 1));
}

void OfferMachineListsOf(CAdblockListStore& store, const CListUpdateTiming& timing,
                         const CListUpdateScheduler::CMachineLists& machineLists)
{
    if (!machineLists)
        return;
    const std::vector<std::wstring> sources = ParseMachineLists(machineLists());
    if (!sources.empty())
        OfferMachineLists(store, sources, timing.offerWaitMs);
}

bool HasSubscription(const CAdblockCatalog& catalog) noexcept
{
    for (const CAdblockListEntry& entry : catalog.lists) {
        if (!entry.source.empty() && entry.source != L"(recovered)")
            return true;
    }
    return false;
}

}  // namespace

CListUpdateScheduler::CListUpdateScheduler(CAdblockListStore& store, CListUpdateTiming timing, CIsPaused isPaused,
                                           CMachineLists machineLists)
    : m_state(std::make_shared<CState>(store, std::move(timing), std::move(isPaused), std::move(machineLists)))
{
    m_state->stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ThrowLastErrorIf(!m_state->stop);
}

CListUpdateScheduler::~CListUpdateScheduler()
{
    Stop();
}

void CListUpdateScheduler::Start()
{
    if (m_thread)
        return;
    HMODULE module = nullptr;
    ThrowLastErrorIf(!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                         reinterpret_cast<LPCWSTR>(&CListUpdateScheduler::ThreadProc), &module));
    auto parameter = std::make_unique<std::pair<HMODULE, std::shared_ptr<CState>>>(module, m_state);
    m_thread.Reset(CreateThread(nullptr, 0, &CListUpdateScheduler::ThreadProc, parameter.get(), CREATE_SUSPENDED,
                                nullptr));
    if (!m_thread) {
        const DWORD error = GetLastError();
        FreeLibrary(module);
        ThrowHResult(HResultFromWin32(error));
    }
    parameter.release();
    // Below the threads that draw pages, whatever the system's scheduler
    // makes of them.
    SetThreadPriority(m_thread.Get(), THREAD_PRIORITY_LOWEST);
    ResumeThread(m_thread.Get());
}

void CListUpdateScheduler::Stop() noexcept
{
    SetEvent(m_state->stop.Get());
}

bool CListUpdateScheduler::WaitForEnd(DWORD timeoutMs) noexcept
{
    return !m_thread || WaitForSingleObject(m_thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

LONG CListUpdateScheduler::GetPassCount() const noexcept
{
    return InterlockedCompareExchange(&m_state->passes, 0, 0);
}

DWORD WINAPI CListUpdateScheduler::ThreadProc(void* parameter)
{
    HMODULE module = nullptr;
    {
        std::unique_ptr<std::pair<HMODULE, std::shared_ptr<CState>>> owned(
            static_cast<std::pair<HMODULE, std::shared_ptr<CState>>*>(parameter));
        module = owned->first;
        (void)CallAtBoundary([&] { Run(*owned->second); });
        // The state goes here, while its code is surely still loaded.
    }
    FreeLibraryAndExitThread(module, 0);
}

void CListUpdateScheduler::Run(CState& state)
{
    const HANDLE stop = state.stop.Get();
    (void)CallAtBoundary([&] { OfferMachineListsOf(state.store, state.timing, state.machineLists); });
    for (DWORD waitMs = state.timing.firstDelayMs;;
         waitMs = state.timing.periodMs + RandomUpTo(state.timing.spreadMs)) {
        if (Stopping(stop, waitMs))
            return;
        InterlockedIncrement(&state.passes);
        (void)CallAtBoundary([&] {
            // An address the machine's value gained since the last pass.
            OfferMachineListsOf(state.store, state.timing, state.machineLists);
            if (state.isPaused && state.isPaused())
                return;
            // Lists this process cannot use (an image of another version, or
            // damage) are compiled again, subscriptions or not.
            state.store.RebuildIfUnusable();
            const CAdblockCatalog catalog = state.store.ReadCatalog();
            if (!HasSubscription(catalog))
                return;
            for (const CAdblockListEntry& entry : catalog.lists) {
                if (Stopping(stop, 0))
                    return;
                if (entry.source.empty() || entry.source == L"(recovered)")
                    continue;
                // One list's failure (a list removed meanwhile, a busy
                // update) does not keep the others from their turn.
                (void)CallAtBoundary(
                    [&] { UpdateAdblockLists(state.store, entry.name, true, nullptr, state.timing.fetch); });
            }
        });
    }
}
