#include "storage/StoreSingleton.h"

#include <shlwapi.h>

#include "com/Error.h"
#include "storage/StorageFolder.h"

std::wstring MakeStoreFilePath(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH];
    ThrowIfFailed(GetStorageFolder(path));
    SetLastError(ERROR_SUCCESS);
    if (!PathAppendW(path, fileName)) {
        // PathAppendW does not always say why; a result too long is the one reason.
        DWORD error = GetLastError();
        ThrowHResult(HResultFromWin32(error != ERROR_SUCCESS ? error : ERROR_FILENAME_EXCED_RANGE));
    }
    return path;
}
