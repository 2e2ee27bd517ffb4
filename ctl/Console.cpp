#include "ctl/Console.h"

#include <windows.h>

#include <algorithm>

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
