#include "tests/broker/FileDialogDriver.h"

#include <gtest/gtest.h>

#include <dlgs.h>

#include <vector>

namespace {

constexpr DWORD kPollMs = 50;

bool IsVisibleDialog(HWND window)
{
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    return wcscmp(className, L"#32770") == 0 && IsWindowVisible(window);
}

std::wstring Caption(HWND window)
{
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

std::vector<HWND> TopLevelWindows()
{
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND window, LPARAM found) CALLBACK -> BOOL {  // stdcall on i686
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// Dialogs owned, directly or through other dialogs, by `owner`, and every
// dialog of this process.
std::vector<HWND> DialogsToCancel(HWND owner)
{
    std::vector<HWND> found;
    for (HWND window : TopLevelWindows()) {
        if (!IsVisibleDialog(window))
            continue;
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        bool owned = process == GetCurrentProcessId();
        for (HWND up = GetWindow(window, GW_OWNER); up && !owned; up = GetWindow(up, GW_OWNER))
            owned = up == owner;
        if (owned)
            found.push_back(window);
    }
    return found;
}

}  // namespace

CFileDialogDriver::CFileDialogDriver(HWND owner, Script script)
    : m_owner(owner), m_script(std::move(script)), m_returned(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this] { Watch(); });
}

CFileDialogDriver::~CFileDialogDriver()
{
    SetEvent(m_returned.Get());
    m_thread.join();
}

void CFileDialogDriver::Watch()
{
    m_script(*this);
    if (WaitForSingleObject(m_returned.Get(), 30000) == WAIT_OBJECT_0)
        return;
    ADD_FAILURE() << "the broker call did not return after the dialog script; cancelling its dialogs";
    while (WaitForSingleObject(m_returned.Get(), 500) == WAIT_TIMEOUT) {
        for (HWND dialog : DialogsToCancel(m_owner))
            Press(dialog, IDCANCEL);
    }
}

HWND CFileDialogDriver::FindDialog(const wchar_t* caption) const
{
    for (HWND window : TopLevelWindows()) {
        if (IsVisibleDialog(window) && GetWindow(window, GW_OWNER) == m_owner && Caption(window) == caption)
            return window;
    }
    return nullptr;
}

HWND CFileDialogDriver::WaitForDialog(const wchar_t* caption, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(kPollMs)) {
        HWND dialog = FindDialog(caption);
        // Visible happens after WM_INITDIALOG; the buttons exist by then.
        if (dialog && GetDlgItem(dialog, IDOK) && IsWindowEnabled(dialog))
            return dialog;
    }
    ADD_FAILURE() << "no file dialog captioned \"" << std::string(caption, caption + wcslen(caption)) << "\"";
    return nullptr;
}

HWND CFileDialogDriver::WaitForMessageBox(HWND dialog, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(kPollMs)) {
        for (HWND window : TopLevelWindows()) {
            if (IsVisibleDialog(window) && GetWindow(window, GW_OWNER) == dialog)
                return window;
        }
    }
    ADD_FAILURE() << "no message box over the file dialog";
    return nullptr;
}

void CFileDialogDriver::TypeFileName(HWND dialog, const std::wstring& name)
{
    // The Explorer-style dialog has a combo box (cmb13), the old style an
    // edit control (edt1).
    HWND box = GetDlgItem(dialog, cmb13);
    if (!box)
        box = GetDlgItem(dialog, edt1);
    ASSERT_TRUE(box) << "no file name box in the dialog";
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
}

void CFileDialogDriver::Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool CFileDialogDriver::WaitUntilGone(HWND window, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(kPollMs)) {
        if (!IsWindow(window))
            return true;
    }
    return false;
}
