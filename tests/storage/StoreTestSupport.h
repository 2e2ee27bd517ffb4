#pragma once
// Scratch stores, records, events and bounded threads for the storage tests.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/Handle.h"
#include "engine/FilterRule.h"
#include "storage/SharedStore.h"
#include "tests/support/Files.h"

// A store file in a fresh scratch folder with object names of its own, so a
// test never meets the user's real store or another test's objects. The file
// and folder, and whatever else is in it, are removed when this object goes
// (close the stores first).
class CScratchStore
{
public:
    explicit CScratchStore(const wchar_t* fileName = L"store.bin");
    // The same file and names, as handed to a child process.
    explicit CScratchStore(const std::vector<std::wstring>& args, std::size_t first = 0);
    ~CScratchStore();
    CScratchStore(const CScratchStore&) = delete;
    CScratchStore& operator=(const CScratchStore&) = delete;

    std::unique_ptr<CSharedStore> Open() const;
    // The same file as a filter list store, with its index beside it.
    std::unique_ptr<CSharedStore> OpenFilterList() const;
    std::vector<std::wstring> ToArgs() const { return {m_path, m_readerCountName, m_writeLockName}; }
    static constexpr std::size_t kArgCount = 3;

    const std::wstring& Path() const { return m_path; }
    const std::wstring& ReaderCountName() const { return m_readerCountName; }
    const std::wstring& WriteLockName() const { return m_writeLockName; }

private:
    std::wstring m_folder;  // empty when this object did not create it
    std::wstring m_path;
    std::wstring m_readerCountName;
    std::wstring m_writeLockName;
};

// A record built by hand (the engine's parser is not what these tests check).
CFilterRulePtr MakeRecord(const std::wstring& body, bool isException = false, bool isRegex = false);
std::wstring RecordBody(const FilterRule& rule);

// Manual-reset events with a unique name, for lining up test processes.
std::wstring MakeUniqueName(const wchar_t* what);
CHandle CreateTestEvent(const std::wstring& name);
CHandle OpenTestEvent(const std::wstring& name);
bool WaitSignalled(HANDLE object, DWORD timeoutMs);

// A function on a thread of its own, so that a test can observe that it
// blocks and bound how long it may take.
class CTestThread
{
public:
    explicit CTestThread(std::function<void()> body);
    // Waits for the thread; true if it ended within timeoutMs. A thread that
    // does not end is terminated when this object goes.
    bool Join(DWORD timeoutMs);
    ~CTestThread();

private:
    static DWORD WINAPI Run(void* self);
    std::function<void()> m_body;
    CHandle m_thread;
};
