#pragma once
// The user's filter list: storage.bin, FilterRule records back to back in
// list order, no header, the first at offset 0. Shared by all browser
// processes of the user through a CSharedStore. While a change is under way,
// or after a writer died in one, storage.bin.undo lies beside it
// (storage/StoreUndo.h); the format of storage.bin itself never changes.
//
// Reading: GetFilterListStore(), a CStoreReader on it, a CFilterRecordCursor
// over the reader. Writing: build the records, then GetFilterListStore(), a
// CStoreWriter, AppendRecord or ReplaceAllRecords, end the writer.

#include <windows.h>

#include <memory>
#include <string>

#include "engine/FilterRule.h"
#include "storage/FilterRecordCursor.h"
#include "storage/SharedStore.h"

constexpr wchar_t kFilterListFileName[] = L"storage.bin";
constexpr wchar_t kFilterListWriteLockName[] = L"FilterListWriteLock";
constexpr wchar_t kFilterListReaderCountName[] = L"FilterListReaderCount";

// A filter list store at `path` (arguments as CSharedStore's) with its index
// beside it: writers keep the index up to date, IsUrlAllowed reads it.
std::unique_ptr<CSharedStore> OpenFilterListStore(const wchar_t* path, SECURITY_ATTRIBUTES* securityAttributes,
                                                  DWORD creationDisposition, const std::wstring& readerCountName,
                                                  const std::wstring& writeLockName);

// The process's filter list store in the per-user storage folder, created on
// first use (a missing storage.bin is created empty) and kept until the module
// unloads. Throws if it cannot be created; the next call tries again.
CSharedStore& GetFilterListStore();

// Appends one record at the end of the list. writer must be on the filter
// list store. Duplicates are stored again. A damaged tail (a foreign or
// damaged file) is cut off first: it would hide every record appended after
// it. The change happens whole or not at all, even if the process dies in
// the middle (CStoreWriter::BeginChange). Throws what the writer throws, or
// HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE) when the list would reach 2 GiB;
// the list is then as it was.
void AppendRecord(CStoreWriter& writer, const FilterRule& record);

// Appends the records [first, last) in that order, as AppendRecord does one.
void AppendRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last);

// Makes the list exactly the records [first, last) in that order (empty for an
// empty range), whole or not at all, as AppendRecord appends. The previous
// list is saved beside the store for the change's duration. Same failures as
// AppendRecord.
void ReplaceAllRecords(CStoreWriter& writer, const FilterRule* const* first, const FilterRule* const* last);
