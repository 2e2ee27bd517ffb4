#pragma once
// The shipped library's dialogs, opened through its automation object on a
// thread of their own, with the user's real stores of the test prefix.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "resources/QuellanLib.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/storage/UserStore.h"
#include "tests/ui/DialogDriver.h"

// The two store files.
std::wstring FilterListPath();
std::wstring SettingsPath();
// The file's bytes and last write time.
struct CFileState
{
    std::string bytes;
    FILETIME written = {};
    bool operator==(const CFileState& other) const;
};
CFileState ReadFileState(const std::wstring& path);
// Sets the file's last write time an hour back, so that any write shows.
void AgeFile(const std::wstring& path);

// One call of the automation object on an apartment thread. The object is
// made from the shipped library's class factory (no registration needed).
class CDialogSession
{
public:
    explicit CDialogSession(std::function<HRESULT(IAutomation*)> call);
    ~CDialogSession();

    DWORD GetThreadId() const { return m_thread->GetId(); }
    // Waits for the call to return; true when it did, with its result.
    bool Finish(HRESULT* result, DWORD timeoutMs = 30000);

private:
    CShippedLibrary m_library;
    HRESULT m_result = E_PENDING;
    std::unique_ptr<CApartmentThread> m_thread;
};
