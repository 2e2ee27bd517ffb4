#pragma once
// Console output of QuellanCtl: UTF-8 bytes on a redirected stream, wide
// characters on a real console (whose code page may not be UTF-8).

#include <string>

void WriteOut(const std::wstring& text);
void WriteErr(const std::wstring& text);

// All of standard input: UTF-8 bytes (a leading byte-order mark dropped) from
// a file or pipe, wide characters from a real console up to Ctrl+Z. Throws
// the converted last error when a read fails.
std::wstring ReadIn();
