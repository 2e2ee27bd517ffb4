#pragma once
// The undo file that makes a change of a shared store crash-safe without
// changing the store's own format or what its readers do.
//
// Before a writer changes a store in place it saves, in a file beside it,
// the store's length and every byte from the first one it will change to the
// end, and flushes that file to disk. Once the change is written and flushed,
// the writer empties the undo file: that is the moment the change counts. A
// writer that dies (or fails) in between leaves a whole undo file behind, and
// whoever takes the store's write lock next puts the saved bytes back, so
// the store is found exactly as it was before the change or exactly as it
// was meant to be after it, never in between.
//
// Layout, little-endian: the 8 bytes "QLUNDO01", the store's length (32
// bits), the offset of the first saved byte (32 bits), the saved bytes (from
// that offset to the length), and an FNV-1a 64-bit checksum of everything
// before it. A file that is shorter, longer, or whose checksum or fields do
// not agree was not finished by its writer, which therefore had not touched
// the store yet (or had already finished): it is ignored and removed. So is
// one that does not fit the store it claims to repair: a store shorter than
// the first saved byte cannot be the one whose earlier bytes the change kept,
// so the store never grows past its length but by saved bytes. A name that is
// not a regular file of its own (storage/StorageFile.h) is never read or
// written, only removed.
//
// All of it runs with the store's write mutex held and no view of the store
// mapped anywhere; nothing here locks.

#include <windows.h>

#include <string>

#include "com/Handle.h"

// The undo file of one change, open for the change's duration.
class CStoreUndo
{
public:
    // Creates (replacing) the undo file at path with the store's length and
    // content[firstChanged, size), and flushes it to disk. Throws the
    // converted last error (or E_INVALIDARG when firstChanged > size); the
    // file is then not a valid undo file.
    CStoreUndo(const std::wstring& path, SECURITY_ATTRIBUTES* securityAttributes, const BYTE* content, DWORD size,
               DWORD firstChanged);
    CStoreUndo(const CStoreUndo&) = delete;
    CStoreUndo& operator=(const CStoreUndo&) = delete;

    // The change is whole and on disk: empties the undo file so that nobody
    // undoes it, and removes it. Throws the converted last error when the file
    // cannot be emptied; it then still undoes the change.
    void Discard();
    // Closes the file and leaves it as it is (for RestoreFromUndoFile).
    void Close() noexcept { m_file.Reset(); }

private:
    std::wstring m_path;
    CFileHandle m_file;
};

// If a whole undo file lies at path: gives storeFile the saved length and
// bytes back, flushes it, and only then empties the undo file. Any undo file
// found is removed (a torn one undoes nothing). Returns true when the store
// was restored, false when there was nothing to undo. Throws the converted
// last error; a whole undo file then stays for the next attempt.
bool RestoreFromUndoFile(const std::wstring& path, HANDLE storeFile);
