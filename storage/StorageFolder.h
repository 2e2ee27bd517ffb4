#pragma once
// The per-user storage folder, where the stores keep their files.

#include <windows.h>

// Fills buffer (MAX_PATH characters) with the per-user storage folder, the
// folder "Quellan" under the low-integrity local application data folder
// (Vista and later) or under the local application data folder (XP), and
// creates it if nothing exists under that name. Whatever exists is accepted,
// even a plain file. Returns S_OK or the failure; throws nothing.
HRESULT GetStorageFolder(wchar_t* buffer) noexcept;
