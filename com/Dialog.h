#pragma once
// The dialog base of the library's modal dialogs, the window subclass the
// dialogs put on their controls, and the activation-context bracket around
// them.
//
//   class CAddFilterDialog final : public CDialogImpl<CAddFilterDialog>
//   {
//   public:
//       static constexpr UINT IDD = IDD_ADD_FILTER;
//   protected:
//       bool ProcessWindowMessage(UINT message, WPARAM, LPARAM, LRESULT& result) override;
//   };
//   CAddFilterDialog dialog(text);
//   INT_PTR result = dialog.DoModal(GetActiveWindow());
//
// Everything runs on the thread that calls DoModal. An exception that a
// handler lets escape never reaches the system's dialog code: the base
// converts it to an HRESULT and hands it to ReportFailure.

#include <windows.h>

#include <functional>
#include <string>

class CDialogBase
{
public:
    CDialogBase() noexcept = default;
    virtual ~CDialogBase();
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // The dialog window while it exists, else null.
    HWND GetHwnd() const noexcept { return m_hWnd; }

protected:
    // Runs the template of this module modally. Returns the value passed to
    // EndDialog. Throws the system error when the dialog cannot be created.
    INT_PTR DoModalTemplate(HWND owner, UINT templateId);

    // The message map. True when handled; result is then the message's
    // result (for WM_INITDIALOG: TRUE to let the system set the focus).
    // WM_NOTIFY results are passed on through DWLP_MSGRESULT.
    virtual bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
    // Called after the dialog window is gone.
    virtual void OnFinalMessage() {}
    // Called with the HRESULT of an exception that a handler let escape.
    // The default tells the user in a message box captioned like the dialog.
    virtual void ReportFailure(HRESULT hr);

    HWND GetDlgItem(int id) const noexcept { return ::GetDlgItem(m_hWnd, id); }
    void EndDialog(INT_PTR result) noexcept { ::EndDialog(m_hWnd, result); }
    void EnableDlgItem(int id, bool enable) noexcept { EnableWindow(GetDlgItem(id), enable ? TRUE : FALSE); }
    // Centres the dialog on its owner, or on the work area of the nearest
    // monitor when the owner is missing, hidden or minimised, and keeps it
    // inside that work area.
    void CenterOnOwner() noexcept;

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

template <class T>
class CDialogImpl : public CDialogBase
{
public:
    INT_PTR DoModal(HWND owner) { return DoModalTemplate(owner, T::IDD); }
};

// A message box owned by owner and captioned like it (MB_OK plus icon).
void ShowMessage(HWND owner, const std::wstring& text, UINT icon = MB_ICONWARNING) noexcept;
// what + ": " + the system's text for hr + " (0x8007...)." in an error box.
void ShowFailureMessage(HWND owner, const std::wstring& what, HRESULT hr) noexcept;
// The system's text for hr without its line end, or empty.
std::wstring DescribeHResult(HRESULT hr);

// Where a window of the given size goes: centred on `center` (a window
// rectangle), then moved as little as needed to lie inside workArea (its
// top-left corner wins when it is larger than the work area).
POINT PlaceCentered(SIZE window, const RECT& center, const RECT& workArea) noexcept;

// A window procedure put in front of a window's own, for the life of this
// object or of the window, whichever ends first. The handler sees every
// message first; when it returns true its result is the message's result,
// otherwise the message goes on to the previous procedure. A window carries
// at most one CWindowSubclass at a time. Use on the window's thread.
class CWindowSubclass
{
public:
    using Handler = std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)>;

    CWindowSubclass() noexcept = default;
    ~CWindowSubclass() { Remove(); }
    CWindowSubclass(const CWindowSubclass&) = delete;
    CWindowSubclass& operator=(const CWindowSubclass&) = delete;

    // Subclasses window (removing any earlier subclass of this object).
    // Throws the system error when the window cannot be subclassed.
    void Install(HWND window, Handler handler);
    // Puts the previous procedure back, if this object still heads the
    // window's chain; otherwise the window stays subclassed until it is
    // destroyed, and the handler is no longer called.
    void Remove() noexcept;
    HWND GetWindow() const noexcept { return m_window; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_window = nullptr;
    WNDPROC m_previous = nullptr;
    Handler m_handler;
};

// Activates an activation context on the calling thread for this object's
// life. ActivateActCtx and DeactivateActCtx are looked up by name once and
// kept. Throws the system error when they are missing or the activation
// fails.
class CActivationContextScope
{
public:
    explicit CActivationContextScope(HANDLE context);
    ~CActivationContextScope();
    CActivationContextScope(const CActivationContextScope&) = delete;
    CActivationContextScope& operator=(const CActivationContextScope&) = delete;

    // False on systems without activation contexts.
    static bool IsAvailable() noexcept;

private:
    ULONG_PTR m_cookie = 0;
};
