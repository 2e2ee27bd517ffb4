#pragma once
// Runs a program as a user would and collects what it printed.

#include <windows.h>

#include <string>
#include <vector>

struct CProgramResult
{
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string out;  // standard output, raw bytes
    std::string err;  // standard error, raw bytes
};

// Quotes one argument for a Windows command line, when it needs quotes.
std::wstring QuoteArgument(const std::wstring& arg);

// Starts program with args (quoted as needed), waits up to timeoutMs, and
// returns its exit code and output. Fails the current test and kills the
// program on timeout.
CProgramResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                          DWORD timeoutMs = 60000);

// Starts the program without waiting; output goes to the given files.
HANDLE StartProgram(const std::wstring& program, const std::vector<std::wstring>& args, HANDLE out, HANDLE err);
