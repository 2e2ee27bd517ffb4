#pragma once
// Where the tests find things, as the wine-run.sh wrapper tells them.

#include <optional>
#include <string>

// Folder of the shipped (win32 thread model) build of the tests' own
// architecture, as a Windows path.
std::wstring ShippedBinaryDir();
// Folder of the other architecture's shipped build, when this Wine runs its
// programs too: the i686 tests' 64-bit prefix runs x86_64 programs beside the
// 32-bit ones, as 64-bit Windows does; the host's Wine runs x86_64 only.
std::optional<std::wstring> TryOtherShippedBinaryDir();
// The source checkout, as a Windows path.
std::wstring SourceDir();
// A fresh empty folder under the prefix's temp folder, unique per call.
std::wstring MakeScratchDir();
