#pragma once
// Whole files with plain system calls, for the tests and their roles.

#include <windows.h>

#include <string>

// The bytes from the file's current position to its end.
std::string ReadAll(HANDLE file);
// The whole file, opened shared for reading and writing. Throws
// std::runtime_error when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);
// Creates the file, or empties it, and writes bytes. Throws
// std::runtime_error when it cannot be written.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
