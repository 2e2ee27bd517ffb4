#pragma once
// The user's settings: settings.bin, whose first byte is RemoveBlockedItems
// (0 off, anything else on; written as 0 or 1; later bytes are ignored), and
// the per-process flag SessionDisabled, which no file holds and no other
// process sees. Both are read under a CStoreReader and written under a
// CStoreWriter of the settings store; the functions below take the reader or
// writer to say so.

#include <windows.h>

#include <memory>
#include <string>

#include "storage/SharedStore.h"

constexpr wchar_t kSettingsFileName[] = L"settings.bin";
constexpr wchar_t kSettingsWriteLockName[] = L"SettingsManagerWriteLock";
constexpr wchar_t kSettingsReaderCountName[] = L"SettingsManagerReaderCount";

// The process's settings store in the per-user storage folder, created on
// first use and kept until the module unloads. Throws if it cannot be created
// or initialised; the next call tries again.
CSharedStore& GetSettingsStore();

// Opens (creating if missing) a settings file and grows an empty one to its
// single zero byte under the store's writer. Throws; nothing is kept then.
std::unique_ptr<CSharedStore> OpenSettingsStore(const wchar_t* path, const std::wstring& readerCountName,
                                                const std::wstring& writeLockName);

// reader and writer must be on the settings store.
bool GetRemoveBlockedItems(const CStoreReader& reader) noexcept;
// Grows an empty file to one byte first; throws what Resize throws.
void SetRemoveBlockedItems(CStoreWriter& writer, bool remove);
bool IsSessionDisabled(const CStoreReader& reader) noexcept;
void SetSessionDisabled(CStoreWriter& writer, bool disabled) noexcept;
