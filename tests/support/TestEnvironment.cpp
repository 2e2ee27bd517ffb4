#include "tests/support/TestEnvironment.h"

#include <windows.h>

#include <stdexcept>

namespace {

std::wstring Env(const wchar_t* name)
{
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    if (n == 0 || n >= 1024)
        throw std::runtime_error("environment variable missing; run tests through wine-run.sh");
    return std::wstring(buffer, n);
}

}  // namespace

std::wstring ShippedBinaryDir()
{
    return Env(L"QUELLAN_BIN_DIR");
}

std::optional<std::wstring> TryOtherShippedBinaryDir()
{
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(L"QUELLAN_OTHER_BIN_DIR", buffer, 1024);
    if (n == 0 || n >= 1024)
        return std::nullopt;
    return std::wstring(buffer, n);
}

std::wstring SourceDir()
{
    return Env(L"QUELLAN_SOURCE_DIR");
}

std::wstring MakeScratchDir()
{
    static LONG counter;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        std::wstring dir = std::wstring(temp) + L"quellan-test-" + std::to_wstring(GetCurrentProcessId()) +
                           L"-" + std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(dir.c_str(), nullptr))
            return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create a scratch folder");
    }
}
