#pragma once
// Where the tests find things, as the wine-run.sh wrapper tells them.

#include <string>

// Folder of the shipped (win32 thread model) x86_64 build, as a Windows path.
std::wstring ShippedBinaryDir();
// The source checkout, as a Windows path.
std::wstring SourceDir();
// A fresh empty folder under the prefix's temp folder, unique per call.
std::wstring MakeScratchDir();
