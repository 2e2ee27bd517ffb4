#include <gtest/gtest.h>

#include <cstring>

#include "com/Error.h"
#include "storage/NamedObjects.h"
#include "storage/SharedStore.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

// How long a test waits to be fairly sure that something blocks, and how long
// it allows for something that should happen at once.
constexpr DWORD kBlockedMs = 400;
constexpr DWORD kPromptMs = 10000;

std::string ViewBytes(const BYTE* view, DWORD size)
{
    return view ? std::string(reinterpret_cast<const char*>(view), size) : std::string();
}

void Store(CSharedStore& store, const std::string& bytes)
{
    CStoreWriter writer(store);
    writer.Resize(static_cast<LONG>(bytes.size()));
    if (!bytes.empty())
        std::memcpy(writer.GetView(), bytes.data(), bytes.size());
}

// True when another thread could take the mutex at once (nobody holds it).
bool IsMutexFree(HANDLE mutex)
{
    bool free = false;
    CTestThread probe([&] {
        DWORD result = WaitForSingleObject(mutex, 0);
        free = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (free)
            ReleaseMutex(mutex);
    });
    EXPECT_TRUE(probe.Join(kPromptMs));
    return free;
}

}  // namespace

TEST(SharedStore, EmptyFileHasANullViewAndNoError)
{
    CScratchStore files;
    auto store = files.Open();
    EXPECT_EQ(store->GetSize(), 0u);
    {
        CStoreReader reader(*store);
        EXPECT_EQ(reader.GetView(), nullptr);
        EXPECT_EQ(reader.GetViewSize(), 0u);
    }
    CStoreWriter writer(*store);
    EXPECT_EQ(writer.GetView(), nullptr);
    EXPECT_EQ(writer.GetViewSize(), 0u);
}

TEST(SharedStore, ResizeKeepsTheCommonBytesAndZeroFillsGrowth)
{
    CScratchStore files;
    auto store = files.Open();
    {
        CStoreWriter writer(*store);
        writer.Resize(3);
        std::memcpy(writer.GetView(), "abc", 3);
        writer.Resize(6);
        EXPECT_EQ(ViewBytes(writer.GetView(), writer.GetViewSize()), std::string("abc\0\0\0", 6));
        writer.Resize(2);
        EXPECT_EQ(ViewBytes(writer.GetView(), writer.GetViewSize()), "ab");
        writer.Resize(0);
        EXPECT_EQ(writer.GetView(), nullptr);
        writer.Resize(4);
        EXPECT_EQ(ViewBytes(writer.GetView(), writer.GetViewSize()), std::string(4, '\0'));
        std::memcpy(writer.GetView(), "done", 4);
    }
    CStoreReader reader(*store);
    EXPECT_EQ(store->GetSize(), 4u);
    EXPECT_EQ(ViewBytes(reader.GetView(), reader.GetViewSize()), "done");
}

TEST(SharedStore, ReadersOfOneProcessShareOneViewUntilTheLastLeaves)
{
    CScratchStore files;
    auto store = files.Open();
    Store(*store, "shared");

    const BYTE* view = nullptr;
    auto second = std::make_unique<CStoreReader>(*store);
    {
        // A reader on another thread gets the very same mapping.
        CTestThread other([&] {
            CStoreReader first(*store);
            view = first.GetView();
        });
        ASSERT_TRUE(other.Join(kPromptMs));
    }
    EXPECT_EQ(second->GetView(), view);
    EXPECT_EQ(ViewBytes(view, 6), "shared");  // still mapped after the first left

    second.reset();
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(view, &region, sizeof region), 0u);
    EXPECT_EQ(region.State, static_cast<DWORD>(MEM_FREE)) << "the view outlived its last reader";
}

TEST(SharedStore, FilesOf4GiBOrMoreAreRefusedAndNothingStaysHeld)
{
    CScratchStore files;
    {
        CFileHandle file(CreateFileW(files.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER size;
        size.QuadPart = 0x100000006LL;  // sparse on the test machine's file system
        ASSERT_TRUE(SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.Get()));
    }
    auto store = files.Open();
    auto hresultOf = [](auto&& f) {
        try {
            f();
        } catch (const CHResultException& e) {
            return e.GetHResult();
        }
        return S_OK;
    };
    // Not read as 6 bytes: the high part is never dropped.
    EXPECT_EQ(hresultOf([&] { store->GetSize(); }), E_FAIL);
    EXPECT_EQ(hresultOf([&] { CStoreReader reader(*store); }), E_FAIL);
    EXPECT_EQ(hresultOf([&] { CStoreWriter writer(*store); }), E_FAIL);

    CNamedMutex writeLock(GetSharedSecurityAttributes(), files.WriteLockName());
    EXPECT_TRUE(IsMutexFree(writeLock.Get()));
    CNamedMutex readerCount(GetSharedSecurityAttributes(), files.ReaderCountName());
    EXPECT_EQ(GetHandleCount(readerCount.Get()), 1u) << "a failed reader stayed registered";
}

// --- Across processes -------------------------------------------------------

// args: store files, then the events "registered", "release", "exit".
QUELLAN_TEST_ROLE(HoldReader)
{
    CScratchStore files(args);
    auto store = files.Open();
    CHandle registered = OpenTestEvent(args.at(3));
    CHandle release = OpenTestEvent(args.at(4));
    CHandle exit = OpenTestEvent(args.at(5));
    {
        CStoreReader reader(*store);
        SetEvent(registered.Get());
        if (!WaitSignalled(release.Get(), 60000))
            return 2;
    }
    // The reader has ended but the process lives on until told.
    return WaitSignalled(exit.Get(), 60000) ? 0 : 3;
}

class CrossProcessWriter : public testing::TestWithParam<bool>
{
};

// The writer waits for a reader in another process, and goes on the moment
// that reader ends (false) or its process is killed (true).
TEST_P(CrossProcessWriter, WaitsForAReaderElsewhereAndProceedsWhenItGoes)
{
    const bool kill = GetParam();
    CScratchStore files;
    auto store = files.Open();
    Store(*store, "before");

    std::wstring registeredName = MakeUniqueName(L"Registered"), releaseName = MakeUniqueName(L"Release"),
                 exitName = MakeUniqueName(L"Exit");
    CHandle registered = CreateTestEvent(registeredName), release = CreateTestEvent(releaseName),
            exit = CreateTestEvent(exitName);
    std::vector<std::wstring> args = files.ToArgs();
    args.insert(args.end(), {registeredName, releaseName, exitName});
    CHandle child = StartRole(L"HoldReader", args);
    ASSERT_TRUE(WaitSignalled(registered.Get(), kPromptMs));

    CHandle acquired = CreateTestEvent(MakeUniqueName(L"Acquired"));
    CTestThread writer([&] {
        CStoreWriter access(*store);
        SetEvent(acquired.Get());
        access.Resize(5);
        std::memcpy(access.GetView(), "after", 5);
    });
    EXPECT_FALSE(WaitSignalled(acquired.Get(), kBlockedMs)) << "the writer did not wait for the reader";

    DWORD start = GetTickCount();
    if (kill)
        TerminateProcess(child.Get(), 9);
    else
        SetEvent(release.Get());
    EXPECT_TRUE(WaitSignalled(acquired.Get(), kPromptMs));
    // The writer backs off to at most 10 ms between looks; the bound is loose
    // so that a loaded machine cannot fail it, yet catches a back-off that
    // grows without limit.
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(writer.Join(kPromptMs));

    SetEvent(exit.Get());
    EXPECT_EQ(WaitForProcess(child), kill ? 9u : 0u);
    CStoreReader reader(*store);
    EXPECT_EQ(ViewBytes(reader.GetView(), reader.GetViewSize()), "after");
}

INSTANTIATE_TEST_SUITE_P(ReaderEndsOrIsKilled, CrossProcessWriter, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Killed" : "Ended"; });

// args: store files, then the events "writing" and "finish". Holds the
// writer until told, then leaves "new content" behind.
QUELLAN_TEST_ROLE(HoldWriter)
{
    CScratchStore files(args);
    auto store = files.Open();
    CHandle writing = OpenTestEvent(args.at(3));
    CHandle finish = OpenTestEvent(args.at(4));
    CStoreWriter writer(*store);
    SetEvent(writing.Get());
    if (!WaitSignalled(finish.Get(), 60000))
        return 2;
    writer.Resize(11);
    std::memcpy(writer.GetView(), "new content", 11);
    return 0;
}

TEST(SharedStore, AReaderWaitsForAWriterElsewhereThenSeesItsWork)
{
    CScratchStore files;
    auto store = files.Open();
    Store(*store, "old");

    std::wstring writingName = MakeUniqueName(L"Writing"), finishName = MakeUniqueName(L"Finish");
    CHandle writing = CreateTestEvent(writingName), finish = CreateTestEvent(finishName);
    std::vector<std::wstring> args = files.ToArgs();
    args.insert(args.end(), {writingName, finishName});
    CHandle child = StartRole(L"HoldWriter", args);
    ASSERT_TRUE(WaitSignalled(writing.Get(), kPromptMs));

    std::string seen;
    DWORD sizeSeen = 0;
    CTestThread reader([&] {
        CStoreReader access(*store, kWriterWaitMs);
        sizeSeen = store->GetSize();
        seen = ViewBytes(access.GetView(), access.GetViewSize());
    });
    EXPECT_FALSE(reader.Join(kBlockedMs)) << "the reader did not wait for the writer";
    SetEvent(finish.Get());
    EXPECT_TRUE(reader.Join(kPromptMs));
    EXPECT_EQ(WaitForProcess(child), 0u);
    EXPECT_EQ(seen, "new content");
    EXPECT_EQ(sizeSeen, 11u);
}
