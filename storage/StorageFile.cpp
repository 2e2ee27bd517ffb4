#include "storage/StorageFile.h"

#include "com/Error.h"
#include "com/Export.h"

namespace {

// FILE_DISPOSITION_INFORMATION, and NtSetInformationFile's class for it.
// The native call exists on every supported system (XP lacks
// SetFileInformationByHandle); looked up at run time like every other ntdll
// entry point of this library.
struct CDisposition
{
    BOOLEAN deleteFile;
};
constexpr int kFileDispositionInformation = 13;
struct CIoStatus
{
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};
using NtSetInformationFileFunction = LONG(NTAPI*)(HANDLE, CIoStatus*, void*, ULONG, int);
using NtQueryInformationFileFunction = LONG(NTAPI*)(HANDLE, CIoStatus*, void*, ULONG, int);

const NtSetInformationFileFunction g_ntSetInformationFile =
    GetExport<NtSetInformationFileFunction>(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile");
const NtQueryInformationFileFunction g_ntQueryInformationFile =
    GetExport<NtQueryInformationFileFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile");

// FILE_STANDARD_INFORMATION and FILE_ATTRIBUTE_TAG_INFORMATION, and their
// classes (both since Windows 2000).
struct CStandardInformation
{
    LARGE_INTEGER allocationSize;
    LARGE_INTEGER endOfFile;
    ULONG numberOfLinks;
    BOOLEAN deletePending;
    BOOLEAN directory;
};
constexpr int kFileStandardInformation = 5;
struct CAttributeTagInformation
{
    ULONG fileAttributes;
    ULONG reparseTag;
};
constexpr int kFileAttributeTagInformation = 35;

// What the checks below need of an open file: its attributes and its
// number of links. Asked of the file itself: GetFileInformationByHandle
// also asks for the volume's serial number, which costs milliseconds in a
// new process under some systems (Wine) and is not needed here.
bool TryQueryFile(HANDLE file, DWORD& attributes, DWORD& links) noexcept
{
    if (!g_ntQueryInformationFile) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(file, &information))
            return false;
        attributes = information.dwFileAttributes;
        links = information.nNumberOfLinks;
        return true;
    }
    CIoStatus status{};
    CAttributeTagInformation tag{};
    CStandardInformation standard{};
    if (g_ntQueryInformationFile(file, &status, &tag, sizeof tag, kFileAttributeTagInformation) < 0 ||
        g_ntQueryInformationFile(file, &status, &standard, sizeof standard, kFileStandardInformation) < 0)
        return false;
    attributes = tag.fileAttributes | (standard.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    links = standard.numberOfLinks;
    return true;
}

// The folder part of path, with its separator.
std::wstring FolderOf(const std::wstring& path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash + 1);
}

bool IsOwnRegularFile(HANDLE file) noexcept
{
    DWORD attributes = 0, links = 0;
    if (GetFileType(file) != FILE_TYPE_DISK || !TryQueryFile(file, attributes, links))
        return false;
    return (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 && links == 1;
}

}  // namespace

CFileHandle TryOpenStorageFolder(const std::wstring& path) noexcept
{
    CFileHandle folder(CreateFileW(FolderOf(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder)
        return folder;
    DWORD attributes = 0, links = 0;
    if (!TryQueryFile(folder.Get(), attributes, links) ||
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != FILE_ATTRIBUTE_DIRECTORY) {
        folder.Reset();
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return folder;
}

CFileHandle TryOpenStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                               SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes) noexcept
{
    // The folder is held while the file opens.
    const CFileHandle folder = TryOpenStorageFolder(path);
    if (!folder)
        return CFileHandle();
    return TryOpenStorageFileIn(folder, path, access, shareMode, securityAttributes, creationDisposition,
                                flagsAndAttributes);
}

CFileHandle TryOpenStorageFileIn(const CFileHandle& folder, const std::wstring& path, DWORD access, DWORD shareMode,
                                 SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                 DWORD flagsAndAttributes) noexcept
{
    if (!folder) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return CFileHandle();
    }
    // A disposition that truncates would write through a link before it
    // could be checked: the file is opened as it is, checked, then emptied.
    const bool truncate = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    if (creationDisposition == CREATE_ALWAYS)
        creationDisposition = OPEN_ALWAYS;
    else if (creationDisposition == TRUNCATE_EXISTING)
        creationDisposition = OPEN_EXISTING;
    CFileHandle file(CreateFileW(path.c_str(), access, shareMode, securityAttributes, creationDisposition,
                                 flagsAndAttributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file && !IsOwnRegularFile(file.Get())) {
        file.Reset();
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    if (file && truncate && !SetEndOfFile(file.Get()))
        file.Reset();
    return file;
}

CHandle OpenStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                        SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes)
{
    CFileHandle file =
        TryOpenStorageFile(path, access, shareMode, securityAttributes, creationDisposition, flagsAndAttributes);
    ThrowLastErrorIf(!file);
    return CHandle(file.Detach());
}

CHandle CreateFreshStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                               SECURITY_ATTRIBUTES* securityAttributes)
{
    TryDeleteStorageFile(path);
    return OpenStorageFile(path, access | DELETE, shareMode, securityAttributes, CREATE_NEW);
}

void DeleteByHandle(HANDLE file)
{
    if (!g_ntSetInformationFile)
        ThrowHResult(E_NOTIMPL);
    CIoStatus status{};
    CDisposition disposition{TRUE};
    ThrowIfFailed(HResultFromNt(
        g_ntSetInformationFile(file, &status, &disposition, sizeof disposition, kFileDispositionInformation)));
}

bool TryDeleteStorageFile(const std::wstring& path) noexcept
{
    // A file here is shared for deletion by everyone who has it open; one
    // still mapped by a process cannot go yet.
    CFileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    return SUCCEEDED(CallAtBoundary([&] { DeleteByHandle(file.Get()); }));
}
