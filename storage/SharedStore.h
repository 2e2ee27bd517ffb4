#pragma once
// A small binary file shared in place by all browser processes of one user
// through file mappings, guarded by a cross-process reader/writer lock made
// of two named objects:
//  - the write mutex, held by a writer for its whole work and by a reader
//    only while it registers;
//  - the reader-count object, a named mutex nobody waits on: every active
//    reader keeps one handle to it open, so its handle count is the number of
//    readers in all processes.
// Many readers at once, in any number of threads and processes, or one writer
// alone. Within a process all readers share one read-only view, mapped by the
// first and unmapped by the last. Nothing is cached between accesses.
//
// Every wait is bounded (storage/NamedMutex.h): a reader waits
// kShortWaitMs at most, a writer kWriterWaitMs in all; either then throws
// kLockTimedOut having changed nothing.
//
// Rules for callers:
//  - never create a CStoreWriter on a thread that holds a CStoreReader of the
//    same store: the writer would wait for itself forever;
//  - when readers of both stores are held, take the settings store first;
//  - a CStoreWriter must be destroyed on the thread that created it (the
//    write mutex is owned by a thread).
//
// A writer that changes the content in place brackets the change with
// BeginChange and CommitChange (see storage/StoreUndo.h): if it dies or fails
// in between, the next reader or writer to take the write mutex finds the
// store exactly as it was before the change. Data derived from the content
// (CStoreCompanion) is withdrawn before such a change begins, so a writer
// that dies after its change counts and before it brings that data up to
// date leaves nobody trusting what no longer matches.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "com/Handle.h"
#include "com/Sync.h"
#include "storage/File.h"
#include "storage/NamedMutex.h"
#include "storage/StoreUndo.h"

// The cross-process lock of one store.
class CStoreLock
{
public:
    // Creates or opens the write mutex; throws the converted last error.
    CStoreLock(SECURITY_ATTRIBUTES* securityAttributes, std::wstring readerCountName,
               const std::wstring& writeLockName);

    HANDLE GetWriteMutex() const noexcept { return m_writeMutex.Get(); }
    // A new handle to the reader-count object; throws the converted last error.
    CNamedMutex OpenReaderCount() const;
    SECURITY_ATTRIBUTES* GetSecurityAttributes() const noexcept { return m_securityAttributes; }
    // With the write mutex held by the caller, waits until no reader is left
    // in any process, at most timeoutMs (then kLockTimedOut). Throws (after
    // closing its handle) if the count cannot be read.
    void WaitForReaders(DWORD timeoutMs) const;

private:
    std::wstring m_readerCountName;
    CNamedMutex m_writeMutex;
    SECURITY_ATTRIBUTES* m_securityAttributes;
};

class CStoreWriter;

// Data derived from a store's content and kept beside it (the filter list's
// index), owned by the store.
class CStoreCompanion
{
public:
    virtual ~CStoreCompanion() = default;
    // Called by a CStoreWriter before it begins a change (BeginChange,
    // Resize), the first time since it last brought the derived data up to
    // date, with the write mutex held and nothing changed yet: from here on
    // no process may trust the derived data until the writer brings it up to
    // date again or a later writer rebuilds it, since the writer may die at
    // any instant. Throws when it cannot make sure of that; the change then
    // does not begin.
    virtual void OnChangeBegins(CStoreWriter& writer) = 0;
    // Called by ~CStoreWriter on the writer's thread, with the write mutex
    // still held, the view unmapped and any unfinished change undone, when
    // the writer may have changed the file since it last brought the derived
    // data up to date (CStoreWriter::SetDerivedDataCurrent). Must not throw.
    virtual void OnWriterDone(CStoreWriter& writer) noexcept = 0;
};

class CSharedStore
{
public:
    // Opens (or, as creationDisposition says, creates) the file for reading
    // and writing, shared for reading and writing, as a file of the storage
    // folder (storage/StorageFile.h: a link or anything but a regular file
    // of its own is refused; its folder stays open while the store lives, so
// that it cannot be renamed), and creates or opens the write mutex. securityAttributes must outlive the store. Throws the
    // converted last error; nothing is left open then. The undo file of the
    // store's changes is path + ".undo".
    CSharedStore(const wchar_t* path, SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                 const std::wstring& readerCountName, const std::wstring& writeLockName);
    ~CSharedStore();
    CSharedStore(const CSharedStore&) = delete;
    CSharedStore& operator=(const CSharedStore&) = delete;

    const std::wstring& GetUndoPath() const noexcept { return m_undoPath; }

    // The file's current length. Throws the converted last error, or E_FAIL
    // for a file of 4 GiB or more. Meaningful while holding a reader or writer.
    DWORD GetSize() const;

    const std::wstring& GetPath() const noexcept { return m_path; }
    // The file's folder, checked and held open for the store's life
    // (storage/StorageFile.h): files kept beside the store open through it
    // with TryOpenStorageFileIn.
    const CFileHandle& GetFolder() const noexcept { return m_folder; }
    // The file's creation and last write times. Throws the converted last
    // error.
    void GetFileTimes(FILETIME& created, FILETIME& written) const;
    // Attaches derived data, once, before the store is shared between
    // threads.
    void SetCompanion(std::unique_ptr<CStoreCompanion> companion) noexcept { m_companion = std::move(companion); }
    CStoreCompanion* GetCompanion() const noexcept { return m_companion.get(); }

private:
    friend class CStoreReader;
    friend class CStoreWriter;

    // Maps the whole file into m_view (left null for an empty file). Throws
    // the converted last error; m_view is then null.
    void Map(bool writable);
    void Unmap() noexcept;
    // Registers a reader: holds the write mutex while it opens a handle to the
    // reader-count object, so a reader never registers while a writer works.
    // A reader that finds an unfinished change of a dead writer repairs the
    // store first.
    CNamedMutex RegisterReader(DWORD timeoutMs);
    // With the write mutex held and no view mapped in this process: puts back
    // the content that an unfinished change saved, after any reader still
    // registered has gone (waiting at most timeoutMs for them). Throws; the
    // undo file then stays.
    void RestoreUnfinishedChange(DWORD timeoutMs);

    std::wstring m_path;
    std::wstring m_undoPath;
    CFileHandle m_folder;
    CFile m_file;
    CStoreLock m_lock;
    CCriticalSection m_mapLock;  // readers of this process: m_readMapCount and the view
    LONG m_readMapCount = 0;
    CMappedView m_view;
    DWORD m_viewSize = 0;
    // The last reader's wait for the write mutex ran out (and it has not
    // been seen free since).
    std::atomic<bool> m_lockBusy{false};
    // The thread of this process's writer, 0 for none.
    std::atomic<DWORD> m_writerThread{0};
    // Destroyed first: it may still look at the store.
    std::unique_ptr<CStoreCompanion> m_companion;
};

// Scoped read access: while it lives, the caller counts as a reader in every
// process and sees a read-only view of the whole file.
class CStoreReader
{
public:
    // Waits while a writer works, then registers and maps. Throws the
    // converted last error, or kLockTimedOut when the lock stayed held for
    // timeoutMs (or, after such a time-out of kShortWaitMs, was not free at
    // once); nothing is held then. Tools that are not browser threads may
    // wait longer.
    explicit CStoreReader(CSharedStore& store, DWORD timeoutMs = kShortWaitMs);
    ~CStoreReader();
    CStoreReader(const CStoreReader&) = delete;
    CStoreReader& operator=(const CStoreReader&) = delete;

    CSharedStore& GetStore() const noexcept { return m_store; }
    // The file's bytes; null exactly when GetViewSize() is 0.
    const BYTE* GetView() const noexcept { return static_cast<const BYTE*>(m_store.m_view.Get()); }
    // The file's length when it was mapped; no writer can change it while
    // any reader lives.
    DWORD GetViewSize() const noexcept { return m_store.m_viewSize; }

private:
    CSharedStore& m_store;
    CNamedMutex m_registration;
};

// Scoped exclusive access: holds the write mutex, waits for the readers of all
// processes to finish, and maps the file read-write.
class CStoreWriter
{
public:
    // Throws the converted last error (or what GetHandleCount throws), or
    // kLockTimedOut when the lock and the readers' leaving took more than
    // timeoutMs in all; the write mutex is released then.
    explicit CStoreWriter(CSharedStore& store, DWORD timeoutMs = kWriterWaitMs);
    ~CStoreWriter();
    CStoreWriter(const CStoreWriter&) = delete;
    CStoreWriter& operator=(const CStoreWriter&) = delete;

    CSharedStore& GetStore() const noexcept { return m_store; }
    // The file's bytes, writable; null exactly when GetViewSize() is 0.
    // Whoever asks may change them: the store's derived data is rebuilt when
    // the writer leaves, unless SetDerivedDataCurrent() says it need not be.
    // A change made here without BeginChange (or Resize) first is neither
    // crash-safe itself nor for the derived data.
    BYTE* GetView() const noexcept
    {
        m_mayHaveChanged = true;
        return static_cast<BYTE*>(m_store.m_view.Get());
    }
    // The bytes, for reading only.
    const BYTE* GetConstView() const noexcept { return static_cast<const BYTE*>(m_store.m_view.Get()); }
    DWORD GetViewSize() const noexcept { return m_store.m_viewSize; }
    // The writer brought the store's derived data up to date with the bytes
    // as they are now.
    void SetDerivedDataCurrent() noexcept
    {
        m_mayHaveChanged = false;
        m_derivedDataWithdrawn = false;
    }

    // Sets the file's length and maps it again. Bytes up to the smaller
    // length are kept; grown bytes read as zero. Like BeginChange, first
    // withdraws the store's derived data (CStoreCompanion::OnChangeBegins). A negative size (a length of
    // 2 GiB or more) is refused by the system. Throws the converted last
    // error; the view is null then and the writer still holds its lock.
    void Resize(LONG newSize);

    // Saves the length and every byte from firstChanged on, so that what the
    // writer does next, up to CommitChange, happens whole or not at all: bytes
    // before firstChanged must stay as they are. One change at a time.
    // Throws the converted last error; nothing has changed then.
    void BeginChange(DWORD firstChanged);
    // The change is complete: writes it through to disk and drops the saved
    // content. Throws the converted last error; the change is then undone
    // when the writer ends.
    void CommitChange();

private:
    // Tells the companion, once per change of its data, that a change begins.
    void WithdrawDerivedData();

    DWORD m_start;
    CMutexHold m_hold;
    CSharedStore& m_store;
    mutable bool m_mayHaveChanged = false;
    bool m_derivedDataWithdrawn = false;
    std::unique_ptr<CStoreUndo> m_undo;  // the change begun and not committed
};
