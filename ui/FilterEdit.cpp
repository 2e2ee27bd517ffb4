#include "ui/FilterEdit.h"

#include <commctrl.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "engine/FilterEdit.h"
#include "engine/FilterRule.h"

namespace {

using CTextPtr = std::unique_ptr<wchar_t, CFreeDeleter>;

CTextPtr ReadWindowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    const std::size_t capacity = static_cast<std::size_t>(length > 0 ? length : 0) + 1;
    CTextPtr text(static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t))));
    if (!text)
        throw std::bad_alloc();
    const int copied = GetWindowTextW(window, text.get(), static_cast<int>(capacity));
    text.get()[copied > 0 ? copied : 0] = L'\0';
    return text;
}

}  // namespace

void ShowEditBalloon(HWND edit, const wchar_t* text)
{
    EDITBALLOONTIP tip{};
    tip.cbStruct = sizeof tip;
    tip.pszTitle = nullptr;
    tip.pszText = text;
    tip.ttiIcon = TTI_NONE;
    SendMessageW(edit, EM_SHOWBALLOONTIP, 0, reinterpret_cast<LPARAM>(&tip));
}

wchar_t* ValidateFilterEdit(HWND edit)
{
    CTextPtr text = ReadWindowText(edit);
    const std::wstring problem = CheckFilterText(text.get());
    if (!problem.empty()) {
        ShowEditBalloon(edit, problem.c_str());
        return nullptr;
    }
    return text.release();
}

bool IsFilterEditValid(HWND edit)
{
    const CTextPtr text(ValidateFilterEdit(edit));
    return text != nullptr;
}

bool GetValidFilterText(HWND edit, std::wstring& text)
{
    const CTextPtr valid(ValidateFilterEdit(edit));
    if (!valid)
        return false;
    text.assign(valid.get());
    return true;
}
