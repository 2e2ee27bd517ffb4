#include "ui/CommonControls.h"

#include <windows.h>
#include <commctrl.h>

#include "com/Export.h"

namespace {

// Looked up at run time: a static import would bind to whatever version the
// loader picks for the browser, not to the one our manifest names.
HMODULE LoadOnce() noexcept
{
    static const HMODULE library = LoadLibraryW(L"comctl32.dll");
    return library;
}

}  // namespace

void LoadCommonControls() noexcept
{
    HMODULE library = LoadOnce();
    if (!library)
        return;
    using Function = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = GetExport<Function>(library, "InitCommonControlsEx");
    if (!init)
        return;
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES | ICC_LINK_CLASS};
    init(&classes);
}
