#include "tests/ui/DialogDriver.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <dlgs.h>
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
    int controlId;
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
    if (search.controlId && !GetDlgItem(window, search.controlId))
        return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindThreadDialog(DWORD threadId, const wchar_t* caption, HWND owner, int controlId = 0)
{
    CDialogSearch search{caption, owner, controlId, nullptr};
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

HWND WaitForDialogWith(DWORD threadId, const wchar_t* caption, int controlId, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindThreadDialog(threadId, caption, nullptr, controlId)) != nullptr; },
              timeoutMs);
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
            [](HWND window, LPARAM list) CALLBACK -> BOOL {  // stdcall on i686
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

std::vector<std::vector<std::wstring>> ListRows(HWND list)
{
    std::vector<std::vector<std::wstring>> rows;
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    if (columns < 1)
        columns = 1;
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        std::vector<std::wstring> row;
        for (int column = 0; column < columns; ++column) {
            wchar_t text[2100] = L"";
            LVITEMW item = {};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = 2100;
            SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
            row.push_back(text);
        }
        rows.push_back(row);
    }
    return rows;
}

HWND FocusedWindow(DWORD threadId)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

namespace {

struct CGreyRowWatch
{
    WNDPROC previous = nullptr;
    int listId = 0;
};

std::mutex g_greyLock;
std::map<HWND, CGreyRowWatch> g_greyWatches;
std::map<int, bool> g_greyRows;

LRESULT CALLBACK GreyRowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CGreyRowWatch watch;
    {
        std::lock_guard<std::mutex> hold(g_greyLock);
        watch = g_greyWatches[window];
        if (message == WM_NCDESTROY)
            g_greyWatches.erase(window);
    }
    LRESULT result = CallWindowProcW(watch.previous, window, message, wParam, lParam);
    if (message == WM_NOTIFY) {
        const auto* draw = reinterpret_cast<const NMLVCUSTOMDRAW*>(lParam);
        if (draw->nmcd.hdr.code == NM_CUSTOMDRAW && static_cast<int>(draw->nmcd.hdr.idFrom) == watch.listId &&
            draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            bool grey = (result & CDRF_NEWFONT) && draw->clrText == GetSysColor(COLOR_GRAYTEXT);
            std::lock_guard<std::mutex> hold(g_greyLock);
            g_greyRows[static_cast<int>(draw->nmcd.dwItemSpec)] = grey;
        }
    }
    return result;
}

}  // namespace

void CGreyRowRecorder::Attach(HWND dialog, int listId)
{
    std::lock_guard<std::mutex> hold(g_greyLock);
    g_greyRows.clear();
    CGreyRowWatch& watch = g_greyWatches[dialog];
    watch.listId = listId;
    watch.previous =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GreyRowProc)));
}

bool CGreyRowRecorder::WaitForRow(int item, bool grey, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            std::lock_guard<std::mutex> hold(g_greyLock);
            auto found = g_greyRows.find(item);
            return found != g_greyRows.end() && found->second == grey;
        },
        timeoutMs);
}

void CGreyRowRecorder::Repaint(HWND list)
{
    InvalidateRect(list, nullptr, FALSE);
    UpdateWindow(list);
}

void ChooseFile(DWORD threadId, HWND owner, const wchar_t* caption, const std::wstring& path)
{
    HWND chooser = WaitForDialog(threadId, caption, owner);
    ASSERT_TRUE(chooser) << "no file dialog";
    ASSERT_TRUE(WaitUntil([&] { return GetDlgItem(chooser, IDOK) && IsWindowEnabled(chooser); }));
    if (path.empty()) {
        PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
        // The Explorer-style dialog has a combo box (cmb13), the old style
        // an edit control (edt1).
        HWND box = GetDlgItem(chooser, cmb13);
        if (!box)
            box = GetDlgItem(chooser, edt1);
        ASSERT_TRUE(box) << "no file name box";
        SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(chooser); }));
}
