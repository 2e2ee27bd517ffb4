#include "ui/FileDialog.h"

#include <commdlg.h>

#include <atomic>

#include "com/Error.h"
#include "com/Module.h"
#include "com/Sync.h"

namespace {

using GetFileNameFunction = BOOL(WINAPI*)(OPENFILENAMEW*);
using ActivateActCtxFunction = BOOL(WINAPI*)(HANDLE, ULONG_PTR*);
using DeactivateActCtxFunction = BOOL(WINAPI*)(DWORD, ULONG_PTR);

template <class Function>
Function GetExport(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// comdlg32 is loaded at the first dialog and never freed: the library keeps
// the two entry points for the life of the process. A failed load is not
// remembered, so a later dialog tries again.
struct CCommonDialogs
{
    CCriticalSection lock;
    std::atomic<bool> loaded{false};
    GetFileNameFunction getOpenFileName = nullptr;
    GetFileNameFunction getSaveFileName = nullptr;
};

CCommonDialogs g_commonDialogs;

const CCommonDialogs& LoadCommonDialogs()
{
    if (g_commonDialogs.loaded.load(std::memory_order_acquire))
        return g_commonDialogs;
    CCritSecLock hold(g_commonDialogs.lock);
    if (!g_commonDialogs.loaded.load(std::memory_order_relaxed)) {
        HMODULE comdlg32 = LoadLibraryW(L"Comdlg32.dll");
        ThrowLastErrorIf(!comdlg32);
        auto open = GetExport<GetFileNameFunction>(comdlg32, "GetOpenFileNameW");
        auto save = GetExport<GetFileNameFunction>(comdlg32, "GetSaveFileNameW");
        if (!open || !save) {
            HRESULT hr = HResultFromLastError();
            FreeLibrary(comdlg32);
            ThrowHResult(hr);
        }
        g_commonDialogs.getOpenFileName = open;
        g_commonDialogs.getSaveFileName = save;
        g_commonDialogs.loaded.store(true, std::memory_order_release);
    }
    return g_commonDialogs;
}

// Activates the module's activation context for the object's life. Without
// a context, or on a system without activation contexts (the functions are
// missing), it does nothing; a failed activation leaves the dialog to run
// with the caller's context rather than not at all.
class CModuleActivation
{
public:
    CModuleActivation() noexcept
    {
        HANDLE context = GetModuleActivationContext();
        HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        if (!context || !kernel32)
            return;
        auto activate = GetExport<ActivateActCtxFunction>(kernel32, "ActivateActCtx");
        m_deactivate = GetExport<DeactivateActCtxFunction>(kernel32, "DeactivateActCtx");
        if (!activate || !m_deactivate || !activate(context, &m_cookie))
            m_deactivate = nullptr;
    }
    ~CModuleActivation()
    {
        if (m_deactivate)
            m_deactivate(0, m_cookie);
    }
    CModuleActivation(const CModuleActivation&) = delete;
    CModuleActivation& operator=(const CModuleActivation&) = delete;

private:
    DeactivateActCtxFunction m_deactivate = nullptr;
    ULONG_PTR m_cookie = 0;
};

// Pattern pairs, each string NUL-terminated, the list ended by a second NUL.
constexpr wchar_t kFilter[] = L"Adblock Filter List (*.txt)\0*.TXT\0All Files (*.*)\0*.*\0";

std::optional<std::wstring> ChooseFile(HWND owner, bool save)
{
    const CCommonDialogs& dialogs = LoadCommonDialogs();
    wchar_t file[MAX_PATH] = L"";
    OPENFILENAMEW request = {};
    request.lStructSize = sizeof request;
    request.hwndOwner = owner;
    request.lpstrFilter = kFilter;
    request.nFilterIndex = 1;
    request.lpstrFile = file;
    request.nMaxFile = MAX_PATH;
    if (save) {
        request.lpstrTitle = L"Export Filter List";
        request.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOREADONLYRETURN;
        request.lpstrDefExt = L"TXT";
    } else {
        request.lpstrTitle = L"Import Filter List";
        request.Flags = OFN_READONLY | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    }
    BOOL chosen;
    {
        CModuleActivation activation;
        chosen = save ? dialogs.getSaveFileName(&request) : dialogs.getOpenFileName(&request);
    }
    // Cancelled and failed are alike: nothing was chosen.
    if (!chosen)
        return std::nullopt;
    return std::wstring(file);
}

}  // namespace

std::optional<std::wstring> TryChooseImportFile(HWND owner)
{
    return ChooseFile(owner, false);
}

std::optional<std::wstring> TryChooseExportFile(HWND owner)
{
    return ChooseFile(owner, true);
}
