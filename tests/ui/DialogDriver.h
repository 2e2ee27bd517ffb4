#pragma once
// Drives the library's dialogs as a user would, from the test's main thread,
// while they run modally on a thread of their own: finds them, types into
// them, presses keys and buttons, and records the balloon tips their edit
// boxes are asked to show.
//
// Keys and clicks are posted, never sent, so that a message box or a nested
// dialog they open cannot block the test; queries are sent.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "com/Handle.h"

// A thread with a single-threaded apartment that runs one function.
class CApartmentThread
{
public:
    explicit CApartmentThread(std::function<void()> body);
    ~CApartmentThread();
    CApartmentThread(const CApartmentThread&) = delete;
    CApartmentThread& operator=(const CApartmentThread&) = delete;

    DWORD GetId() const noexcept { return m_id; }
    // True if the thread ended within timeoutMs.
    bool Join(DWORD timeoutMs = 30000);

private:
    static DWORD WINAPI Run(void* self);
    std::function<void()> m_body;
    CHandle m_thread;
    DWORD m_id = 0;
};

// Polls until condition holds; false after timeoutMs (only tells a hang
// from an answer).
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 30000);

// A visible dialog of the thread with this caption whose owner is `owner`
// (null: any owner), or null after the timeout.
HWND WaitForDialog(DWORD threadId, const wchar_t* caption, HWND owner = nullptr, DWORD timeoutMs = 30000);
// The same, for the dialog that has a control with this id (a message box
// captioned like its owner has none of the owner's controls).
HWND WaitForDialogWith(DWORD threadId, const wchar_t* caption, int controlId, DWORD timeoutMs = 30000);
// The message box owned by `owner`, or null after the timeout.
HWND WaitForMessageBox(HWND owner, DWORD timeoutMs = 30000);
std::wstring MessageBoxText(HWND box);
// Ends every dialog and message box of the thread, innermost first.
void CloseThreadDialogs(DWORD threadId);

std::wstring WindowText(HWND window);
void PostKey(HWND window, UINT virtualKey);
void PostText(HWND window, const std::wstring& text);
// Alt + letter, as the dialog manager sees a mnemonic.
void PostMnemonic(HWND window, wchar_t letter);
void PostClick(HWND button);
// Moves the keyboard focus to control as Tab would.
void PostFocus(HWND dialog, HWND control);

// Picks `path` in the broker's file dialog with this caption, owned by
// `owner`, as a user types a name and presses OK; an empty path cancels the
// dialog. Fails the test when the file dialog does not come or go.
void ChooseFile(DWORD threadId, HWND owner, const wchar_t* caption, const std::wstring& path);

// List view contents and selection, read from another thread.
std::vector<std::wstring> ListTexts(HWND list);
void SelectOnly(HWND list, const std::vector<int>& items);
std::vector<int> SelectedItems(HWND list);

// The texts of every column of every row of a report list view.
std::vector<std::vector<std::wstring>> ListRows(HWND list);
// The window with the keyboard focus on the thread, or null.
HWND FocusedWindow(DWORD threadId);

// Watches the custom draw of a list view through its dialog and records,
// for each item, whether its last pre-paint asked for grey text
// (CDRF_NEWFONT with COLOR_GRAYTEXT).
class CGreyRowRecorder
{
public:
    void Attach(HWND dialog, int listId);
    // True once the item's last paint was grey (or not grey, as asked).
    bool WaitForRow(int item, bool grey, DWORD timeoutMs = 30000) const;
    // Repaints the list at once.
    static void Repaint(HWND list);
};

// Records the text of every EM_SHOWBALLOONTIP an edit control receives
// (Wine shows no balloon, so the request is what can be observed).
class CBalloonRecorder
{
public:
    void Attach(HWND edit);
    std::vector<std::wstring> Texts() const;
    bool WaitForText(const std::wstring& text, DWORD timeoutMs = 30000) const;
};
