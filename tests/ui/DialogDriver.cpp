#include "tests/ui/DialogDriver.h"

#include <commctrl.h>
#include <objbase.h>

#include <map>
#include <mutex>

#include "ui/ListViewText.h"

CApartmentThread::CApartmentThread(std::function<void()> body) : m_body(std::move(body))
{
    m_thread.Reset(CreateThread(nullptr, 0, &Run, this, 0, &m_id));
}

CApartmentThread::~CApartmentThread()
{
    if (m_thread && !Join(30000))
        TerminateThread(m_thread.Get(), 1);
}

bool CApartmentThread::Join(DWORD timeoutMs)
{
    return !m_thread || WaitForSingleObject(m_thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD WINAPI CApartmentThread::Run(void* self)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    static_cast<CApartmentThread*>(self)->m_body();
    CoUninitialize();
    return 0;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
}

namespace {

struct CDialogSearch
{
    const wchar_t* caption;
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM context)
{
    auto& search = *reinterpret_cast<CDialogSearch*>(context);
    wchar_t className[16] = L"";
    GetClassNameW(window, className, 16);
    if (std::wstring(className) != L"#32770" || !IsWindowVisible(window))
        return TRUE;
    if (search.owner && GetWindow(window, GW_OWNER) != search.owner)
        return TRUE;
    if (search.caption && WindowText(window) != search.caption)
        return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindThreadDialog(DWORD threadId, const wchar_t* caption, HWND owner)
{
    CDialogSearch search{caption, owner, nullptr};
    EnumThreadWindows(threadId, &FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HWND WaitForDialog(DWORD threadId, const wchar_t* caption, HWND owner, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindThreadDialog(threadId, caption, owner)) != nullptr; }, timeoutMs);
    return found;
}

HWND WaitForMessageBox(HWND owner, DWORD timeoutMs)
{
    DWORD thread = GetWindowThreadProcessId(owner, nullptr);
    HWND found = nullptr;
    WaitUntil(
        [&] {
            found = FindThreadDialog(thread, nullptr, owner);
            return found && GetDlgItem(found, 0xFFFF) != nullptr;
        },
        timeoutMs);
    return found;
}

std::wstring MessageBoxText(HWND box)
{
    return WindowText(GetDlgItem(box, 0xFFFF));
}

void CloseThreadDialogs(DWORD threadId)
{
    for (int round = 0; round < 20; ++round) {
        std::vector<HWND> dialogs;
        EnumThreadWindows(
            threadId,
            [](HWND window, LPARAM list) {
                wchar_t className[16] = L"";
                GetClassNameW(window, className, 16);
                if (std::wstring(className) == L"#32770")
                    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&dialogs));
        if (dialogs.empty())
            return;
        // The one that owns no other dialog is the innermost.
        for (HWND dialog : dialogs) {
            bool owns = false;
            for (HWND other : dialogs)
                owns = owns || GetWindow(other, GW_OWNER) == dialog;
            if (!owns)
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
        Sleep(200);
    }
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = L"";
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

void PostKey(HWND window, UINT virtualKey)
{
    UINT scan = MapVirtualKeyW(virtualKey, 0);
    PostMessageW(window, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    if (virtualKey == VK_RETURN)
        PostMessageW(window, WM_CHAR, L'\r', 1 | (scan << 16));
    else if (virtualKey == VK_ESCAPE)
        PostMessageW(window, WM_CHAR, 0x1B, 1 | (scan << 16));
    PostMessageW(window, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void PostText(HWND window, const std::wstring& text)
{
    for (wchar_t c : text)
        PostMessageW(window, WM_CHAR, c, 1);
}

void PostMnemonic(HWND window, wchar_t letter)
{
    // What the keyboard driver makes of Alt + letter and the dialog manager
    // reads; the key-down messages around it would open the system menu.
    PostMessageW(window, WM_SYSCHAR, letter, 1 | (1 << 29));
}

void PostClick(HWND button)
{
    PostMessageW(button, BM_CLICK, 0, 0);
}

void PostFocus(HWND dialog, HWND control)
{
    PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

std::vector<std::wstring> ListTexts(HWND list)
{
    std::vector<std::wstring> texts;
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        texts.push_back(GetListItemText(list, i));
    return texts;
}

void SelectOnly(HWND list, const std::vector<int>& items)
{
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = 0;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
    state.state = LVIS_SELECTED;
    for (int item : items)
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&state));
}

std::vector<int> SelectedItems(HWND list)
{
    std::vector<int> items;
    for (int i = -1; (i = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(i),
                                                         LVNI_SELECTED))) >= 0;)
        items.push_back(i);
    return items;
}

namespace {

std::mutex g_balloonLock;
std::map<HWND, WNDPROC> g_balloonPrevious;
std::vector<std::wstring> g_balloonTexts;

LRESULT CALLBACK BalloonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC previous = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_balloonLock);
        previous = g_balloonPrevious[window];
        if (message == EM_SHOWBALLOONTIP && lParam) {
            const auto* tip = reinterpret_cast<const EDITBALLOONTIP*>(lParam);
            g_balloonTexts.push_back(tip->pszText ? tip->pszText : L"");
        }
        if (message == WM_NCDESTROY)
            g_balloonPrevious.erase(window);
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

}  // namespace

void CBalloonRecorder::Attach(HWND edit)
{
    std::lock_guard<std::mutex> hold(g_balloonLock);
    if (g_balloonPrevious.count(edit))
        return;
    g_balloonPrevious[edit] =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BalloonProc)));
}

std::vector<std::wstring> CBalloonRecorder::Texts() const
{
    std::lock_guard<std::mutex> hold(g_balloonLock);
    return g_balloonTexts;
}

bool CBalloonRecorder::WaitForText(const std::wstring& text, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            for (const std::wstring& shown : Texts())
                if (shown == text)
                    return true;
            return false;
        },
        timeoutMs);
}
