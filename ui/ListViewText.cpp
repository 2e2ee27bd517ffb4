#include "ui/ListViewText.h"

#include <commctrl.h>

#include <cstdint>
#include <vector>

#include "com/Error.h"

std::wstring GetListItemText(HWND list, int item, int column)
{
    // The control copies at most size - 1 characters and returns how many it
    // copied, so a full buffer may mean a truncated text: grow and ask again.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        LVITEMW request{};
        request.iSubItem = column;
        request.pszText = buffer.data();
        request.cchTextMax = static_cast<int>(buffer.size());
        const LRESULT copied = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item),
                                            reinterpret_cast<LPARAM>(&request));
        if (copied < static_cast<LRESULT>(buffer.size()) - 1) {
            if (!request.pszText || copied <= 0)
                return std::wstring();
            return std::wstring(request.pszText, static_cast<std::size_t>(copied));
        }
        buffer.resize(buffer.size() * 2);
    }
}

void AppendFilterItem(HWND list, const wchar_t* text)
{
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_STATE;
    item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.iSubItem = 0;
    item.pszText = const_cast<wchar_t*>(text);
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    const LRESULT index = SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    if (index < 0)
        ThrowHResult(E_FAIL);
    SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE);
}

int CompareOrdinal(const std::wstring& first, const std::wstring& second) noexcept
{
    const std::size_t common = first.size() < second.size() ? first.size() : second.size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto a = static_cast<std::uint16_t>(first[i]);
        const auto b = static_cast<std::uint16_t>(second[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    if (first.size() == second.size())
        return 0;
    return first.size() < second.size() ? -1 : 1;
}
