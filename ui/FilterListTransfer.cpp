#include "ui/FilterListTransfer.h"

#include <commctrl.h>

#include "engine/AdblockFormat.h"
#include "ui/ListViewText.h"

CAdblockExportResult ExportFilterList(HWND list, std::ostream& out)
{
    const auto count = static_cast<std::size_t>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    return WriteAdblockList(
        out, count, [list](std::size_t i) { return GetListItemText(list, static_cast<int>(i)); },
        FormatExportTimestamp());
}

CAdblockImportResult ImportFilterList(HWND list, std::istream& in)
{
    return ReadAdblockList(in, [list](const std::wstring& text) { AppendFilterItem(list, text.c_str()); });
}
