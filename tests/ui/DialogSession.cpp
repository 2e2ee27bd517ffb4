#include "tests/ui/DialogSession.h"

#include <gtest/gtest.h>

#include "engine/FilterRule.h"
#include "storage/FilterListStore.h"
#include "storage/SettingsStore.h"
#include "storage/StoreSingleton.h"

std::vector<std::wstring> StoredFilters()
{
    std::vector<std::wstring> texts;
    CStoreReader reader(GetFilterListStore());
    CFilterRecordCursor cursor(reader);
    while (const FilterRule* rule = cursor.Next())
        texts.push_back(FilterToText(*rule));
    return texts;
}

void StoreFilters(const std::vector<std::wstring>& texts)
{
    std::vector<CFilterRulePtr> rules;
    std::vector<const FilterRule*> records;
    for (const std::wstring& text : texts) {
        FilterRule* rule = nullptr;
        if (!ParseFilter(text.c_str(), &rule))
            throw std::runtime_error("not a filter");
        rules.emplace_back(rule);
        records.push_back(rule);
    }
    CStoreWriter writer(GetFilterListStore());
    ReplaceAllRecords(writer, records.data(), records.data() + records.size());
}

bool StoredRemoveBlockedItems()
{
    CStoreReader reader(GetSettingsStore());
    return GetRemoveBlockedItems(reader);
}

void StoreRemoveBlockedItems(bool remove)
{
    CStoreWriter writer(GetSettingsStore());
    SetRemoveBlockedItems(writer, remove);
}

std::wstring FilterListPath()
{
    return MakeStoreFilePath(kFilterListFileName);
}

std::wstring SettingsPath()
{
    return MakeStoreFilePath(kSettingsFileName);
}

bool CFileState::operator==(const CFileState& other) const
{
    return bytes == other.bytes && CompareFileTime(&written, &other.written) == 0;
}

CFileState ReadFileState(const std::wstring& path)
{
    CFileState state;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!file)
        return state;
    GetFileTime(file.Get(), nullptr, nullptr, &state.written);
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        state.bytes.append(buffer, read);
    return state;
}

void AgeFile(const std::wstring& path)
{
    CFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time = {{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart -= 36000000000ull;  // an hour
    FILETIME old = {time.LowPart, time.HighPart};
    ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &old));
}

CDialogSession::CDialogSession(std::function<HRESULT(IAutomation*)> call)
{
    m_thread = std::make_unique<CApartmentThread>([this, call] {
        CComPtr<IClassFactory> factory;
        CComPtr<IAutomation> automation;
        m_result = m_library.GetClassObject(CLSID_Automation, IID_IClassFactory, factory.PutVoid());
        if (SUCCEEDED(m_result))
            m_result = factory->CreateInstance(nullptr, IID_IAutomation, automation.PutVoid());
        if (SUCCEEDED(m_result))
            m_result = call(automation);
    });
}

CDialogSession::~CDialogSession()
{
    if (!m_thread->Join(0)) {
        CloseThreadDialogs(m_thread->GetId());
        m_thread->Join(30000);
    }
}

bool CDialogSession::Finish(HRESULT* result, DWORD timeoutMs)
{
    if (!m_thread->Join(timeoutMs))
        return false;
    *result = m_result;
    return true;
}
