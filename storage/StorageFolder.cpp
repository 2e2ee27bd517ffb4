#include "storage/StorageFolder.h"

#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Platform.h"

namespace {

// FOLDERID_LocalAppDataLow, spelled out so that nothing links a GUID library.
constexpr GUID kFolderIdLocalAppDataLow = {
    0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};

using SHGetKnownFolderPathFunction = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
using SHGetFolderPathWFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

HRESULT GetLocalAppDataFolder(wchar_t* buffer) noexcept
{
    // shell32 is looked up at run time: SHGetKnownFolderPath does not exist
    // on XP, and the library must load there.
    CLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32)
        return HResultFromLastError();
    if (!IsVistaOrLater()) {
        auto getFolderPath = GetExport<SHGetFolderPathWFunction>(shell32.Get(), "SHGetFolderPathW");
        if (!getFolderPath)
            return HResultFromLastError();
        return getFolderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
    }
    auto getKnownFolderPath = GetExport<SHGetKnownFolderPathFunction>(shell32.Get(), "SHGetKnownFolderPath");
    if (!getKnownFolderPath)
        return HResultFromLastError();
    PWSTR path = nullptr;
    HRESULT hr = getKnownFolderPath(kFolderIdLocalAppDataLow, 0, nullptr, &path);
    if (SUCCEEDED(hr)) {
        std::size_t length = std::wcslen(path);
        std::size_t copied = length < MAX_PATH ? length : MAX_PATH - 1;
        std::wmemcpy(buffer, path, copied);
        buffer[copied] = L'\0';
        if (copied != length)
            hr = HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);  // STRSAFE_E_INSUFFICIENT_BUFFER
    }
    CoTaskMemFree(path);
    return hr;
}

}  // namespace

HRESULT GetStorageFolder(wchar_t* buffer) noexcept
{
    HRESULT hr = GetLocalAppDataFolder(buffer);
    if (FAILED(hr))
        return hr;
    SetLastError(ERROR_SUCCESS);
    if (!PathAppendW(buffer, L"Quellan")) {
        // PathAppendW does not always say why; a result too long is the one reason.
        DWORD error = GetLastError();
        return HResultFromWin32(error != ERROR_SUCCESS ? error : ERROR_FILENAME_EXCED_RANGE);
    }
    if (GetFileAttributesW(buffer) != INVALID_FILE_ATTRIBUTES)
        return S_OK;
    // The folder takes the security of its parent, which lets low-integrity
    // processes create files in it on Vista and later.
    if (!CreateDirectoryW(buffer, nullptr))
        return HResultFromLastError();
    return S_OK;
}
