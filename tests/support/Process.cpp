#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include "tests/support/Files.h"

namespace {

CHandle TempFile()
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"qot", 0, path);
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    return CHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

// The whole of an output file that a process has written.
std::string ReadOutput(HANDLE file)
{
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    return ReadAll(file);
}

CProgramResult RunOnce(const std::wstring& program, const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    CProgramResult result;
    CHandle out = TempFile();
    CHandle err = TempFile();
    if (!out || !err) {
        ADD_FAILURE() << "cannot create the output files";
        return result;
    }
    result.exitCode = WaitForProcess(StartProcess(program, args, out.Get(), err.Get()), timeoutMs);
    result.out = ReadOutput(out.Get());
    result.err = ReadOutput(err.Get());
    return result;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& arg)
{
    // Quoted only when it must be: programs that read their raw command
    // line (QuellanHost's switches) see the argument as a user types it.
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

CHandle StartProcess(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE out, HANDLE err)
{
    std::wstring commandLine = QuoteArgument(program);
    for (const auto& arg : args)
        commandLine += L" " + QuoteArgument(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    const bool redirect = out || err;
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
    }
    PROCESS_INFORMATION process{};
    // No application name: a bare program name is searched for as the shell
    // would. Under load Wine now and then fails a start with
    // ERROR_INTERNAL_ERROR that succeeds when asked again.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, redirect, 0, nullptr, nullptr, &startup,
                           &process))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == kAttempts) {
            ADD_FAILURE() << "cannot start " << testing::PrintToString(program) << ": error " << error;
            return CHandle();
        }
        Sleep(100);
    }
    CloseHandle(process.hThread);
    return CHandle(process.hProcess);
}

DWORD WaitForProcess(const CHandle& process, DWORD timeoutMs)
{
    if (!process)
        return static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "a child process did not finish in time; killing it";
        TerminateProcess(process.Get(), 255);
        WaitForSingleObject(process.Get(), 5000);
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

CProgramResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    constexpr int kAttempts = 3;
    CProgramResult result;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        result = RunOnce(program, args, timeoutMs);
        if (!(result.exitCode == 1 && result.out.empty() && result.err.empty()))
            break;
    }
    return result;
}
