#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "storage/FilterListStore.h"
#include "storage/NamedObjects.h"
#include "storage/StorageFolder.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

struct CRecordText
{
    std::wstring body;
    bool isException;
    bool isRegex;
    bool operator==(const CRecordText& other) const
    {
        return body == other.body && isException == other.isException && isRegex == other.isRegex;
    }
};

void PrintTo(const CRecordText& record, std::ostream* out)
{
    *out << (record.isException ? "%" : "") << (record.isRegex ? "/" : "") << testing::PrintToString(record.body);
}

std::vector<CRecordText> Walk(const BYTE* view, DWORD size)
{
    std::vector<CRecordText> records;
    CFilterRecordCursor cursor(view, size);
    while (const FilterRule* rule = cursor.Next())
        records.push_back({RecordBody(*rule), rule->isException != 0, rule->isRegex != 0});
    return records;
}

std::vector<CRecordText> WalkStore(CSharedStore& store)
{
    CStoreReader reader(store);
    return Walk(reader.GetView(), reader.GetViewSize());
}

void Append(CSharedStore& store, const FilterRule& record)
{
    CStoreWriter writer(store);
    AppendRecord(writer, record);
}

std::string RecordBytes(const FilterRule& rule)
{
    return std::string(reinterpret_cast<const char*>(&rule), FilterRecordSize(rule));
}

}  // namespace

TEST(FilterListStore, AppendGrowsTheFileRecordByRecordKeepingDuplicates)
{
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    EXPECT_TRUE(WalkStore(*store).empty());

    auto ads = MakeRecord(L"*ads*");
    Append(*store, *ads);
    EXPECT_EQ(ReadFileBytes(files.Path()), RecordBytes(*ads));  // at offset 0, 6 + 2 * 5 bytes

    auto allowed = MakeRecord(L"*/ads/allowed/*", true);
    Append(*store, *allowed);
    Append(*store, *ads);
    EXPECT_EQ(store->GetSize(), 16u + 36u + 16u);
    EXPECT_EQ(WalkStore(*store),
              (std::vector<CRecordText>{{L"*ads*", false, false}, {L"*/ads/allowed/*", true, false}, {L"*ads*", false, false}}));
}

TEST(FilterListStore, ReplaceAllStoresExactlyTheGivenRecordsInOrder)
{
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    Append(*store, *MakeRecord(L"old"));

    auto a = MakeRecord(L"", false, false);
    auto b = MakeRecord(L"a.b+c", false, true);
    auto c = MakeRecord(std::wstring(3000, L'x'), true, false);
    const FilterRule* records[] = {b.get(), a.get(), c.get(), b.get()};
    {
        CStoreWriter writer(*store);
        ReplaceAllRecords(writer, std::begin(records), std::end(records));
    }
    EXPECT_EQ(ReadFileBytes(files.Path()), RecordBytes(*b) + RecordBytes(*a) + RecordBytes(*c) + RecordBytes(*b));
    EXPECT_EQ(WalkStore(*store).size(), 4u);

    {
        CStoreWriter writer(*store);
        ReplaceAllRecords(writer, records, records);
    }
    EXPECT_EQ(store->GetSize(), 0u);
}

TEST(FilterListStore, StoredRecordsAreAlwaysTerminated)
{
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    auto sloppy = MakeRecord(L"abcd");
    sloppy->length = 2;  // the source holds 'c' where the terminator belongs
    Append(*store, *sloppy);
    EXPECT_EQ(WalkStore(*store), (std::vector<CRecordText>{{L"ab", false, false}}));
}

TEST(FilterListStore, DamagedFilesAreWalkedWithoutReadingPastTheEnd)
{
    std::string good = RecordBytes(*MakeRecord(L"good"));
    std::string empty = RecordBytes(*MakeRecord(L""));
    auto walk = [](const std::string& bytes) {
        return Walk(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    };
    const std::vector<CRecordText> justGood = {{L"good", false, false}};

    EXPECT_EQ(walk(empty + good).size(), 2u);
    // A last record whose length runs past the end: the tail is ignored.
    std::string overlong = RecordBytes(*MakeRecord(L"long one"));
    EXPECT_EQ(walk(good + overlong.substr(0, overlong.size() - 2)), justGood);
    // Fewer bytes than a record header, or an odd byte.
    EXPECT_EQ(walk(good + "\x01\x00\x05"), justGood);
    EXPECT_EQ(walk(good + "\x00"), justGood);
    // A record without its terminator is skipped, the walk goes on after it.
    std::string unterminated = RecordBytes(*MakeRecord(L"xy"));
    unterminated[8] = 'z';
    EXPECT_EQ(walk(unterminated + good), justGood);
}

// Random bytes, each ending exactly at a page that may not be read: any read
// past the view faults. Every walk must end.
TEST(FilterListStore, RandomBytesNeverCrashOrHangTheWalk)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const DWORD page = system.dwPageSize;
    const DWORD span = 16 * page;
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(base + span, page, PAGE_NOACCESS, &old));
    BYTE* end = base + span;

    std::mt19937 random(20240601);
    for (int round = 0; round < 3000; ++round) {
        DWORD size = random() % (round < 1500 ? 64 : span);
        BYTE* view = end - size;
        for (DWORD i = 0; i < size; ++i)
            view[i] = static_cast<BYTE>(random() % 4 == 0 ? random() : random() % 3);
        CFilterRecordCursor cursor(view, size);
        std::size_t count = 0, bytes = 0;
        while (const FilterRule* rule = cursor.Next()) {
            ++count;
            bytes += FilterRecordSize(*rule);
            ASSERT_EQ(rule->body[rule->length], 0);
        }
        ASSERT_LE(bytes, size);
        ASSERT_LE(count, size / 6);
    }
    VirtualFree(base, 0, MEM_RELEASE);
}

TEST(FilterListStore, ProcessStoreIsStorageBinGuardedByTheUsersNamedLock)
{
    CSharedStore& store = GetFilterListStore();
    EXPECT_EQ(&store, &GetFilterListStore());
    wchar_t folder[MAX_PATH];
    ASSERT_EQ(GetStorageFolder(folder), S_OK);
    EXPECT_NE(GetFileAttributesW((std::wstring(folder) + L"\\storage.bin").c_str()), INVALID_FILE_ATTRIBUTES);

    // While a writer works, the user's FilterListWriteLock is held.
    CStoreWriter writer(store);
    CHandle named(OpenMutexW(SYNCHRONIZE, FALSE, MakeSharedObjectName(L"FilterListWriteLock").c_str()));
    ASSERT_TRUE(named);
    CTestThread probe([&] { EXPECT_EQ(WaitForSingleObject(named.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)); });
    EXPECT_TRUE(probe.Join(10000));
}

// --- Across processes -------------------------------------------------------

// args: store files, then the events "go", and a name prefix. Appends
// 150 records "<prefix><n>" one writer at a time.
QUELLAN_TEST_ROLE(Appender)
{
    CScratchStore files(args);
    auto store = files.Open();
    CHandle go = OpenTestEvent(args.at(3));
    if (!WaitSignalled(go.Get(), 60000))
        return 2;
    for (int n = 0; n < 150; ++n) {
        auto record = MakeRecord(args.at(4) + std::to_wstring(n) + std::wstring(n % 37, L'-'));
        CStoreWriter writer(*store);
        AppendRecord(writer, *record);
    }
    return 0;
}

TEST(FilterListStore, ConcurrentAppendsFromTwoProcessesAllLandWhole)
{
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    std::wstring goName = MakeUniqueName(L"Go");
    CHandle go = CreateTestEvent(goName);
    std::vector<std::wstring> args = files.ToArgs();
    args.push_back(goName);
    args.push_back(L"A");
    CHandle a = StartRole(L"Appender", args);
    args.back() = L"B";
    CHandle b = StartRole(L"Appender", args);
    SetEvent(go.Get());
    ASSERT_EQ(WaitForProcess(a), 0u);
    ASSERT_EQ(WaitForProcess(b), 0u);

    std::vector<CRecordText> records = WalkStore(*store);
    ASSERT_EQ(records.size(), 300u);
    int next[2] = {0, 0};
    for (const CRecordText& record : records) {
        int who = record.body[0] == L'A' ? 0 : 1;
        int n = next[who]++;
        // Each process's records in its own order, none torn.
        EXPECT_EQ(record.body, (who ? L"B" : L"A") + std::to_wstring(n) + std::wstring(n % 37, L'-'));
    }
    EXPECT_EQ(next[0], 150);
    EXPECT_EQ(next[1], 150);
}
