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

std::wstring SelfPath()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

std::vector<std::wstring> RoleArgs(const std::wstring& name, const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> all{L"--role=" + name};
    all.insert(all.end(), args.begin(), args.end());
    return all;
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
    return StartProcess(SelfPath(), RoleArgs(name, args));
}

CProgramResult RunRole(const std::wstring& name, const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    return RunProgram(SelfPath(), RoleArgs(name, args), timeoutMs);
}
