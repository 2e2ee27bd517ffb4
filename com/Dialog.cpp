#include "com/Dialog.h"

#include <cwchar>
#include <string>

#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Module.h"
#include "com/Trace.h"

namespace {

// Messages whose dialog-procedure result is the message's own result rather
// than TRUE with the result in DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) noexcept
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

const wchar_t kSubclassProperty[] = L"Quellan.WindowSubclass";

}  // namespace

CDialogBase::~CDialogBase() = default;

INT_PTR CDialogBase::DoModalTemplate(HWND owner, UINT templateId)
{
    SetLastError(ERROR_SUCCESS);
    INT_PTR result = DialogBoxParamW(GetModuleInstance(), MAKEINTRESOURCEW(templateId), owner, &DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (result == -1)
        ThrowLastError();
    return result;
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialogBase* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogBase*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self)
        return FALSE;

    LRESULT result = 0;
    bool handled = false;
    try {
        handled = self->ProcessWindowMessage(message, wParam, lParam, result);
    } catch (...) {
        HRESULT hr = HResultFromCurrentException();
        try {
            self->ReportFailure(hr);
        } catch (...) {
            TraceCurrentException("the failure could not be reported");
        }
        handled = message != WM_INITDIALOG;
        result = 0;
    }

    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        self->OnFinalMessage();
        return FALSE;
    }
    if (!handled)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

void CDialogBase::ReportFailure(HRESULT hr)
{
    ShowFailureMessage(m_hWnd, L"The operation could not be completed", hr);
}

std::wstring DescribeHResult(HRESULT hr)
{
    wchar_t* system = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&system), 0, nullptr);
    CLocalMemory owner(system);
    std::wstring reason = system ? system : L"";
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ' ||
                               reason.back() == L'.'))
        reason.pop_back();
    return reason;
}

void ShowMessage(HWND owner, const std::wstring& text, UINT icon) noexcept
{
    wchar_t caption[128] = L"Quellan";
    if (owner)
        GetWindowTextW(owner, caption, 128);
    MessageBoxW(owner, text.c_str(), caption, MB_OK | icon);
}

void ShowFailureMessage(HWND owner, const std::wstring& what, HRESULT hr) noexcept
{
    try {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        std::wstring reason = DescribeHResult(hr);
        std::wstring text = what;
        if (!reason.empty())
            text += L": " + reason;
        text += L" (";
        text += code;
        text += L").";
        ShowMessage(owner, text, MB_ICONERROR);
    } catch (...) {
        ShowMessage(owner, what, MB_ICONERROR);
    }
}

POINT PlaceCentered(SIZE window, const RECT& center, const RECT& workArea) noexcept
{
    LONG x = center.left + ((center.right - center.left) - window.cx) / 2;
    LONG y = center.top + ((center.bottom - center.top) - window.cy) / 2;
    if (x + window.cx > workArea.right)
        x = workArea.right - window.cx;
    if (y + window.cy > workArea.bottom)
        y = workArea.bottom - window.cy;
    if (x < workArea.left)
        x = workArea.left;
    if (y < workArea.top)
        y = workArea.top;
    return POINT{x, y};
}

void CDialogBase::CenterOnOwner() noexcept
{
    HWND owner = GetWindow(m_hWnd, GW_OWNER);
    bool onOwner = owner && IsWindowVisible(owner) && !IsIconic(owner);
    HMONITOR monitor = MonitorFromWindow(onOwner ? owner : m_hWnd, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &info.rcWork, 0);
    RECT center = info.rcWork;
    if (onOwner)
        GetWindowRect(owner, &center);
    RECT own = {};
    GetWindowRect(m_hWnd, &own);
    POINT place = PlaceCentered(SIZE{own.right - own.left, own.bottom - own.top}, center, info.rcWork);
    SetWindowPos(m_hWnd, nullptr, place.x, place.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowSubclass::Install(HWND window, Handler handler)
{
    Remove();
    m_handler = std::move(handler);
    if (!SetPropW(window, kSubclassProperty, this))
        ThrowLastError();
    SetLastError(ERROR_SUCCESS);
    auto previous = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWindowSubclass::Procedure)));
    if (!previous && GetLastError() != ERROR_SUCCESS) {
        RemovePropW(window, kSubclassProperty);
        ThrowLastError();
    }
    m_window = window;
    m_previous = previous;
}

void CWindowSubclass::Remove() noexcept
{
    if (!m_window)
        return;
    if (GetPropW(m_window, kSubclassProperty) == this) {
        RemovePropW(m_window, kSubclassProperty);
        auto current = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(m_window, GWLP_WNDPROC));
        if (current == &CWindowSubclass::Procedure)
            SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previous));
    }
    m_window = nullptr;
}

LRESULT CALLBACK CWindowSubclass::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<CWindowSubclass*>(GetPropW(window, kSubclassProperty));
    if (!self) {
        // Removed while another procedure that came later still calls us:
        // nothing of ours is left to run, so pass on to the system's default.
        return DefWindowProcW(window, message, wParam, lParam);
    }
    WNDPROC previous = self->m_previous;
    if (message == WM_NCDESTROY) {
        // The window goes: put its own procedure back and forget it.
        LRESULT ignored = 0;
        try {
            self->m_handler(window, message, wParam, lParam, ignored);
        } catch (...) {
            TraceCurrentException("subclass handler failed on WM_NCDESTROY");
        }
        RemovePropW(window, kSubclassProperty);
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        self->m_window = nullptr;
        return CallWindowProcW(previous, window, message, wParam, lParam);
    }
    LRESULT result = 0;
    try {
        if (self->m_handler(window, message, wParam, lParam, result))
            return result;
    } catch (...) {
        // A handler that failed lets the window behave as if unsubclassed.
        TraceCurrentException("subclass handler failed");
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

namespace {

struct CActivationFunctions
{
    using Activate = BOOL(WINAPI*)(HANDLE, ULONG_PTR*);
    using Deactivate = BOOL(WINAPI*)(DWORD, ULONG_PTR);

    CActivationFunctions() noexcept
    {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        activate = GetExport<Activate>(kernel, "ActivateActCtx");
        deactivate = GetExport<Deactivate>(kernel, "DeactivateActCtx");
    }

    Activate activate = nullptr;
    Deactivate deactivate = nullptr;
};

const CActivationFunctions& ActivationFunctions() noexcept
{
    static const CActivationFunctions functions;
    return functions;
}

}  // namespace

bool CActivationContextScope::IsAvailable() noexcept
{
    return ActivationFunctions().activate && ActivationFunctions().deactivate;
}

CActivationContextScope::CActivationContextScope(HANDLE context)
{
    if (!IsAvailable())
        ThrowHResult(HResultFromWin32(ERROR_PROC_NOT_FOUND));
    ThrowLastErrorIf(!ActivationFunctions().activate(context, &m_cookie));
}

CActivationContextScope::~CActivationContextScope()
{
    ActivationFunctions().deactivate(0, m_cookie);
}
