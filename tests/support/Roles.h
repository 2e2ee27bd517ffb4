#pragma once
// Child-process roles for cross-process tests.
//
// A test registers a role by name with QUELLAN_TEST_ROLE and starts a child
// with StartRole; the child is this same executable started with
// "--role=NAME args...", which runs the role's function instead of the tests
// and exits with its return value.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "com/Handle.h"
#include "tests/support/Process.h"

using RoleFunction = int (*)(const std::vector<std::wstring>& args);

bool RegisterRole(const wchar_t* name, RoleFunction function);
bool RunRoleIfRequested(int argc, wchar_t** argv, int* exitCode);

// Starts this executable in a role without waiting; returns the process
// handle (wait with WaitForProcess).
CHandle StartRole(const std::wstring& name, const std::vector<std::wstring>& args = {});
// Runs this executable in a role to its end and returns its exit code and
// output. A role run this way must not end with exit code 1 without
// printing anything: that is how a failed process start under Wine looks,
// and such a start is retried (RunProgram).
CProgramResult RunRole(const std::wstring& name, const std::vector<std::wstring>& args = {},
                       DWORD timeoutMs = 60000);

#define QUELLAN_TEST_ROLE(name)                                                      \
    static int name##Role(const std::vector<std::wstring>& args);                   \
    static const bool name##RoleRegistered = RegisterRole(L## #name, &name##Role); \
    static int name##Role([[maybe_unused]] const std::vector<std::wstring>& args)
