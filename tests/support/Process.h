#pragma once
// The one way the tests start processes: the shipped tools, system programs
// (regsvr32) and this test executable itself in a role (tests/support/Roles.h).

#include <windows.h>

#include <string>
#include <vector>

#include "com/Handle.h"

struct CProgramResult
{
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string out;  // standard output, raw bytes
    std::string err;  // standard error, raw bytes
};

// Quotes one argument for a Windows command line, when it needs quotes.
std::wstring QuoteArgument(const std::wstring& arg);

// Starts program (a path, or a name the system searches for) with args, each
// quoted as needed, without waiting. Standard output and error go to the
// given inheritable handles, or nowhere when they are null. Fails the current
// test and returns an empty handle when the process cannot be created.
CHandle StartProcess(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE out = nullptr,
                     HANDLE err = nullptr);

// Waits up to timeoutMs for the process and returns its exit code. On
// timeout, fails the current test, kills the process and returns -1; an
// empty handle gives -1 too.
DWORD WaitForProcess(const CHandle& process, DWORD timeoutMs = 60000);

// Starts program, waits up to timeoutMs, and returns its exit code and output.
// About one process start in 1,500 fails under Wine before the program runs
// ("failed to map the shared user data": exit code 1, no output at all); such
// a start is retried. So a program run this way must not end with exit code 1
// without writing anything.
CProgramResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                          DWORD timeoutMs = 60000);
