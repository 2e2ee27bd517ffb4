#include "tests/ui/DialogSession.h"

#include <gtest/gtest.h>

#include "storage/FilterListStore.h"
#include "storage/SettingsStore.h"
#include "storage/StoreSingleton.h"
#include "tests/support/Files.h"

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
    state.bytes = ReadAll(file.Get());
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
