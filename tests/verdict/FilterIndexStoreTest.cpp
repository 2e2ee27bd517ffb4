#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "com/Error.h"
#include "engine/FilterIndex.h"
#include "storage/FilterIndexStore.h"
#include "storage/FilterListStore.h"
#include "tests/storage/KillPoints.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"
#include "verdict/UrlVerdict.h"

namespace {

const std::vector<std::wstring> kUrls = {
    L"http://ads.example.com/banner.gif", L"http://example.com/ads/allowed/1.png", L"http://example.com/clean.html",
    L"http://tracker.example.net/pixel?id=1", L"https://cdn.example.org/lib/jquery.js", L"http://example.com/%61ds/x",
};

// Each text: optional "%", then "/regex/" or a wildcard.
std::vector<CFilterRulePtr> Records(const std::vector<std::wstring>& texts)
{
    std::vector<CFilterRulePtr> records;
    for (std::wstring text : texts) {
        const bool isException = !text.empty() && text[0] == L'%';
        if (isException)
            text.erase(0, 1);
        const bool isRegex = text.size() >= 2 && text.front() == L'/' && text.back() == L'/';
        if (isRegex)
            text = text.substr(1, text.size() - 2);
        records.push_back(MakeRecord(text, isException, isRegex));
    }
    return records;
}

// armed runs once the writer holds the list, before the change begins
// (a hook on the system calls the change makes).
// The records of `texts` written by `write` (ReplaceAllRecords or
// AppendRecords) in one change.
template <class TWrite>
void WriteAll(CSharedStore& store, const std::vector<std::wstring>& texts, const std::function<void()>& armed,
              TWrite write)
{
    const auto owned = Records(texts);
    std::vector<const FilterRule*> records;
    for (const auto& record : owned)
        records.push_back(record.get());
    CStoreWriter writer(store);
    if (armed)
        armed();
    write(writer, records.data(), records.data() + records.size());
}

void ReplaceList(CSharedStore& store, const std::vector<std::wstring>& texts,
                 const std::function<void()>& armed = nullptr)
{
    WriteAll(store, texts, armed, [](CStoreWriter& writer, const FilterRule* const* first,
                                     const FilterRule* const* last) { ReplaceAllRecords(writer, first, last); });
}

void Append(CSharedStore& store, const std::wstring& text)
{
    const auto owned = Records({text});
    CStoreWriter writer(store);
    AppendRecord(writer, *owned[0]);
}

// Appends the records in one change, as an import does.
void AppendAll(CSharedStore& store, const std::vector<std::wstring>& texts,
               const std::function<void()>& armed = nullptr)
{
    WriteAll(store, texts, armed, [](CStoreWriter& writer, const FilterRule* const* first,
                                     const FilterRule* const* last) { AppendRecords(writer, first, last); });
}

// Is the published generation a tail beside an image (rather than an image)?
bool PublishesTail(CFilterIndexStore& index)
{
    const std::string bytes = ReadFileBytes(index.GetImagePath(index.GetPublishedGeneration()));
    return bytes.compare(0, 4, "QIXT") == 0;
}

bool UsesIndex(CSharedStore& store)
{
    CFilterIndexStore::CUse use(*CFilterIndexStore::Of(store));
    return use.Get() != nullptr;
}

// The walk's answer: the explanation always comes from a walk.
bool Walk(CSharedStore& store, const std::wstring& url)
{
    std::vector<std::wstring> deciding;
    return IsUrlAllowed(store, url.c_str(), &deciding);
}

void ExpectVerdictsOfTheWalk(CSharedStore& store, const char* what)
{
    for (const std::wstring& url : kUrls)
        EXPECT_EQ(IsUrlAllowed(store, url.c_str()), Walk(store, url)) << what << ": " << testing::PrintToString(url);
}

const std::vector<std::wstring> kList = {L"*ads*", L"%*/ads/allowed/*", L"*/pixel?id=*", L"/jquery\\.js$/",
                                         L"*.gif"};

class FilterIndexStore : public testing::Test
{
protected:
    CScratchStore m_files{L"storage.bin"};
    std::unique_ptr<CSharedStore> m_store = m_files.OpenFilterList();
    CFilterIndexStore& Index() { return *CFilterIndexStore::Of(*m_store); }
};

}  // namespace

TEST_F(FilterIndexStore, EveryWriterPublishesAnIndexThatVerdictsUse)
{
    EXPECT_FALSE(UsesIndex(*m_store)) << "a list no writer has touched has no index";
    ExpectVerdictsOfTheWalk(*m_store, "no index");

    ReplaceList(*m_store, kList);
    const DWORD first = Index().GetPublishedGeneration();
    EXPECT_NE(first, 0u);
    EXPECT_TRUE(UsesIndex(*m_store));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://ads.example.com/banner.gif"));
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://example.com/ads/allowed/1.png"));
    ExpectVerdictsOfTheWalk(*m_store, "after a rewrite");

    Append(*m_store, L"*clean*");
    EXPECT_NE(Index().GetPublishedGeneration(), first);
    EXPECT_TRUE(UsesIndex(*m_store));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://example.com/clean.html"));
    ExpectVerdictsOfTheWalk(*m_store, "after an append");

    // A writer that changes the bytes by other means leaves an index too.
    {
        const auto record = MakeRecord(L"*tracker*");
        CStoreWriter writer(*m_store);
        const DWORD size = writer.GetViewSize();
        writer.Resize(static_cast<LONG>(size + FilterRecordSize(*record)));
        std::memcpy(writer.GetView() + size, record.get(), FilterRecordSize(*record));
    }
    EXPECT_TRUE(UsesIndex(*m_store));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://tracker.example.net/x"));

    // Old images go once nobody maps them: the one this process still used
    // during the last write stays until the next.
    ReplaceList(*m_store, kList);
    ReplaceList(*m_store, {});
    EXPECT_TRUE(UsesIndex(*m_store));
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://ads.example.com/banner.gif"));
    ReplaceList(*m_store, kList);
    const DWORD last = Index().GetPublishedGeneration();
    for (DWORD generation = first; generation + 1 != last; ++generation)
        EXPECT_EQ(GetFileAttributesW(Index().GetImagePath(generation).c_str()), INVALID_FILE_ATTRIBUTES) << generation;
    EXPECT_NE(GetFileAttributesW(Index().GetImagePath(last).c_str()), INVALID_FILE_ATTRIBUTES);
}

// The list is the truth: when no index can be written, the change is made
// all the same and verdicts walk the list, until a writer can write one.
TEST_F(FilterIndexStore, AnIndexThatCannotBeWrittenDoesNotStopTheChange)
{
    ReplaceList(*m_store, {L"*ads*"});
    const std::wstring controlPath = Index().GetControlPath();
    m_store.reset();
    ASSERT_TRUE(DeleteFileW(controlPath.c_str()));
    ASSERT_TRUE(CreateDirectoryW(controlPath.c_str(), nullptr));  // in the way of the control block
    m_store = m_files.OpenFilterList();
    ReplaceList(*m_store, {L"*ads*", L"*tracker*"});
    Append(*m_store, L"*banner*");
    EXPECT_FALSE(UsesIndex(*m_store));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://x/tracker.js"));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://x/banner.png"));
    ExpectVerdictsOfTheWalk(*m_store, "no control block");

    m_store.reset();
    ASSERT_TRUE(RemoveDirectoryW(controlPath.c_str()));
    m_store = m_files.OpenFilterList();
    Append(*m_store, L"*clean*");
    EXPECT_TRUE(UsesIndex(*m_store));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://x/tracker.js"));
    ExpectVerdictsOfTheWalk(*m_store, "control block back");
}

// A list written by other means, with a record that lacks its terminator and
// a tail cut short: the index files exactly the records the walk reads.
TEST_F(FilterIndexStore, AListTheWalkReadsInPartIsIndexedAsTheWalkReadsIt)
{
    std::string bytes;
    auto add = [&](const std::wstring& body, bool isException, bool terminated) {
        const auto record = MakeRecord(body, isException);
        std::string raw(reinterpret_cast<const char*>(record.get()), FilterRecordSize(*record));
        if (!terminated)
            raw[raw.size() - 2] = 'x';
        bytes += raw;
    };
    add(L"*ads*", false, true);
    add(L"*tracker*", false, false);  // skipped by the walk
    add(L"%*/ads/ok/*", true, true);
    add(L"*banner*", false, true);
    const std::string whole = bytes;
    bytes += whole.substr(0, 9);  // a record cut short: the walk ends there
    {
        CStoreWriter writer(*m_store);
        writer.Resize(static_cast<LONG>(bytes.size()));
        std::memcpy(writer.GetView(), bytes.data(), bytes.size());
    }
    EXPECT_TRUE(UsesIndex(*m_store));
    for (const wchar_t* url : {L"http://x/ads/1", L"http://x/tracker.js", L"http://x/ads/ok/1", L"http://x/banner.png",
                               L"http://x/clean"}) {
        EXPECT_EQ(IsUrlAllowed(*m_store, url), Walk(*m_store, url)) << testing::PrintToString(std::wstring(url));
    }
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://x/tracker.js"));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://x/banner.png"));
}

// Appends keep the published image and judge the appended records beside
// it, in this process and in one that starts now, until the tail reaches its
// bound in records or bytes; then the whole index is built again.
TEST_F(FilterIndexStore, AppendsAreJudgedBesideTheImageUntilTheTailReachesItsBound)
{
    std::vector<std::wstring> list = kList;
    list.push_back(L"%*/keep/*");
    ReplaceList(*m_store, list);
    const DWORD image = Index().GetPublishedGeneration();
    // Each part's block with the other part's exception, both ways, and a
    // regular expression.
    const std::vector<std::vector<std::wstring>> steps = {
        {L"*clean*"},           {L"%*ads.example.com*"}, {L"*/ads/allowed/*", L"/cdn\\.example/"},
        {L"%*clean.html"},      {L"*keep*"},             {L"*example.com/%61ds*"}};
    std::size_t tailRecords = 0;
    for (const auto& step : steps) {
        AppendAll(*m_store, step);
        tailRecords += step.size();
        ASSERT_TRUE(PublishesTail(Index())) << tailRecords;
        EXPECT_NE(GetFileAttributesW(Index().GetImagePath(image).c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_TRUE(UsesIndex(*m_store));
        ExpectVerdictsOfTheWalk(*m_store, "this process");
        auto fresh = m_files.OpenFilterList();
        EXPECT_TRUE(UsesIndex(*fresh));
        ExpectVerdictsOfTheWalk(*fresh, "a process that starts now");
    }
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://ads.example.com/banner.gif"));
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://example.com/ads/allowed/1.png"));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://cdn.example.org/lib/x.css"));
    EXPECT_TRUE(IsUrlAllowed(*m_store, L"http://example.com/keep/1"));
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://example.com/keeper"));

    while (tailRecords < CFilterIndexStore::kMaxTailRecords) {
        Append(*m_store, L"*/filler" + std::to_wstring(tailRecords++) + L"/*");
        ASSERT_TRUE(PublishesTail(Index())) << tailRecords;
    }
    Append(*m_store, L"*past-the-bound*");
    EXPECT_FALSE(PublishesTail(Index())) << "the bound in records";
    EXPECT_FALSE(IsUrlAllowed(*m_store, L"http://x/past-the-bound"));
    ExpectVerdictsOfTheWalk(*m_store, "rebuilt");

    const std::wstring wide(8000, L'w');
    for (DWORD bytes = 0; bytes + FilterRecordSize(wide.size() + 2) <= CFilterIndexStore::kMaxTailBytes;
         bytes += static_cast<DWORD>(FilterRecordSize(wide.size() + 2))) {
        Append(*m_store, L"*" + wide + L"*");
        ASSERT_TRUE(PublishesTail(Index())) << bytes;
    }
    Append(*m_store, L"*" + wide + L"*");
    EXPECT_FALSE(PublishesTail(Index())) << "the bound in bytes";
    ExpectVerdictsOfTheWalk(*m_store, "rebuilt");

    // Any other change builds an image.
    Append(*m_store, L"*tracker*");
    ASSERT_TRUE(PublishesTail(Index()));
    ReplaceList(*m_store, kList);
    EXPECT_FALSE(PublishesTail(Index()));
}

// A tail that is damaged, foreign or no longer the list's end: verdicts are
// the walk's, in a process that starts now as in this one.
TEST_F(FilterIndexStore, AnythingWrongWithATailFallsBackToTheWalk)
{
    ReplaceList(*m_store, kList);
    Append(*m_store, L"%*ads.example.com*");
    Append(*m_store, L"*clean*");
    ASSERT_TRUE(PublishesTail(Index()));
    const std::wstring tailPath = Index().GetImagePath(Index().GetPublishedGeneration());
    const std::string tail = ReadFileBytes(tailPath);
    const std::string list = ReadFileBytes(m_files.Path());
    m_store.reset();

    std::mt19937 random(5);
    // Bytes 40 to 63 only spare a reader the image's hash: damaged, the
    // image is hashed and, being whole, used.
    auto check = [&](const std::string& what, const std::function<void()>& damage, bool mayUseIndex = false) {
        damage();
        {
            auto store = m_files.OpenFilterList();
            if (!mayUseIndex) {
                EXPECT_FALSE(UsesIndex(*store)) << what;
            }
            ExpectVerdictsOfTheWalk(*store, what.c_str());
        }
        WriteFileBytes(tailPath, tail);
        WriteFileBytes(m_files.Path(), list);
    };
    for (std::size_t length : {std::size_t{0}, std::size_t{8}, std::size_t{40}, tail.size() - 1})
        check("tail truncated to " + std::to_string(length), [&] { WriteFileBytes(tailPath, tail.substr(0, length)); });
    for (std::size_t at = 0; at < tail.size(); ++at) {
        check("tail damaged at " + std::to_string(at), [&] {
            std::string damaged = tail;
            damaged[at] ^= static_cast<char>(1 + random() % 255);
            WriteFileBytes(tailPath, damaged);
        }, at >= 40 && at < 64);
    }
    check("the list's last record changed behind the tail's back", [&] {
        std::string changed = list;
        changed[changed.size() - 4] ^= 1;
        WriteFileBytes(m_files.Path(), changed);
    });
    check("the list's first record changed behind the tail's back", [&] {
        std::string changed = list;
        changed[FilterRecordSize(0) - sizeof(WCHAR) + 2] ^= 1;
        WriteFileBytes(m_files.Path(), changed);
    });
    check("the list cut after the image's part", [&] {
        WriteFileBytes(m_files.Path(), list.substr(0, list.size() - FilterRecordSize(7)));
    });
    m_store = m_files.OpenFilterList();
    Append(*m_store, L"*tracker*");
    EXPECT_TRUE(UsesIndex(*m_store));
    ExpectVerdictsOfTheWalk(*m_store, "the next writer");
}

// Whatever is wrong with the index, verdicts are the walk's, and the next
// writer repairs it. Each case is seen by a store opened afresh, as by a
// process that starts now.
TEST_F(FilterIndexStore, AnythingWrongWithTheIndexFallsBackToTheWalk)
{
    ReplaceList(*m_store, kList);
    const DWORD generation = Index().GetPublishedGeneration();
    const std::wstring imagePath = Index().GetImagePath(generation);
    const std::string image = ReadFileBytes(imagePath);
    const std::wstring controlPath = Index().GetControlPath();
    m_store.reset();

    std::mt19937 random(11);
    // Damage to the image's copy of the list passes the checks made when it
    // is mapped; the records are checked as lookups read them.
    auto check = [&](const char* what, const std::function<void()>& damage, bool mayOpen = false) {
        damage();
        {
            auto store = m_files.OpenFilterList();
            if (!mayOpen) {
                EXPECT_FALSE(UsesIndex(*store)) << what;
            }
            ExpectVerdictsOfTheWalk(*store, what);
        }
        // Restore what the case changed.
        WriteFileBytes(imagePath, image);
    };
    check("image missing", [&] { DeleteFileW(imagePath.c_str()); });
    for (std::size_t length : {std::size_t{0}, std::size_t{10}, image.size() / 2, image.size() - 1})
        check("image truncated", [&] { WriteFileBytes(imagePath, image.substr(0, length)); });
    for (int round = 0; round < 200; ++round) {
        check(
            "image damaged",
            [&] {
                std::string damaged = image;
                for (int i = 0; i < 1 + round % 3; ++i)
                    damaged[random() % damaged.size()] ^= static_cast<char>(1 + random() % 255);
                WriteFileBytes(imagePath, damaged);
            },
            true);
    }
    check("random bytes", [&] {
        std::string noise(image.size(), '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        WriteFileBytes(imagePath, noise);
    });
    check("an image of another list", [&] {
        CScratchStore otherFiles(L"storage.bin");
        auto other = otherFiles.OpenFilterList();
        ReplaceList(*other, {L"*ads*", L"*tracker*"});
        std::vector<BYTE> foreign = [&] {
            const std::string bytes =
                ReadFileBytes(CFilterIndexStore::Of(*other)->GetImagePath(CFilterIndexStore::Of(*other)->GetPublishedGeneration()));
            return std::vector<BYTE>(bytes.begin(), bytes.end());
        }();
        SetFilterIndexGeneration(foreign, generation);
        other.reset();
        WriteFileBytes(imagePath, std::string(foreign.begin(), foreign.end()));
    });
    const std::string list = ReadFileBytes(m_files.Path());
    check("the list changed behind the index's back", [&] {
        WriteFileBytes(m_files.Path(), list.substr(0, list.size() - FilterRecordSize(5)));
    });
    check("a record of the list changed in place behind the index's back", [&] {
        std::string changed = list;
        changed[FilterRecordSize(0) - sizeof(WCHAR) + 2] ^= 1;  // "*ads*" becomes "*`ds*"
        WriteFileBytes(m_files.Path(), changed);
    });
    WriteFileBytes(m_files.Path(), list);
    check("control block damaged", [&] { WriteFileBytes(controlPath, std::string(64, '\x5A')); });
    check("control block missing", [&] { DeleteFileW(controlPath.c_str()); });

    // The next writer repairs.
    m_store = m_files.OpenFilterList();
    Append(*m_store, L"*clean*");
    EXPECT_TRUE(UsesIndex(*m_store));
    ExpectVerdictsOfTheWalk(*m_store, "repaired");
}

namespace {

constexpr std::size_t kRounds = 60;

std::wstring RoundFilter(std::size_t round)
{
    return L"*/r" + std::to_wstring(round) + L"/*";
}

// Every fifth round also lets the previous round's URL load again.
bool HasException(std::size_t round)
{
    return round % 5 == 4;
}

std::wstring RoundException(std::size_t round)
{
    return L"%*/r" + std::to_wstring(round) + L"/x.js";
}

}  // namespace

// args: store files, then the name of a mapping holding the last finished
// round and the reader's passes. Each round blocks one more URL (and now and
// then lets an earlier one load), by an append (so that tails of up to nine
// appends are published) or by a rewrite of the whole list, and waits (up to a second) for the reader
// to judge after it, so that the reader sees many states however loaded the
// machine.
QUELLAN_TEST_ROLE(WriteRounds)
{
    CScratchStore files(args);
    auto store = files.OpenFilterList();
    CHandle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, args.at(CScratchStore::kArgCount).c_str()));
    auto* finished = static_cast<volatile LONG*>(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 2 * sizeof(LONG)));
    if (!finished)
        return 1;
    volatile LONG* passes = finished + 1;
    std::vector<std::wstring> texts;
    for (std::size_t round = 1; round <= kRounds; ++round) {
        std::vector<std::wstring> added = {RoundFilter(round)};
        if (HasException(round - 1))
            added.push_back(RoundException(round - 1));
        texts.insert(texts.end(), added.begin(), added.end());
        if (round % 10 == 0)
            ReplaceList(*store, texts);
        else
            AppendAll(*store, added);
        const LONG seen = *passes;
        InterlockedExchange(finished, static_cast<LONG>(round));
        for (DWORD waited = 0; *passes - seen < 2 && waited < 1000; ++waited)
            Sleep(1);
    }
    UnmapViewOfFile(const_cast<LONG*>(finished));
    return 0;
}

// A reader in this process, a writer in another: no verdict ever comes from
// a list older than the last finished write.
TEST_F(FilterIndexStore, NoVerdictComesFromAListOlderThanTheLastFinishedWrite)
{
    const std::wstring name = MakeUniqueName(L"Finished");
    CHandle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2 * sizeof(LONG), name.c_str()));
    ASSERT_TRUE(mapping);
    auto* finished = static_cast<volatile LONG*>(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 2 * sizeof(LONG)));
    ASSERT_TRUE(finished);
    volatile LONG* passes = finished + 1;
    std::vector<std::wstring> args = m_files.ToArgs();
    args.push_back(name);
    CHandle writer = StartRole(L"WriteRounds", args);
    std::size_t checks = 0, byIndex = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        const LONG round = *finished;
        const bool done = WaitForSingleObject(writer.Get(), 0) == WAIT_OBJECT_0;
        for (LONG r = 1; r <= round; r += 1 + r / 4) {
            // The exception of a round under way may be seen or not.
            const bool excepted = HasException(static_cast<std::size_t>(r));
            if (excepted && r + 1 > round)
                continue;
            const std::wstring url = L"http://example.com/r" + std::to_wstring(r) + L"/x.js";
            // A walk that waited longer than a browser thread may (a loaded
            // machine, a writer at work) gives no verdict at all, never an
            // older one.
            bool allowed = false;
            try {
                allowed = IsUrlAllowed(*m_store, url.c_str());
            } catch (const CHResultException& e) {
                ASSERT_EQ(e.GetHResult(), kLockTimedOut);
                continue;
            }
            ASSERT_EQ(allowed, excepted) << "round " << r << " finished, verdict older";
            ++checks;
        }
        byIndex += UsesIndex(*m_store);
        InterlockedIncrement(passes);
        if (done || GetTickCount() - start > 120000)
            break;
    }
    ASSERT_EQ(WaitForProcess(writer), 0u);
    EXPECT_EQ(static_cast<std::size_t>(*finished), kRounds);
    UnmapViewOfFile(const_cast<LONG*>(finished));
    EXPECT_GT(checks, kRounds);
    EXPECT_GT(byIndex, 0u) << "the verdicts never used the index";
    EXPECT_TRUE(UsesIndex(*m_store));
    ExpectVerdictsOfTheWalk(*m_store, "after the last round");
}

namespace {

std::vector<std::wstring> LargeList(std::size_t count, const wchar_t* tag)
{
    std::vector<std::wstring> texts;
    for (std::size_t i = 0; i < count; ++i)
        texts.push_back(L"*/" + std::wstring(tag) + std::to_wstring(i) + L"/banner*");
    texts.push_back(std::wstring(L"*") + tag + L"-marker*");
    return texts;
}

}  // namespace

// args: store files, then "old" or "new": rewrites the list with the large
// list of that name, over and over until killed.
QUELLAN_TEST_ROLE(RewriteForever)
{
    CScratchStore files(args);
    auto store = files.OpenFilterList();
    const std::wstring tag = args.at(CScratchStore::kArgCount);
    for (;;)
        ReplaceList(*store, LargeList(20000, tag.c_str()));
}

// A writer killed at any moment of a rewrite: verdicts come from the old
// list or the new one, never from anything else, and after the next writer
// they are the walk's.
TEST_F(FilterIndexStore, AWriterKilledWhileWritingLeavesCorrectVerdicts)
{
    ReplaceList(*m_store, LargeList(20000, L"old"));
    const std::wstring oldUrl = L"http://example.com/old-marker", newUrl = L"http://example.com/new-marker";
    std::mt19937 random(3);
    for (int round = 0; round < 8; ++round) {
        std::vector<std::wstring> args = m_files.ToArgs();
        args.push_back(round % 2 ? L"old" : L"new");
        CHandle writer = StartRole(L"RewriteForever", args);
        Sleep(100 + random() % 900);
        TerminateProcess(writer.Get(), 9);
        WaitForSingleObject(writer.Get(), 60000);

        // Exactly one of the two lists answers.
        const bool oldBlocked = !IsUrlAllowed(*m_store, oldUrl.c_str());
        const bool newBlocked = !IsUrlAllowed(*m_store, newUrl.c_str());
        EXPECT_NE(oldBlocked, newBlocked) << "round " << round;
        // A process that starts now agrees with the walk.
        {
            auto fresh = m_files.OpenFilterList();
            EXPECT_EQ(IsUrlAllowed(*fresh, oldUrl.c_str()), Walk(*fresh, oldUrl)) << "round " << round;
            EXPECT_EQ(IsUrlAllowed(*fresh, newUrl.c_str()), Walk(*fresh, newUrl)) << "round " << round;
        }
        // The next writer repairs whatever is left.
        Append(*m_store, L"*round" + std::to_wstring(round) + L"*");
        EXPECT_TRUE(UsesIndex(*m_store));
        EXPECT_EQ(IsUrlAllowed(*m_store, oldUrl.c_str()), Walk(*m_store, oldUrl));
        EXPECT_EQ(IsUrlAllowed(*m_store, newUrl.c_str()), Walk(*m_store, newUrl));
    }
}

namespace {

const std::vector<std::wstring> kOldList = {L"*old-marker*", L"*/ads/*", L"%*/ads/ok/*"};
const std::vector<std::wstring> kNewList = {L"*new-marker*", L"*/ads/*", L"%*/ads/ok/*", L"*tracker*"};
const std::vector<std::wstring> kListUrls = {L"http://example.com/old-marker", L"http://example.com/new-marker",
                                             L"http://example.com/ads/1", L"http://example.com/ads/ok/1",
                                             L"http://tracker.example.net/x"};

void ExpectVerdictsOfOneList(CSharedStore& store, const std::string& what)
{
    for (const std::wstring& url : kListUrls)
        EXPECT_EQ(IsUrlAllowed(store, url.c_str()), Walk(store, url)) << what << ": " << testing::PrintToString(url);
    // The file holds one of the two lists, whole.
    EXPECT_NE(Walk(store, kListUrls[0]), Walk(store, kListUrls[1])) << what;
}

// An append that turns kOldList's verdicts into kNewList's.
const std::vector<std::wstring> kAppended = {L"*new-marker*", L"%*old-marker*", L"*tracker*"};

// kOldList as the killed writer finds it: rewritten, or for an append
// rewritten and extended by an append (so that the killed one extends a
// tail).
void StoreOldList(CSharedStore& store, bool append)
{
    ReplaceList(store, kOldList);
    if (append)
        Append(store, L"*unrelated*");
}

void ChangeToNewList(CSharedStore& store, bool append, const std::function<void()>& armed)
{
    if (append)
        AppendAll(store, kAppended, armed);
    else
        ReplaceList(store, kNewList, armed);
}

}  // namespace

// args: store files, "append" or "replace", kill point. Changes the list from
// the old one to the new one and dies at the kill point.
QUELLAN_TEST_ROLE(KillIndexedWriter)
{
    CScratchStore files(args);
    auto store = files.OpenFilterList();
    const bool append = args.at(CScratchStore::kArgCount) == L"append";
    CKillPointHooks hooks;
    ChangeToNewList(*store, append,
                    [&] { hooks.ArmKill(KillPointFromArgs(args, CScratchStore::kArgCount + 1)); });
    hooks.Disarm();
    return 0;
}

namespace {

// A writer in another process killed at any instant of a change, the worst
// being after the list is committed and before its index is published: a
// process that already used the old list's index judges by the list as it
// now is, and so does one that starts now; the next writer brings the index
// back.
void ExpectKilledWritersLeaveOneList(CScratchStore& files, std::unique_ptr<CSharedStore>& store, bool append)
{
    std::vector<std::string> trace;
    {
        CScratchStore traced(L"storage.bin");
        auto other = traced.OpenFilterList();
        StoreOldList(*other, append);
        CKillPointHooks hooks;
        ChangeToNewList(*other, append, [&] { hooks.ArmTrace(); });
        hooks.Disarm();
        trace = hooks.Trace();
    }
    for (const CKillPoint& point : KillPointsOf(trace)) {
        const std::string what = Describe(point, trace);
        StoreOldList(*store, append);
        ASSERT_TRUE(UsesIndex(*store)) << what;
        ASSERT_EQ(PublishesTail(*CFilterIndexStore::Of(*store)), append) << what;
        ASSERT_TRUE(IsUrlAllowed(*store, kListUrls[1].c_str())) << what;

        std::vector<std::wstring> args = files.ToArgs();
        args.push_back(append ? L"append" : L"replace");
        for (const std::wstring& arg : KillPointArgs(point))
            args.push_back(arg);
        ASSERT_EQ(RunRole(L"KillIndexedWriter", args).exitCode, kKilledExitCode) << what;

        ExpectVerdictsOfOneList(*store, "the process that used the old index, " + what);
        {
            auto fresh = files.OpenFilterList();
            ExpectVerdictsOfOneList(*fresh, "a process that starts now, " + what);
        }
    }
    Append(*store, L"*clean*");
    EXPECT_TRUE(UsesIndex(*store));
    ExpectVerdictsOfTheWalk(*store, "after the next writer");
}

}  // namespace

TEST_F(FilterIndexStore, AWriterKilledAtAnyInstantLeavesEveryProcessJudgingByTheListAsItIs)
{
    ExpectKilledWritersLeaveOneList(m_files, m_store, false);
}

TEST_F(FilterIndexStore, AnAppendKilledAtAnyInstantLeavesEveryProcessJudgingByTheListAsItIs)
{
    ExpectKilledWritersLeaveOneList(m_files, m_store, true);
}
