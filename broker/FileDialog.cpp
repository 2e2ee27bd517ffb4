#include "broker/FileDialog.h"

#include <commdlg.h>

#include <atomic>

#include "com/Dialog.h"
#include "com/Error.h"
#include "com/Export.h"
#include "com/Module.h"
#include "com/Sync.h"

namespace {

using GetFileNameFunction = BOOL(WINAPI*)(OPENFILENAMEW*);

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
        request.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOREADONLYRETURN | OFN_NODEREFERENCELINKS;
        request.lpstrDefExt = L"TXT";
    } else {
        request.lpstrTitle = L"Import Filter List";
        request.Flags =
            OFN_READONLY | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NODEREFERENCELINKS;
    }
    BOOL chosen;
    {
        // Without activation contexts (or a module context) the dialog runs
        // with the caller's.
        std::optional<CActivationContextScope> activation;
        HANDLE context = GetModuleActivationContext();
        if (context && CActivationContextScope::IsAvailable())
            activation.emplace(context);
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
