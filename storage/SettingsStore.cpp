#include "storage/SettingsStore.h"

#include <cstring>

#include "com/Error.h"
#include "storage/NamedObjects.h"
#include "storage/StoreSingleton.h"

namespace {

CStoreSingleton g_settingsStore;
// Written only under the settings writer, read only under a settings reader:
// the store's lock orders every access.
bool g_sessionDisabled = false;

}  // namespace

std::unique_ptr<CSharedStore> OpenSettingsStore(const wchar_t* path, const std::wstring& readerCountName,
                                                const std::wstring& writeLockName)
{
    auto store = std::make_unique<CSharedStore>(path, GetSharedSecurityAttributes(), OPEN_ALWAYS, readerCountName,
                                                writeLockName);
    // A new file, or one left empty by a process that died right after
    // creating it, reads as the option off. It is given its byte now if the
    // lock comes soon (this runs on browser threads); otherwise the next
    // change of the option does it.
    try {
        CStoreWriter writer(*store, kShortWaitMs);
        if (writer.GetViewSize() == 0)
            writer.Resize(1);
    } catch (const CHResultException& e) {
        if (e.GetHResult() != kLockTimedOut)
            throw;
    }
    return store;
}

CSharedStore& GetSettingsStore()
{
    return g_settingsStore.Get([] {
        std::wstring readerCountName = MakeSharedObjectName(kSettingsReaderCountName);
        std::wstring writeLockName = MakeSharedObjectName(kSettingsWriteLockName);
        std::wstring path = MakeStoreFilePath(kSettingsFileName);
        return OpenSettingsStore(path.c_str(), readerCountName, writeLockName);
    });
}

bool GetRemoveBlockedItems(const CStoreReader& reader) noexcept
{
    return reader.GetViewSize() != 0 && reader.GetView()[0] != 0;
}

void SetRemoveBlockedItems(CStoreWriter& writer, bool remove)
{
    if (writer.GetViewSize() == 0)
        writer.Resize(1);
    writer.GetView()[0] = remove ? 1 : 0;
}

bool GetFilterHttps(const CStoreReader& reader) noexcept
{
    constexpr std::size_t kEnd = kFilterHttpsOffset + sizeof kFilterHttpsTag + 1;
    if (reader.GetViewSize() < kEnd)
        return true;
    const unsigned char* option = reader.GetView() + kFilterHttpsOffset;
    return std::memcmp(option, kFilterHttpsTag, sizeof kFilterHttpsTag) != 0 || option[sizeof kFilterHttpsTag] != 0;
}

void SetFilterHttps(CStoreWriter& writer, bool filter)
{
    constexpr std::size_t kEnd = kFilterHttpsOffset + sizeof kFilterHttpsTag + 1;
    if (writer.GetViewSize() < kEnd)
        writer.Resize(static_cast<LONG>(kEnd));
    unsigned char* option = writer.GetView() + kFilterHttpsOffset;
    std::memcpy(option, kFilterHttpsTag, sizeof kFilterHttpsTag);
    option[sizeof kFilterHttpsTag] = filter ? 1 : 0;
}

bool IsSessionDisabled(const CStoreReader&) noexcept
{
    return g_sessionDisabled;
}

void SetSessionDisabled(CStoreWriter&, bool disabled) noexcept
{
    g_sessionDisabled = disabled;
}
