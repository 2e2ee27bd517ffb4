#pragma once
// Text access to a report-style list view whose items carry only a text
// (the settings dialog's filter list, the Blockable Items list). Call on the
// control's thread.

#include <windows.h>

#include <string>

// The whole text of item `item` in column `column`, however long. An index
// that does not exist gives the empty text.
std::wstring GetListItemText(HWND list, int item, int column = 0);

// Appends `text` as the new last item, selected and focused (other items
// keep their selection), and scrolls it fully into view. Throws the HRESULT
// exception E_FAIL when the control refuses the item.
void AppendFilterItem(HWND list, const wchar_t* text);

// Ordinal, case-sensitive order of two texts: code unit by code unit as
// unsigned 16-bit values, a proper prefix first. <0, 0 or >0.
int CompareOrdinal(const std::wstring& first, const std::wstring& second) noexcept;
