#pragma once
// Validation of typed filter text: what the filter edit boxes of the settings
// and Add Filter dialogs accept (ui/FilterEdit.h shows the message as a
// balloon), and what QuellanCtl accepts. Any thread.
//
// A text is accepted when it is valid filter syntax and its body is a
// regular expression that compiles or a wildcard without a bad escape.
// Otherwise the message names the first failing check:
//   "Invalid filter syntax."
//   "Invalid regular expression; " + RegexErrorText(code) + "."
//   "Invalid wildcard expression; " + CheckWildcard message + "."

#include <string>

// The message for text, or the empty string when text is a valid filter.
// Allocation failures throw std::bad_alloc.
std::wstring CheckFilterText(const wchar_t* text);
