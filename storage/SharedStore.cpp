#include "storage/SharedStore.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "com/Error.h"
#include "storage/NamedObjects.h"
#include "storage/StorageFile.h"

namespace {

// A writer waits for readers that hold their access only for short, bounded
// work (one URL check, one element, one dialog load): give up the processor
// at first, then sleep a little longer each round, never more than 10 ms, so
// that a long read costs the machine nothing and a short one is not slowed.
void BackOff(unsigned round)
{
    constexpr unsigned kYieldRounds = 64;
    if (round < kYieldRounds) {
        if (!SwitchToThread())
            Sleep(0);
        return;
    }
    Sleep(std::min<DWORD>(1 + (round - kYieldRounds) / 16, 10));
}

}  // namespace

CStoreLock::CStoreLock(SECURITY_ATTRIBUTES* securityAttributes, std::wstring readerCountName,
                       const std::wstring& writeLockName)
    : m_readerCountName(std::move(readerCountName)),
      m_writeMutex(securityAttributes, writeLockName),
      m_securityAttributes(securityAttributes)
{
}

CNamedMutex CStoreLock::OpenReaderCount() const
{
    return CNamedMutex(m_securityAttributes, m_readerCountName);
}

void CStoreLock::WaitForReaders(DWORD timeoutMs) const
{
    CNamedMutex count = OpenReaderCount();
    const DWORD start = GetTickCount();
    // Our own handle accounts for one.
    for (unsigned round = 0; GetHandleCount(count.Get()) > 1; ++round) {
        if (GetTickCount() - start >= timeoutMs)
            ThrowHResult(kLockTimedOut);
        BackOff(round);
    }
}

CSharedStore::CSharedStore(const wchar_t* path, SECURITY_ATTRIBUTES* securityAttributes,
                           DWORD creationDisposition, const std::wstring& readerCountName,
                           const std::wstring& writeLockName)
    : m_path(path),
      m_undoPath(std::wstring(path) + L".undo"),
      m_lock(securityAttributes, readerCountName, writeLockName)
{
    m_folder = TryOpenStorageFolder(m_path);
    ThrowLastErrorIf(!m_folder);
    CFileHandle file = TryOpenStorageFileIn(m_folder, m_path, GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, securityAttributes, creationDisposition);
    ThrowLastErrorIf(!file);
    m_file.m_handle.Reset(file.Detach());
}

CSharedStore::~CSharedStore() = default;

DWORD CSharedStore::GetSize() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_file.m_handle.Get(), &size))
        ThrowLastError();
    if (size.HighPart != 0)
        ThrowHResult(E_FAIL);
    return size.LowPart;
}

void CSharedStore::GetFileTimes(FILETIME& created, FILETIME& written) const
{
    if (!GetFileTime(m_file.m_handle.Get(), &created, nullptr, &written))
        ThrowLastError();
}

void CSharedStore::Map(bool writable)
{
    Unmap();
    DWORD size = GetSize();
    // An empty file cannot be mapped; it has a null view and nothing else
    // does. Mapping exactly the measured size means a file that is somehow
    // shorter than that fails here instead of leaving a view smaller than
    // what its users are told.
    if (size == 0)
        return;
    CHandle mapping(
        CreateFileMappingW(m_file.m_handle.Get(), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, size, nullptr));
    if (!mapping)
        ThrowLastError();
    CMappedView view(MapViewOfFile(mapping.Get(), writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, size));
    if (!view)
        ThrowLastError();
    // The view keeps the mapping object alive; its handle closes here.
    m_view = std::move(view);
    m_viewSize = size;
}

void CSharedStore::Unmap() noexcept
{
    m_view.Reset();
    m_viewSize = 0;
}

CNamedMutex CSharedStore::RegisterReader(DWORD timeoutMs)
{
    // Once a wait ran out, later readers only try until the lock is seen
    // free again: a holder that never lets go costs each request nothing.
    const bool busy = m_lockBusy.load(std::memory_order_relaxed);
    std::optional<CMutexHold> hold;
    try {
        hold.emplace(m_lock.GetWriteMutex(), busy && timeoutMs <= kShortWaitMs ? 0 : timeoutMs);
    } catch (const CHResultException& e) {
        if (e.GetHResult() == kLockTimedOut && timeoutMs <= kShortWaitMs)
            m_lockBusy.store(true, std::memory_order_relaxed);
        throw;
    }
    if (busy)
        m_lockBusy.store(false, std::memory_order_relaxed);
    // A writer died holding the lock, perhaps in the middle of a change: the
    // undo file it left says so. Whether the lock was handed over as
    // abandoned is no guide (Wine hands over a mutex whose holder was killed
    // from outside as if released), so every reader looks, as writers do.
    // The writer's own thread, taking the lock again, must not undo the
    // change in progress.
    if (m_writerThread.load(std::memory_order_relaxed) != GetCurrentThreadId())
        RestoreUnfinishedChange(timeoutMs);
    return m_lock.OpenReaderCount();
}

void CSharedStore::RestoreUnfinishedChange(DWORD timeoutMs)
{
    // Readers registered before the writer took the lock may still be at
    // work (a writer that died while waiting for them left no undo file, so
    // the wait is needed only when there is one). The system refuses to
    // change the length of a file that any process has mapped.
    if (GetFileAttributesW(m_undoPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    m_lock.WaitForReaders(timeoutMs);
    RestoreFromUndoFile(m_undoPath, m_file.m_handle.Get());
}

CStoreReader::CStoreReader(CSharedStore& store, DWORD timeoutMs)
    : m_store(store), m_registration(store.RegisterReader(timeoutMs))
{
    CCritSecLock hold(m_store.m_mapLock);
    if (m_store.m_readMapCount == 0)
        m_store.Map(false);
    ++m_store.m_readMapCount;
}

CStoreReader::~CStoreReader()
{
    // The view goes before the registration: a writer changes the file's
    // length only when no registration is left, and the system refuses to
    // change the length of a file that any process still has mapped.
    CCritSecLock hold(m_store.m_mapLock);
    if (--m_store.m_readMapCount == 0)
        m_store.Unmap();
}

CStoreWriter::CStoreWriter(CSharedStore& store, DWORD timeoutMs)
    : m_start(GetTickCount()), m_hold(store.m_lock.GetWriteMutex(), timeoutMs), m_store(store)
{
    const DWORD waited = GetTickCount() - m_start;
    const DWORD left = waited < timeoutMs ? timeoutMs - waited : 0;
    m_store.m_lock.WaitForReaders(left);
    // Writers look for an unfinished change whether or not the lock was
    // abandoned: a reader that found it abandoned may have failed to repair.
    m_store.RestoreUnfinishedChange(left);
    m_store.Map(true);
    m_store.m_writerThread.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

CStoreWriter::~CStoreWriter()
{
    m_store.m_writerThread.store(0, std::memory_order_relaxed);
    m_store.Unmap();
    if (m_undo) {
        // A change that failed half way is undone now. If even that fails,
        // the undo file stays and the next writer undoes it; the failure of
        // the change itself is what the caller hears about.
        m_undo->Close();
        m_undo.reset();
        static_cast<void>(CallAtBoundary(
            [this] { RestoreFromUndoFile(m_store.m_undoPath, m_store.m_file.m_handle.Get()); }));
    }
    // Derived data follows what the file holds now, before anyone else gets
    // the lock.
    if (m_mayHaveChanged && m_store.m_companion)
        m_store.m_companion->OnWriterDone(*this);
}

void CStoreWriter::WithdrawDerivedData()
{
    if (m_derivedDataWithdrawn || !m_store.m_companion)
        return;
    m_store.m_companion->OnChangeBegins(*this);
    m_derivedDataWithdrawn = true;
}

void CStoreWriter::BeginChange(DWORD firstChanged)
{
    if (m_undo)
        ThrowHResult(E_UNEXPECTED);
    WithdrawDerivedData();
    m_undo = std::make_unique<CStoreUndo>(m_store.m_undoPath, m_store.m_lock.GetSecurityAttributes(), GetView(),
                                          GetViewSize(), firstChanged);
}

void CStoreWriter::CommitChange()
{
    if (!m_undo)
        ThrowHResult(E_UNEXPECTED);
    if (GetView())
        ThrowLastErrorIf(!FlushViewOfFile(GetView(), 0));
    ThrowLastErrorIf(!FlushFileBuffers(m_store.m_file.m_handle.Get()));
    m_undo->Discard();
    m_undo.reset();
}

void CStoreWriter::Resize(LONG newSize)
{
    WithdrawDerivedData();
    m_mayHaveChanged = true;
    m_store.Unmap();
    HANDLE file = m_store.m_file.m_handle.Get();
    if (SetFilePointer(file, newSize, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        ThrowLastError();
    if (!SetEndOfFile(file))
        ThrowLastError();
    m_store.Map(true);
}
