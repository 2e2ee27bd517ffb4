#pragma once
// The filter edit boxes of the settings and Add Filter dialogs: the text is
// checked as engine/FilterEdit.h says and, when it is refused, exactly one
// balloon tip with the message is shown on the edit control. The control's
// text, selection and focus are left as they are. Call on the control's
// thread. Allocation failures throw std::bad_alloc.

#include <windows.h>

#include <string>

// EM_SHOWBALLOONTIP with no title and no icon (needs common controls 6).
void ShowEditBalloon(HWND edit, const wchar_t* text);

// The control's whole text, markers included, as a malloc'd zero-terminated
// string (the caller frees it) when it is a valid filter; null after showing
// the balloon when it is not.
wchar_t* ValidateFilterEdit(HWND edit);

// ValidateFilterEdit reduced to true or false.
bool IsFilterEditValid(HWND edit);

// True and the text in `text` when valid; false and `text` unchanged when
// not.
bool GetValidFilterText(HWND edit, std::wstring& text);
