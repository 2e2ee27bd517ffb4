#pragma once
// Files published per generation beside a store, shared by the stores that
// keep derived or immutable data that way (the filter list's index, the
// Adblock lists): a small control block that every process maps once and
// reads the published generation from, and immutable files named
// "<stem>.XXXXXXXX<extension>" (the generation in hexadecimal), written
// whole under fresh names before their generation is published, and deleted
// by later writers once no process maps them any more (a mapped file cannot
// be deleted). Every file goes through storage/StorageFile.h.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "com/Handle.h"

// "<stem>.XXXXXXXX<extension>".
std::wstring GenerationFilePath(const std::wstring& stem, DWORD generation, const wchar_t* extension);

// The generation after `generation`, never 0.
DWORD NextGeneration(DWORD generation) noexcept;

// Writes the bytes `bytesFor(generation)` gives into a new file for the
// first generation after `after` whose name can be taken (a name some
// process still maps cannot: a later one is tried, a few times), flushed to
// the disk when `flush`. Never writes through whatever had the name. Returns
// the generation; throws the converted last error.
DWORD WriteGenerationFile(const std::wstring& stem, const wchar_t* extension, DWORD after,
                          SECURITY_ATTRIBUTES* securityAttributes, bool flush,
                          const std::function<const std::vector<BYTE>&(DWORD generation)>& bytesFor);

// Deletes every "<stem>.XXXXXXXX<extension>" whose generation `keep` does
// not keep; a file some process still maps stays for a later writer.
void DeleteStaleGenerationFiles(const std::wstring& stem, const wchar_t* extension,
                                const std::function<bool(DWORD generation)>& keep);

// The control block at `path` (`size` bytes, zeros when new), mapped for a
// writer. Throws the converted last error.
CMappedView MapControlBlockForWriting(const std::wstring& path, DWORD size, SECURITY_ATTRIBUTES* securityAttributes);

// The same, read-only, for a reader: created (as zeros) when missing, and
// mapped as it is by a process that may not write it. Null on failure.
CMappedView TryMapControlBlockForReading(const std::wstring& path, DWORD size,
                                         SECURITY_ATTRIBUTES* securityAttributes) noexcept;

// A view of a file with the handles it was mapped through, for readers that
// map on a browser thread: closing a handle is a trip to the system (a round
// trip to the server under Wine), so they close when the view goes instead.
struct CMappedFile
{
    CFileHandle file;
    CHandle mapping;
    CMappedView view;  // last: unmapped first
};

// As above, the file opened through `folder` (TryOpenStorageFolder of
// path, kept open by the caller meanwhile). A null view on failure.
CMappedFile TryMapControlBlockForReading(const CFileHandle& folder, const std::wstring& path, DWORD size,
                                         SECURITY_ATTRIBUTES* securityAttributes) noexcept;
