#include <gtest/gtest.h>

#include "storage/SettingsStore.h"
#include "storage/StorageFolder.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

std::unique_ptr<CSharedStore> OpenScratchSettings(const CScratchStore& files)
{
    return OpenSettingsStore(files.Path().c_str(), files.ReaderCountName(), files.WriteLockName());
}

bool ReadRemoveBlockedItems(CSharedStore& store)
{
    CStoreReader reader(store);
    return GetRemoveBlockedItems(reader);
}

}  // namespace

TEST(SettingsStore, ANewOrEmptyFileBecomesOneZeroByte)
{
    CScratchStore files(L"settings.bin");
    EXPECT_FALSE(ReadRemoveBlockedItems(*OpenScratchSettings(files)));
    EXPECT_EQ(ReadFileBytes(files.Path()), std::string(1, '\0'));

    // Left empty by a first use that died half-way.
    WriteFileBytes(files.Path(), "");
    auto store = OpenScratchSettings(files);
    EXPECT_EQ(ReadFileBytes(files.Path()), std::string(1, '\0'));
}

TEST(SettingsStore, AnyNonZeroByteIsOnAndIsWrittenBackAsZeroOrOne)
{
    CScratchStore files(L"settings.bin");
    WriteFileBytes(files.Path(), "\x07tail");
    auto store = OpenScratchSettings(files);
    EXPECT_TRUE(ReadRemoveBlockedItems(*store));
    {
        CStoreWriter writer(*store);
        SetRemoveBlockedItems(writer, false);
    }
    EXPECT_FALSE(ReadRemoveBlockedItems(*store));
    {
        CStoreWriter writer(*store);
        SetRemoveBlockedItems(writer, true);
    }
    // The bytes after the first are left alone.
    EXPECT_EQ(ReadFileBytes(files.Path()), "\x01tail");
}

TEST(SettingsStore, FilterHttpsIsOnInEveryEarlierFileAndOffOnlyWhenSetSo)
{
    auto filterHttps = [](CSharedStore& store) {
        CStoreReader reader(store);
        return GetFilterHttps(reader);
    };
    auto set = [](CSharedStore& store, bool on) {
        CStoreWriter writer(store);
        SetFilterHttps(writer, on);
    };
    CScratchStore files(L"settings.bin");
    // One byte, short or longer tails, zeros, and the tag with another value.
    for (std::string earlier : {std::string(1, '\0'), std::string("\x01QHS"), std::string(8, '\0'),
                                std::string("\x01QHS\x02"), std::string("\x00QH\x00\x00", 5)}) {
        WriteFileBytes(files.Path(), earlier);
        EXPECT_TRUE(filterHttps(*OpenScratchSettings(files))) << testing::PrintToString(earlier);
    }

    WriteFileBytes(files.Path(), "\x01");
    auto store = OpenScratchSettings(files);
    set(*store, false);
    EXPECT_FALSE(filterHttps(*store));
    EXPECT_TRUE(ReadRemoveBlockedItems(*store)) << "the first byte keeps its meaning";
    EXPECT_EQ(ReadFileBytes(files.Path()), std::string("\x01QHS\x00", 5));
    set(*store, true);
    EXPECT_TRUE(filterHttps(*store));
    {
        CStoreWriter writer(*store);
        SetRemoveBlockedItems(writer, false);
    }
    EXPECT_EQ(ReadFileBytes(files.Path()), std::string("\x00QHS\x01", 5));
}

TEST(SettingsStore, ProcessStoreIsSettingsBinInTheStorageFolder)
{
    CSharedStore& store = GetSettingsStore();
    EXPECT_EQ(&store, &GetSettingsStore());
    EXPECT_GE(store.GetSize(), 1u);
    wchar_t folder[MAX_PATH];
    ASSERT_EQ(GetStorageFolder(folder), S_OK);
    EXPECT_GE(ReadFileBytes(std::wstring(folder) + L"\\settings.bin").size(), 1u);
}

// args: store files. Exit code: 16, plus 1 for SessionDisabled and 2 for
// RemoveBlockedItems (never a bare 1, which RunRole takes for a failed start).
QUELLAN_TEST_ROLE(ReadSettings)
{
    CScratchStore files(args);
    auto store = OpenScratchSettings(files);
    CStoreReader reader(*store);
    return 16 | (IsSessionDisabled(reader) ? 1 : 0) | (GetRemoveBlockedItems(reader) ? 2 : 0);
}

TEST(SettingsStore, SessionDisabledStaysInItsProcessWhileTheStoredOptionIsShared)
{
    CScratchStore files(L"settings.bin");
    auto store = OpenScratchSettings(files);
    {
        CStoreWriter writer(*store);
        SetRemoveBlockedItems(writer, true);
        SetSessionDisabled(writer, true);
    }
    {
        CStoreReader reader(*store);
        EXPECT_TRUE(IsSessionDisabled(reader));
    }
    EXPECT_EQ(RunRole(L"ReadSettings", files.ToArgs()).exitCode, 16u | 2u);

    CStoreWriter writer(*store);
    SetSessionDisabled(writer, false);
}
