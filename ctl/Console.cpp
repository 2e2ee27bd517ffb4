#include "ctl/Console.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "com/Error.h"

namespace {

void Write(DWORD which, const std::wstring& text)
{
    HANDLE stream = GetStdHandle(which);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(stream, &mode)) {
        // Older consoles refuse a single write much beyond 64 KiB.
        constexpr size_t kChunk = 8192;
        for (size_t at = 0; at < text.size(); at += kChunk) {
            DWORD count = static_cast<DWORD>(std::min(kChunk, text.size() - at));
            if (!WriteConsoleW(stream, text.data() + at, count, &written, nullptr))
                return;
        }
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr,
                        nullptr);
    WriteFile(stream, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void WriteOut(const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, text);
}

void WriteErr(const std::wstring& text)
{
    Write(STD_ERROR_HANDLE, text);
}

std::wstring ReadIn()
{
    HANDLE stream = GetStdHandle(STD_INPUT_HANDLE);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE)
        return std::wstring();
    DWORD mode = 0;
    if (GetConsoleMode(stream, &mode)) {
        std::wstring text;
        wchar_t block[4096];
        DWORD read = 0;
        while (ReadConsoleW(stream, block, 4096, &read, nullptr) && read != 0) {
            text.append(block, read);
            const std::size_t end = text.find(L'\x1A');
            if (end != std::wstring::npos) {
                text.resize(end);
                break;
            }
        }
        return text;
    }
    std::string bytes;
    char block[65536];
    DWORD read = 0;
    for (;;) {
        if (!ReadFile(stream, block, sizeof block, &read, nullptr)) {
            // The writing end of a pipe has closed: that is the end.
            if (GetLastError() == ERROR_BROKEN_PIPE)
                break;
            ThrowLastError();
        }
        if (read == 0)
            break;
        bytes.append(block, read);
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    if (bytes.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    ThrowLastErrorIf(size <= 0);
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}
