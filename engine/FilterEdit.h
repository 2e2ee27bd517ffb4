#pragma once
// Validation of the filter edit boxes (settings dialog, Add Filter dialog).
//
// A text is accepted when it is valid filter syntax and its body is a
// regular expression that compiles or a wildcard without a bad escape.
// Otherwise exactly one balloon tip is shown on the edit control, for the
// first failing check:
//   "Invalid filter syntax."
//   "Invalid regular expression; " + RegexErrorText(code) + "."
//   "Invalid wildcard expression; " + CheckWildcard message + "."
// The control's text, selection and focus are left as they are. Call on the
// control's thread. Allocation failures throw std::bad_alloc.

#include <windows.h>

#include <string>

// The message the balloon would show for text, or the empty string when text
// is a valid filter. Shared with every other place that accepts typed filters.
std::wstring CheckFilterText(const wchar_t* text);

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
