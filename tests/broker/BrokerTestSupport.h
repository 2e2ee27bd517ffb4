#pragma once
// Files, handles and registry keys as the broker tests look at them.

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/Files.h"

ULONGLONG FileSize(const std::wstring& path);
// S_OK if the file can be opened with `access` and full sharing (the handle
// is closed at once), else the open's error.
HRESULT OpenError(const std::wstring& path, DWORD access);
// Handles open in this process to objects of `type` ("File", "Process",
// "Token", ...) whose name ends with nameSuffix (any name when empty). The
// broker's handles are counted this way rather than all handles of the
// process, because the common file dialog keeps handles of its own (the
// current folder, registry keys, threads; Wine's leaves one registry key
// open for every confirmed dialog).
DWORD CountHandles(const wchar_t* type, const std::wstring& nameSuffix = std::wstring());

bool KeyExists(HKEY root, const std::wstring& path);
// "name=text" for strings ("=text" for the default value), "name=dword:N"
// for DWORDs, in name order; empty when the key is missing.
std::vector<std::wstring> KeyValues(HKEY root, const std::wstring& path);

// The browser's menu-entry keys under HKCU, and ours below them.
extern const wchar_t kExtensionsKey[];
extern const wchar_t kMenuExtKey[];
std::wstring MenuExtensionKey();
std::wstring ContextMenuKey();
// The page context menu's "Don't block on this site" entry.
std::wstring AllowSiteMenuKey();
// Its undo, "Block on this site again".
std::wstring DisallowSiteMenuKey();
