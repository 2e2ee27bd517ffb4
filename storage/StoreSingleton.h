#pragma once
// Internal to the storage library: the process-wide store pointers and the
// path of a store file.

#include <atomic>
#include <memory>
#include <string>

#include "com/Sync.h"
#include "storage/SharedStore.h"

// One process-wide store, created on first use under its own critical section
// (double-checked) and destroyed when the module unloads. A creation that
// throws leaves nothing behind; the next call tries again.
class CStoreSingleton
{
public:
    CStoreSingleton() = default;
    ~CStoreSingleton() { delete m_store.load(); }
    CStoreSingleton(const CStoreSingleton&) = delete;
    CStoreSingleton& operator=(const CStoreSingleton&) = delete;

    template <class Create>
    CSharedStore& Get(Create&& create)
    {
        if (CSharedStore* store = m_store.load(std::memory_order_acquire))
            return *store;
        CCritSecLock hold(m_lock);
        if (CSharedStore* store = m_store.load(std::memory_order_relaxed))
            return *store;
        std::unique_ptr<CSharedStore> store = create();
        m_store.store(store.get(), std::memory_order_release);
        return *store.release();
    }

private:
    CCriticalSection m_lock;
    std::atomic<CSharedStore*> m_store{nullptr};
};

// fileName inside the per-user storage folder (created if missing). Throws
// what GetStorageFolder returns, or the converted last error when the path
// would be too long.
std::wstring MakeStoreFilePath(const wchar_t* fileName);
