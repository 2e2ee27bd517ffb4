#pragma once
// Drives the common file dialog as a user would, from a second thread,
// while the test's thread waits inside a broker call that shows it (in this
// process or in QuellanHost): find the dialog by its caption and owner, type
// a file name, press a button, answer a message box.
//
// If the script ends and the broker call has not returned within a while,
// the driver cancels every dialog of the owner and of this process and
// fails the test, so that a wrong step cannot hang the test.

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "com/Handle.h"

class CFileDialogDriver
{
public:
    using Script = std::function<void(CFileDialogDriver&)>;

    // Starts the script at once. `owner` is the window passed to the broker
    // (null: dialogs without an owner).
    CFileDialogDriver(HWND owner, Script script);
    // Call after the broker call has returned: waits for the script.
    ~CFileDialogDriver();
    CFileDialogDriver(const CFileDialogDriver&) = delete;
    CFileDialogDriver& operator=(const CFileDialogDriver&) = delete;

    // The visible file dialog with this caption owned by the owner window,
    // once it is ready for input; null (and a test failure) if none comes.
    HWND WaitForDialog(const wchar_t* caption, DWORD timeoutMs = 60000);
    // A visible message box owned by `dialog`; null (and a failure) if none.
    HWND WaitForMessageBox(HWND dialog, DWORD timeoutMs = 60000);
    // Types `name` into the file name box.
    void TypeFileName(HWND dialog, const std::wstring& name);
    // Presses a button (IDOK, IDCANCEL, IDYES, ...) without waiting for what
    // it does, which may be a modal message box.
    static void Press(HWND dialog, int id);
    // Waits until the window is gone; false after timeoutMs.
    static bool WaitUntilGone(HWND window, DWORD timeoutMs = 60000);

private:
    HWND FindDialog(const wchar_t* caption) const;
    void Watch();

    HWND m_owner;
    Script m_script;
    CHandle m_returned;  // set when the broker call has returned
    std::thread m_thread;
};
