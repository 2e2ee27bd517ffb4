#pragma once
// The user's settings: settings.bin, whose first byte is RemoveBlockedItems
// (0 off, anything else on; written as 0 or 1), followed by the FilterHttps
// option (below; later bytes are ignored), and
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
// FilterHttps: whether the request filter judges secure (https) requests too.
// Files written before the option existed hold one byte, or bytes no version
// ever gave a meaning; all of them must read as on. So the option takes bytes
// 1 to 4, and only the tag "QHS" followed by the value 0 reads as off: any
// other content, or a file shorter than 5 bytes, reads as on. Written as the
// tag and 0 or 1, growing the file to 5 bytes first.
constexpr unsigned kFilterHttpsOffset = 1;
constexpr unsigned char kFilterHttpsTag[3] = {'Q', 'H', 'S'};
bool GetFilterHttps(const CStoreReader& reader) noexcept;
void SetFilterHttps(CStoreWriter& writer, bool filter);
bool IsSessionDisabled(const CStoreReader& reader) noexcept;
void SetSessionDisabled(CStoreWriter& writer, bool disabled) noexcept;
