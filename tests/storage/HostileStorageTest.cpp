// Every process of the user, Protected Mode tabs included, can write the
// storage folder and open the named objects. What such a process plants
// there never reaches a document of the user, never grows the list, and
// never keeps a browser thread waiting for long.

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstdint>

#include "com/Error.h"
#include "storage/FilterIndexStore.h"
#include "storage/FilterListStore.h"
#include "storage/NamedObjects.h"
#include "storage/SettingsStore.h"
#include "storage/StorageFile.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

const std::string kDocument = "a document of the user";

HRESULT FailureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
    return S_OK;
}

void AppendThroughWriter(CSharedStore& store, const wchar_t* body)
{
    CStoreWriter writer(store);
    AppendRecord(writer, *MakeRecord(body));
}

// Six zero bytes more: an empty record in a list, plain bytes elsewhere.
void GrowThroughWriter(CSharedStore& store)
{
    CStoreWriter writer(store);
    writer.Resize(static_cast<LONG>(writer.GetViewSize() + 6));
}

std::string ReadThroughReader(CSharedStore& store)
{
    CStoreReader reader(store);
    return std::string(reinterpret_cast<const char*>(reader.GetView()), reader.GetViewSize());
}

}  // namespace

TEST(HostileStorage, LinksPlantedInTheFolderNeverReachADocumentOfTheUser)
{
    CScratchStore elsewhere(L"document.txt");
    WriteFileBytes(elsewhere.Path(), kDocument);
    CScratchStore files(L"storage.bin");
    auto store = files.OpenFilterList();
    CFilterIndexStore& index = *CFilterIndexStore::Of(*store);
    // As the undo file of the next change, and as the name of the next index
    // image: each change would have written through them.
    ASSERT_TRUE(CreateHardLinkW(store->GetUndoPath().c_str(), elsewhere.Path().c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(index.GetImagePath(1).c_str(), elsewhere.Path().c_str(), nullptr));
    AppendThroughWriter(*store, L"*ad*");
    EXPECT_EQ(ReadFileBytes(elsewhere.Path()), kDocument);
    EXPECT_EQ(index.GetPublishedGeneration(), 1u);
    {
        CFilterIndexStore::CUse use(index);
        EXPECT_NE(use.Get(), nullptr) << "the image written in the link's place was not used";
    }

    // A store file that is itself a link is not opened at all.
    CScratchStore linked(L"storage.bin");
    ASSERT_TRUE(CreateHardLinkW(linked.Path().c_str(), elsewhere.Path().c_str(), nullptr));
    EXPECT_EQ(FailureOf([&] { linked.OpenFilterList(); }), kForeignStorageFile);
    EXPECT_EQ(ReadFileBytes(elsewhere.Path()), kDocument);
    EXPECT_EQ(FailureOf([&] { OpenStorageFile(elsewhere.Path(), GENERIC_READ, 0, nullptr, TRUNCATE_EXISTING); }),
              kForeignStorageFile);
    EXPECT_EQ(ReadFileBytes(elsewhere.Path()), kDocument);
}

// The folder is checked once, when the store opens: from then on nobody can
// move it away and put another folder or a junction under its name.
TEST(HostileStorage, AnOpenStoresFolderCannotBeMovedAway)
{
    CScratchStore files(L"storage.bin");
    const std::wstring folder = files.Path().substr(0, files.Path().find_last_of(L'\\'));
    const std::wstring moved = folder + L".moved";
    {
        auto store = files.OpenFilterList();
        EXPECT_FALSE(MoveFileW(folder.c_str(), moved.c_str()));
        AppendThroughWriter(*store, L"*ad*");
        EXPECT_EQ(CFilterIndexStore::Of(*store)->GetPublishedGeneration(), 1u);
    }
    // Closed, it moves as any folder does.
    ASSERT_TRUE(MoveFileW(folder.c_str(), moved.c_str()));
    EXPECT_TRUE(MoveFileW(moved.c_str(), folder.c_str()));
}

TEST(HostileStorage, APlantedUndoFileThatWouldGrowTheListIsNotReplayed)
{
    CScratchStore files(L"storage.bin");
    std::string list;
    for (int n = 0; list.size() < 288; ++n)
        list.append(1, static_cast<char>('a' + n % 26));
    WriteFileBytes(files.Path(), list);
    auto store = files.Open();
    // 24 bytes with a right checksum: a length of 2 GiB - 1 and nothing saved.
    std::string undo = "QLUNDO01";
    for (int field = 0; field < 2; ++field)
        undo += std::string("\xFF\xFF\xFF\x7F", 4);
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : undo)
        hash = (hash ^ c) * 0x100000001B3ull;
    for (int i = 0; i < 8; ++i)
        undo += static_cast<char>(hash >> (8 * i));

    WriteFileBytes(store->GetUndoPath(), undo);
    EXPECT_EQ(ReadThroughReader(*store), list);
    WriteFileBytes(store->GetUndoPath(), undo);
    { CStoreWriter writer(*store); }
    EXPECT_EQ(ReadFileBytes(files.Path()), list);
    EXPECT_EQ(GetFileAttributesW(store->GetUndoPath().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(HostileStorage, ANamedObjectMadeByAnotherOwnerIsRefused)
{
    // Owned by the Administrators group, as an object made by another
    // account (or an elevated process without our descriptor) is.
    CLocalMemory descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAD:(A;;GA;;;WD)", SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put()), nullptr));
    SECURITY_ATTRIBUTES foreignAttributes{sizeof foreignAttributes, descriptor.Get(), FALSE};
    const std::wstring name = MakeSharedObjectName(MakeUniqueName(L"Foreign").c_str());
    CHandle foreign(CreateMutexW(&foreignAttributes, FALSE, name.c_str()));
    ASSERT_TRUE(foreign) << GetLastError();
    EXPECT_EQ(FailureOf([&] { CNamedMutex(GetSharedSecurityAttributes(), name); }), E_ACCESSDENIED);

    const std::wstring ownName = MakeSharedObjectName(MakeUniqueName(L"Own").c_str());
    CNamedMutex own(GetSharedSecurityAttributes(), ownName);
    EXPECT_EQ(FailureOf([&] { CNamedMutex(GetSharedSecurityAttributes(), ownName); }), S_OK);
}

// --- A lock held by another process ----------------------------------------

// args: a mutex name, "hold" (own it) or "open" (only keep a handle), then
// the events "ready" and "release".
QUELLAN_TEST_ROLE(HoldMutex)
{
    CHandle mutex(CreateMutexW(GetSharedSecurityAttributes(), FALSE, args.at(0).c_str()));
    if (!mutex || (args.at(1) == L"hold" && WaitForSingleObject(mutex.Get(), 0) != WAIT_OBJECT_0))
        return 2;
    SetEvent(OpenTestEvent(args.at(2)).Get());
    return WaitSignalled(OpenTestEvent(args.at(3)).Get(), 60000) ? 0 : 3;
}

enum class HeldLock
{
    ListWriteLock,
    SettingsWriteLock,
    ReaderCount,
};

class HeldByAnotherProcess : public testing::TestWithParam<HeldLock>
{
};

TEST_P(HeldByAnotherProcess, ReadersAnswerWithinTheBoundWritersFailCleanlyAndAllWorksOnceReleased)
{
    constexpr DWORD kWriterTestWaitMs = 600;
    const HeldLock held = GetParam();
    CScratchStore files(held == HeldLock::SettingsWriteLock ? L"settings.bin" : L"storage.bin");
    std::unique_ptr<CSharedStore> store = held == HeldLock::SettingsWriteLock
                                              ? OpenSettingsStore(files.Path().c_str(), files.ReaderCountName(),
                                                                  files.WriteLockName())
                                              : files.OpenFilterList();
    GrowThroughWriter(*store);
    const std::string before = ReadThroughReader(*store);
    CFilterIndexStore* index = CFilterIndexStore::Of(*store);
    if (index) {
        CFilterIndexStore::CUse use(*index);
        ASSERT_NE(use.Get(), nullptr);
    }

    const std::wstring readyName = MakeUniqueName(L"Ready"), releaseName = MakeUniqueName(L"Release");
    CHandle ready = CreateTestEvent(readyName), release = CreateTestEvent(releaseName);
    CHandle child = StartRole(
        L"HoldMutex", {held == HeldLock::ReaderCount ? files.ReaderCountName() : files.WriteLockName(),
                       held == HeldLock::ReaderCount ? L"open" : L"hold", readyName, releaseName});
    ASSERT_TRUE(WaitSignalled(ready.Get(), 10000));

    if (held == HeldLock::ReaderCount) {
        EXPECT_EQ(ReadThroughReader(*store), before);
    } else {
        DWORD start = GetTickCount();
        EXPECT_EQ(FailureOf([&] { ReadThroughReader(*store); }), kLockTimedOut);
        const DWORD first = GetTickCount() - start;
        EXPECT_GE(first + 20, kShortWaitMs);
        EXPECT_LT(first, kShortWaitMs + 2000);
        // A lock seen stuck is only tried until it is free again.
        start = GetTickCount();
        EXPECT_EQ(FailureOf([&] { ReadThroughReader(*store); }), kLockTimedOut);
        EXPECT_LT(GetTickCount() - start, kShortWaitMs);
    }
    if (index) {
        // The index this process has needs no lock: verdicts go on as before.
        CFilterIndexStore::CUse use(*index);
        EXPECT_NE(use.Get(), nullptr);
        // Nor does a process that starts now, while the files are as their
        // writer left them.
        const DWORD start = GetTickCount();
        auto fresh = files.OpenFilterList();
        CFilterIndexStore::CUse freshUse(*CFilterIndexStore::Of(*fresh));
        EXPECT_NE(freshUse.Get(), nullptr);
        EXPECT_LT(GetTickCount() - start, kShortWaitMs);
    }
    const DWORD start = GetTickCount();
    EXPECT_EQ(FailureOf([&] {
                  CStoreWriter writer(*store, kWriterTestWaitMs);
                  writer.Resize(0);
              }),
              kLockTimedOut);
    EXPECT_LT(GetTickCount() - start, kWriterTestWaitMs + 2000);
    EXPECT_EQ(ReadFileBytes(files.Path()), before);

    SetEvent(release.Get());
    EXPECT_EQ(WaitForProcess(child), 0u);
    EXPECT_EQ(ReadThroughReader(*store), before);
    GrowThroughWriter(*store);
    EXPECT_EQ(ReadThroughReader(*store).size(), before.size() + 6);
}

std::string LockName(const testing::TestParamInfo<HeldLock>& info)
{
    static const char* const kNames[] = {"ListWriteLock", "SettingsWriteLock", "ReaderCount"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Locks, HeldByAnotherProcess,
                         testing::Values(HeldLock::ListWriteLock, HeldLock::SettingsWriteLock, HeldLock::ReaderCount),
                         LockName);
