// A writer of the filter list that dies at any instant, or fails, leaves the
// list exactly as it was before or exactly as it was meant to be after: no
// phantom records, no torn list. Writers are killed before each system call
// they make (tests/storage/KillPoints.h), which includes the worst instant:
// the file grown and not yet filled, when the new bytes read as zeros and six
// zero bytes are a well-formed empty record.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "com/Error.h"
#include "storage/FilterListStore.h"
#include "tests/storage/KillPoints.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

using CRecords = std::vector<CFilterRulePtr>;

std::vector<const FilterRule*> Pointers(const CRecords& records)
{
    std::vector<const FilterRule*> pointers;
    for (const auto& record : records)
        pointers.push_back(record.get());
    return pointers;
}

std::string Bytes(const CRecords& records)
{
    std::string bytes;
    for (const auto& record : records)
        bytes.append(reinterpret_cast<const char*>(record.get()), FilterRecordSize(*record));
    return bytes;
}

CRecords OldList()
{
    CRecords records;
    records.push_back(MakeRecord(L"*good*"));
    records.push_back(MakeRecord(L"*/ok/*", true));
    return records;
}

CRecords AppendedBatch()
{
    CRecords records;
    records.push_back(MakeRecord(L"*after*"));
    records.push_back(MakeRecord(L"ba(n)+er", false, true));
    records.push_back(MakeRecord(std::wstring(300, L'x')));
    return records;
}

// Two lists of `count` filters; the second is the longer, so the rewrite
// grows the file.
CRecords LargeList(bool second, int count)
{
    CRecords records;
    records.reserve(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) {
        std::wstring body = second ? L"|http://ads" + std::to_wstring(n) + L".example.com/banner^*"
                                   : L"*ad" + std::to_wstring(n) + L"*";
        records.push_back(MakeRecord(body, n % 7 == 0, false));
    }
    return records;
}

enum class Operation
{
    Append,
    Rewrite,
};

struct CScenario
{
    Operation operation;
    std::string before;  // the store's bytes before the change
    std::string after;   // and after it
    CRecords records;    // what the writer writes
};

constexpr int kLargeListSize = 60000;

CScenario MakeScenario(Operation operation, int listSize = kLargeListSize)
{
    if (operation == Operation::Append) {
        CScenario scenario{operation, Bytes(OldList()), std::string(), AppendedBatch()};
        scenario.after = scenario.before + Bytes(scenario.records);
        return scenario;
    }
    CScenario scenario{operation, Bytes(LargeList(false, listSize)), std::string(), LargeList(true, listSize)};
    scenario.after = Bytes(scenario.records);
    return scenario;
}

void Write(CStoreWriter& writer, Operation operation, const CRecords& records)
{
    std::vector<const FilterRule*> pointers = Pointers(records);
    if (operation == Operation::Append)
        AppendRecords(writer, pointers.data(), pointers.data() + pointers.size());
    else
        ReplaceAllRecords(writer, pointers.data(), pointers.data() + pointers.size());
}

// The store's bytes as a reader sees them (a reader that is the first to
// take an abandoned lock repairs the store first).
std::string ReadThroughReader(CSharedStore& store)
{
    CStoreReader reader(store);
    return std::string(reinterpret_cast<const char*>(reader.GetView()), reader.GetViewSize());
}

void AppendThroughWriter(CSharedStore& store, const FilterRule& record)
{
    CStoreWriter writer(store);
    AppendRecord(writer, record);
}

// Leaves the named mutex abandoned: a thread takes it and ends.
void AbandonMutex(const std::wstring& name)
{
    CHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    CTestThread owner([&] { WaitForSingleObject(mutex.Get(), INFINITE); });
    ASSERT_TRUE(owner.Join(10000));
}

// Takes a mutex that may have been abandoned and lets it go, as a holder
// that repairs nothing would: from then on, only the undo file tells.
void ConsumeAbandonment(const std::wstring& name)
{
    CHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    DWORD result = WaitForSingleObject(mutex.Get(), 10000);
    EXPECT_TRUE(result == WAIT_ABANDONED || result == WAIT_OBJECT_0) << result;
    ReleaseMutex(mutex.Get());
}

std::vector<std::string> TraceWrite(const CScenario& scenario)
{
    CScratchStore files(L"storage.bin");
    WriteFileBytes(files.Path(), scenario.before);
    auto store = files.Open();
    CKillPointHooks hooks;
    auto writer = std::make_unique<CStoreWriter>(*store);
    hooks.ArmTrace();
    Write(*writer, scenario.operation, scenario.records);
    writer.reset();
    hooks.Disarm();
    EXPECT_EQ(ReadFileBytes(files.Path()), scenario.after);
    return hooks.Trace();
}

// The kill point right after the store file has been grown (the first
// SetEndOfFile of the change) and before anything is written into it.
CKillPoint GrownNotFilled(const std::vector<std::string>& trace)
{
    for (std::size_t i = 0; i + 1 < trace.size(); ++i) {
        if (trace[i] == "SetEndOfFile")
            return {i + 1, KillMode::Before};
    }
    ADD_FAILURE() << "the writer never sets the file's length";
    return {};
}

std::wstring OperationArg(Operation operation)
{
    return operation == Operation::Append ? L"append" : L"rewrite";
}

}  // namespace

// args: store files, "append" or "rewrite", list size, kill point. Writes the
// scenario's records under the kill point; exit code 0 means the point was
// not reached.
QUELLAN_TEST_ROLE(KillWriter)
{
    CScratchStore files(args);
    auto store = files.Open();
    Operation operation = args.at(3) == L"append" ? Operation::Append : Operation::Rewrite;
    CRecords records = operation == Operation::Append ? AppendedBatch() : LargeList(true, std::stoi(args.at(4)));
    CKillPointHooks hooks;
    auto writer = std::make_unique<CStoreWriter>(*store);
    hooks.ArmKill(KillPointFromArgs(args, 5));
    Write(*writer, operation, records);
    writer.reset();
    hooks.Disarm();
    return 0;
}

// args: store files, kill point. Reads the store under the kill point.
QUELLAN_TEST_ROLE(KillReader)
{
    CScratchStore files(args);
    auto store = files.Open();
    CKillPointHooks hooks;
    hooks.ArmKill(KillPointFromArgs(args, 3));
    {
        CStoreReader reader(*store);
    }
    hooks.Disarm();
    return 0;
}

class FilterListCrash : public testing::TestWithParam<Operation>
{
};

TEST_P(FilterListCrash, AWriterKilledAtAnyInstantLeavesTheListAsBeforeOrAsAfter)
{
    const CScenario scenario = MakeScenario(GetParam());
    const std::vector<std::string> trace = TraceWrite(scenario);
    const CKillPoint worst = GrownNotFilled(trace);
    const auto later = MakeRecord(L"*later*");
    const std::string laterBytes(reinterpret_cast<const char*>(later.get()), FilterRecordSize(*later));

    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    int before = 0, after = 0;
    std::vector<CKillPoint> points = KillPointsOf(trace);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const CKillPoint& point = points[i];
        SCOPED_TRACE(Describe(point, trace));
        WriteFileBytes(files.Path(), scenario.before);
        std::vector<std::wstring> args = files.ToArgs();
        args.push_back(OperationArg(scenario.operation));
        args.push_back(std::to_wstring(kLargeListSize));
        for (const auto& arg : KillPointArgs(point))
            args.push_back(arg);
        ASSERT_EQ(RunRole(L"KillWriter", args).exitCode, kKilledExitCode) << "the kill point was not reached";

        if (point.call == worst.call && point.mode == worst.mode) {
            // Really the worst instant: grown, and the new bytes all zero.
            std::string raw = ReadFileBytes(files.Path());
            ASSERT_EQ(raw.size(), scenario.after.size());
            const std::size_t common = std::min(scenario.before.size(), scenario.after.size());
            EXPECT_EQ(raw.find_first_not_of('\0', common), std::string::npos);
        }

        // Half the time a reader comes first after the death, half the time a
        // writer, which must repair even when someone else took the abandoned
        // lock without repairing.
        std::string seen;
        if (i % 2 == 0) {
            seen = ReadThroughReader(*store);
        } else {
            ConsumeAbandonment(files.WriteLockName());
            AppendThroughWriter(*store, *later);
            seen = ReadThroughReader(*store);
            ASSERT_GE(seen.size(), laterBytes.size());
            ASSERT_EQ(seen.substr(seen.size() - laterBytes.size()), laterBytes);
            seen.resize(seen.size() - laterBytes.size());
        }
        if (seen == scenario.before)
            ++before;
        else if (seen == scenario.after)
            ++after;
        else
            ADD_FAILURE() << "torn list: " << seen.size() << " bytes";
        EXPECT_EQ(GetFileAttributesW(store->GetUndoPath().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    // Deaths before the change counts and after it both happened.
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
}

TEST_P(FilterListCrash, AFailedWriteLeavesTheListAsBefore)
{
    const CScenario scenario = MakeScenario(GetParam());
    const std::vector<std::string> trace = TraceWrite(scenario);
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    CKillPointHooks hooks;
    // Each call fails in turn, as on a full disk. A failure that is reported
    // leaves the list as before; one that is not (tidying up after the change
    // counts) must leave it as after.
    std::size_t reported = 0;
    for (std::size_t call = 0; call < trace.size(); ++call) {
        // Letting go of a view or a mutex does not fail in a way anyone could
        // handle; a faked failure would only leak the view.
        if (trace[call] == "UnmapViewOfFile" || trace[call] == "ReleaseMutex")
            continue;
        SCOPED_TRACE(Describe({call, KillMode::Fail}, trace));
        WriteFileBytes(files.Path(), scenario.before);
        bool threw = false;
        {
            CStoreWriter writer(*store);
            hooks.ArmKill({call, KillMode::Fail});
            try {
                Write(writer, scenario.operation, scenario.records);
            } catch (const CHResultException& e) {
                threw = true;
                EXPECT_EQ(e.GetHResult(), HResultFromWin32(ERROR_DISK_FULL));
            }
            hooks.Disarm();
        }
        reported += threw;
        EXPECT_EQ(ReadThroughReader(*store), threw ? scenario.before : scenario.after);
    }
    // At least the undo file's creation, writes and flush, the store's
    // growth, its flush and the undo file's emptying.
    EXPECT_GE(reported, 8u);
}

INSTANTIATE_TEST_SUITE_P(Operations, FilterListCrash, testing::Values(Operation::Append, Operation::Rewrite),
                         [](const testing::TestParamInfo<Operation>& info) {
                             return info.param == Operation::Append ? "Append" : "Rewrite";
                         });

// The import killed from outside the instant the list grows: Wine gives the
// dead writer's lock to the next taker as released, not abandoned, so only
// the undo file tells the reader to repair.
TEST(FilterListCrash, AWriterKilledFromOutsideAtTheWorstInstantIsUndoneByTheNextReader)
{
    const CScenario scenario = MakeScenario(Operation::Rewrite, 2000);
    const std::vector<std::string> trace = TraceWrite(scenario);
    CScratchStore files(L"storage.bin");
    auto store = files.Open();
    WriteFileBytes(files.Path(), scenario.before);
    std::vector<std::wstring> args = files.ToArgs();
    args.push_back(L"rewrite");
    args.push_back(L"2000");
    for (const auto& arg : KillPointArgs({GrownNotFilled(trace).call, KillMode::Outside}))
        args.push_back(arg);
    // Wine reports such a process as ended with 0: only the list tells that
    // the writer died at that instant, grown and not filled.
    ASSERT_NE(RunRole(L"KillWriter", args).exitCode, kNoOutsideKillExitCode)
        << "the process could not have itself killed from outside";
    const std::string raw = ReadFileBytes(files.Path());
    ASSERT_EQ(raw.size(), scenario.after.size());
    ASSERT_EQ(raw.find_first_not_of('\0', scenario.before.size()), std::string::npos);

    EXPECT_EQ(ReadThroughReader(*store), scenario.before);
    EXPECT_EQ(GetFileAttributesW(store->GetUndoPath().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(FilterListCrash, ARepairKilledAtAnyInstantIsTakenUpByTheNext)
{
    // The repair does not depend on the list's size.
    constexpr int kListSize = 2000;
    const CScenario scenario = MakeScenario(Operation::Rewrite, kListSize);
    const std::vector<std::string> writeTrace = TraceWrite(scenario);
    CScratchStore files(L"storage.bin");
    auto store = files.Open();

    // The list torn at the worst instant of a rewrite, with its undo file.
    WriteFileBytes(files.Path(), scenario.before);
    std::vector<std::wstring> args = files.ToArgs();
    args.push_back(L"rewrite");
    args.push_back(std::to_wstring(kListSize));
    for (const auto& arg : KillPointArgs(GrownNotFilled(writeTrace)))
        args.push_back(arg);
    ASSERT_EQ(RunRole(L"KillWriter", args).exitCode, kKilledExitCode);
    const std::string tornStore = ReadFileBytes(files.Path());
    const std::string undo = ReadFileBytes(store->GetUndoPath());
    ASSERT_NE(tornStore, scenario.before);
    ConsumeAbandonment(files.WriteLockName());

    auto tear = [&] {
        WriteFileBytes(files.Path(), tornStore);
        WriteFileBytes(store->GetUndoPath(), undo);
        AbandonMutex(files.WriteLockName());
    };
    tear();
    std::vector<std::string> trace;
    {
        CKillPointHooks hooks;
        hooks.ArmTrace();
        EXPECT_EQ(ReadThroughReader(*store), scenario.before);
        hooks.Disarm();
        trace = hooks.Trace();
    }
    for (const CKillPoint& point : KillPointsOf(trace)) {
        SCOPED_TRACE(Describe(point, trace));
        tear();
        std::vector<std::wstring> readerArgs = files.ToArgs();
        for (const auto& arg : KillPointArgs(point))
            readerArgs.push_back(arg);
        ASSERT_EQ(RunRole(L"KillReader", readerArgs).exitCode, kKilledExitCode) << "the kill point was not reached";
        EXPECT_EQ(ReadThroughReader(*store), scenario.before);
        EXPECT_EQ(GetFileAttributesW(store->GetUndoPath().c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST(FilterListCrash, OnlyAWholeUndoFileIsEverApplied)
{
    CScratchStore files(L"storage.bin");
    const std::string before = Bytes(OldList());
    WriteFileBytes(files.Path(), before);
    auto store = files.Open();
    const std::string changed = before + Bytes(AppendedBatch());
    std::string whole;
    {
        CStoreWriter writer(*store);
        writer.BeginChange(0);
        whole = ReadFileBytes(store->GetUndoPath());
    }  // the writer ends without committing: the change is undone
    EXPECT_EQ(ReadThroughReader(*store), before);
    ASSERT_GT(whole.size(), before.size());

    // Every shorter file, and every file with one byte changed, is a journal
    // whose writer had not finished it: it undoes nothing and is removed.
    auto restoreWith = [&](const std::string& undoBytes) {
        WriteFileBytes(files.Path(), changed);
        WriteFileBytes(store->GetUndoPath(), undoBytes);
        CFileHandle file(CreateFileW(files.Path().c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(file);
        bool restored = RestoreFromUndoFile(store->GetUndoPath(), file.Get());
        file.Reset();
        EXPECT_EQ(GetFileAttributesW(store->GetUndoPath().c_str()), INVALID_FILE_ATTRIBUTES);
        return restored;
    };
    for (std::size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(restoreWith(whole.substr(0, length)));
        EXPECT_EQ(ReadFileBytes(files.Path()), changed);
    }
    for (std::size_t at = 0; at < whole.size(); ++at) {
        SCOPED_TRACE(at);
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        EXPECT_FALSE(restoreWith(damaged));
        EXPECT_EQ(ReadFileBytes(files.Path()), changed);
    }
    EXPECT_FALSE(restoreWith(whole + "x"));
    EXPECT_TRUE(restoreWith(whole));
    EXPECT_EQ(ReadFileBytes(files.Path()), before);
    {
        CFileHandle file(CreateFileW(files.Path().c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(RestoreFromUndoFile(store->GetUndoPath(), file.Get()));  // none left
    }
}
