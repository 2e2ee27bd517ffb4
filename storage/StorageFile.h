#pragma once
// Opening, creating and deleting the files of the storage folder. Any
// process of the user, at any integrity level, can put something under a
// store file's name: a hard link to a document of the user, a symbolic link,
// a junction, a directory. Such a name is never read as a store and never
// written through: every file here is opened without following reparse
// points and checked on its handle (a regular file with exactly one name,
// whose folder is a real folder, not a reparse point), and deletions act on
// the handle that was checked.
//
// Under Wine, hard links and directories are seen as on Windows; a symbolic
// link made from outside (a Unix one) is followed by Wine itself and looks
// like a regular file, so that part rests on the documented behaviour of
// FILE_FLAG_OPEN_REPARSE_POINT and FILE_ATTRIBUTE_REPARSE_POINT.

#include <windows.h>

#include <string>

#include "com/Handle.h"

// The failure for a name that is not a file of the store's own.
constexpr HRESULT kForeignStorageFile = static_cast<HRESULT>(0x80070780);  // HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE)

// Opens path (in the storage folder) with these CreateFileW arguments; a
// disposition that truncates empties the file only once it passed the check
// (which needs GENERIC_WRITE in access). Returns an
// invalid handle with the last error set on failure, ERROR_CANT_ACCESS_FILE
// for a name that is not a regular file of its own; nothing stays open then.
CFileHandle TryOpenStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                               SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL) noexcept;

// The folder of path, opened without following a reparse point and checked
// to be a real folder. It is not shared for deletion: while the handle stays
// open, nobody can rename the folder or put a junction in its place, so the
// files of a folder held so need no check of the folder each (a trip to the
// system each time, a round trip to the server under Wine). Returns an
// invalid handle with the last error set on failure, ERROR_CANT_ACCESS_FILE
// for a name that is not a real folder.
CFileHandle TryOpenStorageFolder(const std::wstring& path) noexcept;

// As TryOpenStorageFile, for a file of `folder`, the handle that
// TryOpenStorageFolder(path) gave and the caller keeps open meanwhile.
CFileHandle TryOpenStorageFileIn(const CFileHandle& folder, const std::wstring& path, DWORD access, DWORD shareMode,
                                 SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                 DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL) noexcept;

// The same; throws the converted last error instead.
CHandle OpenStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                        SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                        DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL);

// A new, empty file at path, opened with access (DELETE is added, so that
// the file can be removed through its handle) and shareMode. Whatever had the
// name (an old file of ours, a link, an empty directory) is removed first,
// through a handle that never followed it: a link loses only this name, and
// what it pointed at stays untouched. Throws the converted last error (for
// instance when something takes the name again in between).
CHandle CreateFreshStorageFile(const std::wstring& path, DWORD access, DWORD shareMode,
                               SECURITY_ATTRIBUTES* securityAttributes);

// Removes the name of the file open as `file` (which must have DELETE
// access), whatever name it has by now. Throws the NT status.
void DeleteByHandle(HANDLE file);

// Removes the name path (a file, a link, an empty directory) through a handle
// that did not follow it; false when nothing was removed.
bool TryDeleteStorageFile(const std::wstring& path) noexcept;
