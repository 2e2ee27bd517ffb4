#include "storage/SettingsStore.h"

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
    // creating it, reads as the option off.
    {
        CStoreWriter writer(*store);
        if (writer.GetViewSize() == 0)
            writer.Resize(1);
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

bool IsSessionDisabled(const CStoreReader&) noexcept
{
    return g_sessionDisabled;
}

void SetSessionDisabled(CStoreWriter&, bool disabled) noexcept
{
    g_sessionDisabled = disabled;
}
