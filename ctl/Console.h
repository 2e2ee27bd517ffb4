#pragma once
// Console output of QuellanCtl: UTF-8 bytes on a redirected stream, wide
// characters on a real console (whose code page may not be UTF-8).

#include <string>

void WriteOut(const std::wstring& text);
void WriteErr(const std::wstring& text);
