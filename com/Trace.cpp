#include "com/Trace.h"

#include <cstdio>
#include <cstring>

namespace {

// The source path relative to the checkout: the last two parts
// ("ui/SettingsDialog.cpp"), so lines do not carry the build machine's
// folders.
const char* ShortPath(const char* file) noexcept
{
    if (!file)
        return "?";
    const char* last = nullptr;
    const char* beforeLast = nullptr;
    for (const char* p = file; *p; ++p) {
        if (*p == '/' || *p == '\\') {
            beforeLast = last;
            last = p;
        }
    }
    return beforeLast ? beforeLast + 1 : file;
}

}  // namespace

void FormatTraceLine(char* buffer, size_t size, HRESULT hr, const char* what, const char* function,
                     const char* file, int line) noexcept
{
    if (!buffer || size == 0)
        return;
    const int written = std::snprintf(buffer, size, "%s:%d %s: %.300s%s(0x%08lX)", ShortPath(file), line,
                                      function ? function : "?", what ? what : "", what ? " " : "",
                                      static_cast<unsigned long>(hr));
    if (written < 0)
        buffer[0] = '\0';
}

void TraceFailure(HRESULT hr, const char* what, const char* function, const char* file, int line) noexcept
{
    // Keeps the caller's last error: a trace between a failed call and the
    // code that reads its error must not change what it reads.
    const DWORD lastError = GetLastError();
    char text[512];
    const int prefix = std::snprintf(text, sizeof text, "Quellan[%lu:%lu] ",
                                     static_cast<unsigned long>(GetCurrentProcessId()),
                                     static_cast<unsigned long>(GetCurrentThreadId()));
    const size_t used = prefix > 0 ? static_cast<size_t>(prefix) : 0;
    FormatTraceLine(text + used, sizeof text - used - 1, hr, what, function, file, line);
    std::strcat(text, "\n");
    OutputDebugStringA(text);
    SetLastError(lastError);
}
