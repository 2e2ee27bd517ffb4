#pragma once
// The import and export file dialogs: the common Open and Save As dialogs,
// through the functions that comdlg32 exports, loaded at the first use and
// kept for the life of the process. Each runs modally on the calling thread,
// owned by `owner`, under the module's activation context (common controls
// version 6) where the system has activation contexts.
//
// Import asks for an existing file; export asks before overwriting one and
// adds ".TXT" to a name typed without an extension. Both offer
// "Adblock Filter List (*.txt)" first and "All Files (*.*)" second. Neither
// follows a shortcut: a chosen .lnk file is returned as itself, never as
// the file it points at.

#include <windows.h>

#include <optional>
#include <string>

// The chosen path, or nothing when the user cancelled or the dialog failed
// (a path of MAX_PATH characters or more cannot be chosen). Throws the
// system error when comdlg32 or its function cannot be loaded.
std::optional<std::wstring> TryChooseImportFile(HWND owner);
std::optional<std::wstring> TryChooseExportFile(HWND owner);
