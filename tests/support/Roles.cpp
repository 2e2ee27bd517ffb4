#include "tests/support/Roles.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/support/Process.h"

namespace {

std::map<std::wstring, RoleFunction>& RoleTable()
{
    static std::map<std::wstring, RoleFunction> table;
    return table;
}

}  // namespace

bool RegisterRole(const wchar_t* name, RoleFunction function)
{
    RoleTable()[name] = function;
    return true;
}

bool RunRoleIfRequested(int argc, wchar_t** argv, int* exitCode)
{
    const std::wstring prefix = L"--role=";
    if (argc < 2 || std::wstring(argv[1]).compare(0, prefix.size(), prefix) != 0)
        return false;
    std::wstring name = std::wstring(argv[1]).substr(prefix.size());
    auto it = RoleTable().find(name);
    if (it == RoleTable().end()) {
        *exitCode = 250;
        return true;
    }
    std::vector<std::wstring> args(argv + 2, argv + argc);
    *exitCode = it->second(args);
    return true;
}

CHandle StartRole(const std::wstring& name, const std::vector<std::wstring>& args)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = QuoteArgument(self) + L" --role=" + name;
    for (const auto& arg : args)
        commandLine += L" " + QuoteArgument(arg);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return CHandle();
    }
    CloseHandle(pi.hThread);
    return CHandle(pi.hProcess);
}

DWORD WaitForRole(const CHandle& process, DWORD timeoutMs)
{
    if (!process)
        return static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "child process did not finish in time";
        TerminateProcess(process.Get(), 255);
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}
