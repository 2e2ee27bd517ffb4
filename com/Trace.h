#pragma once
// One line through OutputDebugString for every failure that would otherwise
// leave no trace: an exception converted into an HRESULT at a boundary, or a
// failure deliberately swallowed (menu entries not installed, an index not
// published, a repair that failed). An administrator sees the lines with any
// debug-output viewer; nothing is written anywhere else.
//
// A line reads
//   Quellan[pid:tid] ui/SettingsDialog.cpp:133 OnInitDialog: what (0x80070005)
// where the place is the caller's, filled in by the compiler. Cheap enough to
// stay on in release builds: no allocation, no lock, one system call, and
// only on a failure. Never throws; any thread.

#include <windows.h>

// `what` may be null (the line then names only the place and the code).
void TraceFailure(HRESULT hr, const char* what = nullptr, const char* function = __builtin_FUNCTION(),
                  const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept;

// The text TraceFailure writes, without the process and thread prefix, into
// `buffer` (always terminated, cut short when too long).
void FormatTraceLine(char* buffer, size_t size, HRESULT hr, const char* what, const char* function,
                     const char* file, int line) noexcept;
