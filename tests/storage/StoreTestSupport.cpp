#include "tests/storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "storage/FilterListStore.h"
#include "storage/NamedObjects.h"
#include "tests/support/TestEnvironment.h"

std::wstring MakeUniqueName(const wchar_t* what)
{
    static LONG counter;
    return std::wstring(L"QuellanTest.") + what + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(InterlockedIncrement(&counter));
}

CScratchStore::CScratchStore(const wchar_t* fileName)
    : m_folder(MakeScratchDir()),
      m_path(m_folder + L"\\" + fileName),
      m_readerCountName(MakeSharedObjectName(MakeUniqueName(L"ReaderCount").c_str())),
      m_writeLockName(MakeSharedObjectName(MakeUniqueName(L"WriteLock").c_str()))
{
}

CScratchStore::CScratchStore(const std::vector<std::wstring>& args, std::size_t first)
    : m_path(args.at(first)), m_readerCountName(args.at(first + 1)), m_writeLockName(args.at(first + 2))
{
}

CScratchStore::~CScratchStore()
{
    if (m_folder.empty())
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((m_folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((m_folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(m_folder.c_str());
}

std::unique_ptr<CSharedStore> CScratchStore::Open() const
{
    return std::make_unique<CSharedStore>(m_path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS,
                                          m_readerCountName, m_writeLockName);
}

std::unique_ptr<CSharedStore> CScratchStore::OpenFilterList() const
{
    return OpenFilterListStore(m_path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS, m_readerCountName,
                               m_writeLockName);
}

CFilterRulePtr MakeRecord(const std::wstring& body, bool isException, bool isRegex)
{
    auto* rule = static_cast<FilterRule*>(std::malloc(FilterRecordSize(body.size())));
    if (!rule)
        throw std::bad_alloc();
    rule->isRegex = isRegex;
    rule->isException = isException;
    rule->length = static_cast<WORD>(body.size());
    std::memcpy(rule->body, body.c_str(), (body.size() + 1) * sizeof(WCHAR));
    return CFilterRulePtr(rule);
}

std::wstring RecordBody(const FilterRule& rule)
{
    return std::wstring(rule.body, rule.length);
}

CHandle CreateTestEvent(const std::wstring& name)
{
    CHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!event)
        throw std::runtime_error("cannot create a test event");
    return event;
}

CHandle OpenTestEvent(const std::wstring& name)
{
    CHandle event(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
    if (!event)
        throw std::runtime_error("cannot open a test event");
    return event;
}

bool WaitSignalled(HANDLE object, DWORD timeoutMs)
{
    return WaitForSingleObject(object, timeoutMs) == WAIT_OBJECT_0;
}

CTestThread::CTestThread(std::function<void()> body)
    : m_body(std::move(body)), m_thread(CreateThread(nullptr, 0, &CTestThread::Run, this, 0, nullptr))
{
    if (!m_thread)
        throw std::runtime_error("cannot start a test thread");
}

DWORD WINAPI CTestThread::Run(void* self)
{
    try {
        static_cast<CTestThread*>(self)->m_body();
    } catch (...) {
        ADD_FAILURE() << "a test thread threw";
    }
    return 0;
}

bool CTestThread::Join(DWORD timeoutMs)
{
    return WaitSignalled(m_thread.Get(), timeoutMs);
}

CTestThread::~CTestThread()
{
    if (!Join(10000)) {
        ADD_FAILURE() << "a test thread did not finish; terminating it";
        TerminateThread(m_thread.Get(), 1);
    }
}
