#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "com/Error.h"
#include "storage/AdblockListStore.h"
#include "storage/NamedObjects.h"
#include "tests/storage/KillPoints.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/Roles.h"

namespace {

const std::string kOldList = "[Adblock Plus 2.0]\n! Title: Old\n||old.example^\n||ads.example^$third-party\n";
const std::string kNewList = "[Adblock Plus 2.0]\n! Title: New\n||new.example^\n";

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// Lists in a scratch folder, with a write lock of their own; args carry
// them to another process.
struct CScratchLists
{
    CScratchStore files{L"storage.bin"};
    std::wstring lockName = MakeUniqueName(L"lists");
    std::vector<std::wstring> ToArgs() const { return {FolderOf(files.Path()), lockName}; }
    std::unique_ptr<CAdblockListStore> Open() const { return OpenFrom(ToArgs()); }
    static std::unique_ptr<CAdblockListStore> OpenFrom(const std::vector<std::wstring>& args)
    {
        return std::make_unique<CAdblockListStore>(args[0], args[1], GetSharedSecurityAttributes());
    }
};

CAdblockVerdict::CDecision Decide(CAdblockListStore& store, const wchar_t* url, const wchar_t* page = nullptr)
{
    RequestContext request;
    request.url = url;
    request.pageUrl = page;
    return store.Judge(request).decision;
}

// Which of the two lists judges: "old", "new", "both" or "none".
std::string InForce(CAdblockListStore& store)
{
    const bool old = Decide(store, L"http://old.example/x") == CAdblockVerdict::Block;
    const bool fresh = Decide(store, L"http://new.example/x") == CAdblockVerdict::Block;
    return old && fresh ? "both" : old ? "old" : fresh ? "new" : "none";
}

// Every file of the folder that is the lists' own.
std::vector<std::wstring> ListFiles(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"list*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// Rewrites a file's bytes in place, as another process of the user could
// (the file may be mapped: it cannot be truncated then).
void Overwrite(const std::wstring& path, const std::string& bytes)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

HRESULT FailureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
    return S_OK;
}

}  // namespace

TEST(AdblockListStore, ListsArePublishedWholeAndJudgedByEveryProcess)
{
    CScratchLists lists;
    auto store = lists.Open();
    EXPECT_EQ(store->GetCurrent(), nullptr) << "no lists: nothing to map";
    EXPECT_TRUE(store->ReadCatalog().lists.empty());

    const CAdblockListEntry added = store->Add(L"Old", L"C:\\lists\\old.txt", kOldList + "example.com##.ad\n");
    EXPECT_EQ(added.counts.network, 2u);
    EXPECT_EQ(added.counts.cosmetic, 1u);
    EXPECT_EQ(InForce(*store), "old");
    EXPECT_EQ(Decide(*store, L"http://ads.example/a", L"http://ads.example/"), CAdblockVerdict::None);
    EXPECT_EQ(Decide(*store, L"http://ads.example/a", L"http://site.example/"), CAdblockVerdict::Block);
    EXPECT_EQ(FailureOf([&] { store->Add(L"OLD", L"x", kNewList); }), kAdblockListNameTaken);

    // Another process's store object sees what this one wrote, and this one
    // what another wrote.
    auto other = lists.Open();
    EXPECT_EQ(InForce(*other), "old");
    other->Add(L"New", L"http://lists.example/new.txt", kNewList);
    EXPECT_EQ(InForce(*store), "both");
    const CAdblockCatalog catalog = store->ReadCatalog();
    ASSERT_EQ(catalog.lists.size(), 2u);
    EXPECT_EQ(catalog.lists[1].source, L"http://lists.example/new.txt");
    EXPECT_EQ(store->ReadText(catalog.lists[1]), kNewList);

    // The deciding filter as written.
    std::shared_ptr<const CAdblockListStore::CLoaded> loaded;
    RequestContext request;
    request.url = L"http://new.example/x";
    const CAdblockVerdict verdict = store->Judge(request, &loaded);
    EXPECT_EQ(store->DescribeFilter(*loaded, verdict), L"New, line 3: ||new.example^");

    store->SetEnabled(L"old", false);
    EXPECT_EQ(InForce(*other), "new");
    EXPECT_FALSE(store->ReadCatalog().lists[0].enabled);
    store->Remove(L"New");
    EXPECT_EQ(InForce(*other), "none");
    EXPECT_EQ(FailureOf([&] { store->Remove(L"New"); }), kAdblockListNotFound);
    loaded.reset();
    store->SetEnabled(L"Old", true);
    EXPECT_EQ(InForce(*other), "old");
    // Only the published generation's files and the kept texts remain, once
    // nobody maps the old ones (this process's current image stays mapped).
    store.reset();
    other.reset();
    auto last = lists.Open();
    last->SetEnabled(L"Old", true);
    EXPECT_EQ(ListFiles(FolderOf(lists.files.Path())).size(), 4u) << "lists.ctl, one catalog, one image, one text";
}

TEST(AdblockListStore, TheCatalogReadsBackAndRefusesEveryDamage)
{
    CAdblockCatalog catalog;
    catalog.generation = 7;
    catalog.nextListId = 3;
    catalog.imageGeneration = 6;
    catalog.imageSize = 100;
    catalog.imageHash = 0x1234;
    CAdblockListEntry entry;
    entry.id = 2;
    entry.name = L"EasyList";
    entry.source = L"https://easylist.example/easylist.txt";
    entry.counts.network = 5;
    entry.counts.skippedOptions["csp"] = 3;
    entry.etag = L"\"abc\"";
    entry.lastResult = E_FAIL;
    catalog.lists.push_back(entry);
    const std::vector<BYTE> bytes = SerializeAdblockCatalog(catalog);
    CAdblockCatalog back;
    ASSERT_TRUE(TryParseAdblockCatalog(bytes.data(), bytes.size(), back));
    ASSERT_EQ(back.lists.size(), 1u);
    EXPECT_EQ(back.lists[0].name, L"EasyList");
    EXPECT_EQ(back.lists[0].etag, L"\"abc\"");
    EXPECT_EQ(back.lists[0].counts.skippedOptions.at("csp"), 3u);
    EXPECT_EQ(back.lists[0].lastResult, E_FAIL);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::vector<BYTE> damaged = bytes;
        damaged[i] ^= 0x41;
        EXPECT_FALSE(TryParseAdblockCatalog(damaged.data(), damaged.size(), back)) << "byte " << i;
    }
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(TryParseAdblockCatalog(bytes.data(), size, back)) << "cut at " << size;
    EXPECT_EQ(AdblockListNameOf("[Adblock Plus 2.0]\n! Title:  EasyList \n", L"C:\\x\\a.txt"), L"EasyList");
    EXPECT_EQ(AdblockListNameOf("||a^\n", L"C:\\x\\hosts.txt"), L"hosts");
}

TEST(AdblockListStore, PlantedLinksAndGarbageAreNeverTrustedNorWrittenThrough)
{
    CScratchStore elsewhere(L"document.txt");
    const std::string document = "a document of the user";
    WriteFileBytes(elsewhere.Path(), document);
    CScratchLists lists;
    auto store = lists.Open();
    // The names the first writer takes: text 1, image 1, catalog 2.
    ASSERT_TRUE(CreateHardLinkW(store->GetTextPath(1).c_str(), elsewhere.Path().c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(store->GetImagePath(1).c_str(), elsewhere.Path().c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(store->GetCatalogPath(2).c_str(), elsewhere.Path().c_str(), nullptr));
    store->Add(L"Old", L"old.txt", kOldList);
    EXPECT_EQ(ReadFileBytes(elsewhere.Path()), document);
    EXPECT_EQ(InForce(*store), "old");

    const DWORD published = store->GetPublishedGeneration();
    const CAdblockCatalog catalog = store->ReadCatalog();
    // A garbage image in the published one's place (for a process that maps
    // it now): never trusted, no crash.
    auto fresh = lists.Open();
    const std::wstring image = store->GetImagePath(catalog.imageGeneration);
    std::string garbage = ReadFileBytes(image);
    store.reset();
    for (std::size_t i = 0; i < garbage.size(); i += 7)
        garbage[i] = static_cast<char>(garbage[i] ^ 0x5A);
    Overwrite(image, garbage);
    EXPECT_EQ(InForce(*fresh), "none");
    EXPECT_EQ(InForce(*fresh), "none") << "known bad: not read again";

    // A garbage catalog: the lists are damaged for readers; the next writer
    // brings the texts back.
    Overwrite(fresh->GetCatalogPath(published), std::string(300, '\x7F'));
    auto reader = lists.Open();
    EXPECT_EQ(FailureOf([&] { reader->ReadCatalog(); }), kAdblockListsDamaged);
    EXPECT_EQ(InForce(*reader), "none");
    reader->Add(L"New", L"new.txt", kNewList);
    EXPECT_EQ(InForce(*reader), "both");
    EXPECT_EQ(reader->ReadCatalog().lists.size(), 2u);

    // A garbage control block: nothing is published as far as readers can
    // tell; the next writer starts from the catalog in the folder.
    Overwrite(reader->GetControlPath(), std::string(64, '\x33'));
    auto third = lists.Open();
    EXPECT_EQ(InForce(*third), "none");
    third->Remove(L"New");
    EXPECT_EQ(InForce(*third), "old");
}

// args: the lists, then a kill point. Adds kNewList and dies at the kill point.
QUELLAN_TEST_ROLE(KillListsWriter)
{
    auto store = CScratchLists::OpenFrom(args);
    CKillPointHooks hooks;
    hooks.ArmKill(KillPointFromArgs(args, 2));
    store->Add(L"New", L"new.txt", kNewList);
    hooks.Disarm();
    return 0;
}

// A writer in another process killed at any instant of an add: a process
// that judged by the old lists and one that starts now both judge by the old
// lists until the instant the new ones are published, and by the new ones
// from then on; the next writer leaves nothing of the dead one behind.
TEST(AdblockListStore, AWriterKilledAtAnyInstantLeavesThePreviousListsInForce)
{
    std::vector<std::string> trace;
    {
        CScratchLists traced;
        auto store = traced.Open();
        store->Add(L"Old", L"old.txt", kOldList);
        CKillPointHooks hooks;
        hooks.ArmTrace();
        store->Add(L"New", L"new.txt", kNewList);
        hooks.Disarm();
        trace = hooks.Trace();
    }
    bool published = false;
    for (const CKillPoint& point : KillPointsOf(trace)) {
        const std::string what = Describe(point, trace);
        CScratchLists lists;
        auto store = lists.Open();
        store->Add(L"Old", L"old.txt", kOldList);
        ASSERT_EQ(InForce(*store), "old") << what;
        std::vector<std::wstring> args = lists.ToArgs();
        for (const std::wstring& arg : KillPointArgs(point))
            args.push_back(arg);
        ASSERT_EQ(RunRole(L"KillListsWriter", args).exitCode, kKilledExitCode) << what;
        auto fresh = lists.Open();
        const std::string now = InForce(*fresh);
        EXPECT_EQ(now, published ? "both" : now == "both" ? "both" : "old") << "a process that starts now, " << what;
        published = now == "both";
        EXPECT_EQ(InForce(*store), now) << "the process that judged before, " << what;
        EXPECT_EQ(fresh->ReadCatalog().lists.size(), published ? 2u : 1u) << what;
        store.reset();
        fresh.reset();
        auto writer = lists.Open();
        writer->SetEnabled(L"Old", true);
        EXPECT_EQ(ListFiles(FolderOf(lists.files.Path())).size(), published ? 5u : 4u) << what;
        EXPECT_EQ(InForce(*writer), now) << what;
    }
    EXPECT_TRUE(published) << "the last kill point comes after the change";
}
