#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com/Error.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/NamedObjects.h"
#include "tests/storage/KillPoints.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Roles.h"
#include "tests/support/TestEnvironment.h"

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
    // (As an image of another version would be.) Compiled again from the
    // texts, once.
    EXPECT_TRUE(fresh->RebuildIfUnusable());
    EXPECT_EQ(InForce(*fresh), "old");
    EXPECT_FALSE(fresh->RebuildIfUnusable());
    EXPECT_NE(fresh->GetPublishedGeneration(), published);

    // A garbage catalog: the lists are damaged for readers; the next writer
    // brings the texts back.
    Overwrite(fresh->GetCatalogPath(fresh->GetPublishedGeneration()), std::string(300, '\x7F'));
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

// args: the lists, then a kill point. Replaces the text of "Old" with
// kNewList, as an update does, and dies at the kill point.
QUELLAN_TEST_ROLE(KillListsReplacer)
{
    auto store = CScratchLists::OpenFrom(args);
    CKillPointHooks hooks;
    hooks.ArmKill(KillPointFromArgs(args, 2));
    store->Replace(L"Old", kNewList, nullptr);
    hooks.Disarm();
    return 0;
}

// The same for an update that replaces a list's text: the old text judges
// until the new one is published, never neither, and nothing of the dead
// writer stays behind.
TEST(AdblockListStore, AnUpdateKilledAtAnyInstantLeavesThePreviousTextInForce)
{
    std::vector<std::string> trace;
    {
        CScratchLists traced;
        auto store = traced.Open();
        store->Add(L"Old", L"old.txt", kOldList);
        CKillPointHooks hooks;
        hooks.ArmTrace();
        store->Replace(L"Old", kNewList, nullptr);
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
        ASSERT_EQ(RunRole(L"KillListsReplacer", args).exitCode, kKilledExitCode) << what;
        auto fresh = lists.Open();
        const std::string now = InForce(*fresh);
        EXPECT_EQ(now, published ? "new" : now == "new" ? "new" : "old") << "a process that starts now, " << what;
        published = now == "new";
        EXPECT_EQ(InForce(*store), now) << "the process that judged before, " << what;
        store.reset();
        fresh.reset();
        auto writer = lists.Open();
        writer->SetEnabled(L"Old", true);
        EXPECT_EQ(ListFiles(FolderOf(lists.files.Path())).size(), 4u) << what;
        EXPECT_EQ(InForce(*writer), now) << what;
    }
    EXPECT_TRUE(published) << "the last kill point comes after the change";
}

// ---- Lists kept current from their sources ---------------------------------

namespace {

const std::string kServedOld = "[Adblock Plus 2.0]\n! Title: Served\n! Expires: 2 days\n||old.example^\n";
const std::string kServedNew = "[Adblock Plus 2.0]\n! Title: Served\n! Expires: 6 hours\n||new.example^\n";

std::uint64_t Ticks(FILETIME time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t NowTicks()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

// Each of the lists' files with its bytes and last write time.
std::map<std::wstring, std::pair<std::string, std::uint64_t>> Snapshot(const std::wstring& folder)
{
    std::map<std::wstring, std::pair<std::string, std::uint64_t>> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"list*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do
        files[found.cFileName] = {ReadFileBytes(folder + found.cFileName), Ticks(found.ftLastWriteTime)};
    while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

CListUpdateResult UpdateOne(CAdblockListStore& store, const CListFetchOptions& options = CListFetchOptions())
{
    std::vector<CListUpdateResult> results = UpdateAdblockLists(store, L"Served", false, nullptr, options);
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? CListUpdateResult() : results[0];
}

}  // namespace

TEST(AdblockListUpdate, ExpiresSetsThePeriodAndFailuresBackOffWithASpread)
{
    EXPECT_EQ(AdblockListPeriodOf("[Adblock Plus 2.0]\n! Expires: 5 days (update frequency)\n"), 5u * 86400);
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n! Expires: 12 hours\n"), 12u * 3600);
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n! Expires: 1h\n"), 3600u);
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n! expires: 0 days\n"), kDefaultListPeriod) << "zero means nothing";
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n! Expires: 10 minutes\n"), kDefaultListPeriod) << "an unknown unit";
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n! Expires: 999999999 days\n"), kMaxListPeriod);
    EXPECT_EQ(AdblockListPeriodOf("[Adblock]\n||a.example^\n"), kDefaultListPeriod);

    const FILETIME now = {0, 0x01000000};
    auto delay = [&](DWORD period, DWORD failures, std::uint32_t random) {
        return (Ticks(AdblockListNextDue(now, period, failures, random)) - Ticks(now)) / 10000000;
    };
    const DWORD day = 86400;
    EXPECT_EQ(delay(4 * day, 0, 0), 4u * day);
    EXPECT_EQ(delay(4 * day, 0, 1000), 4u * day + 4 * day / 10) << "at most a tenth more";
    EXPECT_EQ(delay(4 * day, 1, 0), 3600u) << "an hour after the first failure";
    EXPECT_EQ(delay(4 * day, 3, 0), 4u * 3600);
    EXPECT_EQ(delay(4 * day, 40, 0), 4u * day) << "never later than the period";
    EXPECT_EQ(delay(1, 0, 0), 3600u) << "never sooner than an hour";
}

TEST(AdblockListUpdate, AListAddedByAddressIsUpdatedAndAnUnchangedOneOnlyChecked)
{
    CScratchLists lists;
    auto store = lists.Open();
    const std::wstring folder = FolderOf(lists.files.Path());
    CHttpServer server;
    CHttpServer::CResponse response;
    response.body = kServedOld;
    response.etag = "\"v1\"";
    server.Serve("/served.txt", response);
    const CAdblockListEntry added = AddAdblockListFromSource(*store, server.Url(L"/served.txt"));
    EXPECT_EQ(added.name, L"Served");
    EXPECT_EQ(added.source, server.Url(L"/served.txt"));
    EXPECT_EQ(added.etag, L"\"v1\"");
    EXPECT_EQ(added.period, 2u * 86400);
    EXPECT_EQ(InForce(*store), "old");

    // Due at its time: --if-due asks nothing before it.
    EXPECT_EQ(UpdateAdblockLists(*store, L"", true)[0].outcome, CListUpdateResult::NotDue);
    EXPECT_EQ(server.RequestLines().size(), 1u);

    // A changed copy replaces the text; the list stays off if it was, and
    // its counts are those of the new text even so.
    response.body = kServedNew + "||more.example^\n##.banner\n";
    response.etag = "\"v2\"";
    server.Serve("/served.txt", response);
    store->SetEnabled(L"Served", false);
    CListUpdateResult updated = UpdateOne(*store);
    EXPECT_EQ(updated.outcome, CListUpdateResult::Updated);
    EXPECT_FALSE(updated.entry.enabled);
    EXPECT_EQ(store->ReadCatalog().lists[0].counts.network, 2u);
    EXPECT_EQ(store->ReadCatalog().lists[0].counts.cosmetic, 1u);
    EXPECT_EQ(updated.entry.period, 6u * 3600);
    EXPECT_EQ(InForce(*store), "none");
    store->SetEnabled(L"Served", true);
    EXPECT_EQ(InForce(*store), "new");

    // Unchanged: one conditional request, answered 304; the text and image
    // files keep their bytes and times, only the catalog records the check.
    const auto before = Snapshot(folder);
    const std::uint64_t checkBefore = Ticks(store->ReadCatalog().lists[0].lastCheck);
    Sleep(20);
    CListUpdateResult checked = UpdateOne(*store);
    EXPECT_EQ(checked.outcome, CListUpdateResult::NotModified);
    EXPECT_EQ(server.RequestLines().size(), 3u);
    EXPECT_EQ(server.CountAnswers(304), 1u);
    const auto after = Snapshot(folder);
    for (const auto& [name, file] : before) {
        if (name.find(L".cat") != std::wstring::npos || name == L"lists.ctl")
            continue;
        ASSERT_TRUE(after.count(name)) << "gone: " << std::string(name.begin(), name.end());
        EXPECT_EQ(after.at(name), file) << "rewritten: " << std::string(name.begin(), name.end());
    }
    EXPECT_EQ(after.size(), before.size()) << "one catalog for another, nothing more";
    const CAdblockListEntry entry = store->ReadCatalog().lists[0];
    EXPECT_EQ(entry.lastResult, S_FALSE);
    EXPECT_GT(Ticks(entry.lastCheck), checkBefore);
    EXPECT_GE(Ticks(entry.nextDue), Ticks(entry.lastCheck) + std::uint64_t{6 * 3600} * 10000000);
    EXPECT_EQ(entry.etag, L"\"v2\"");
    EXPECT_EQ(InForce(*lists.Open()), "new") << "a process that starts now";
}

TEST(AdblockListUpdate, FilesAndFileAddressesAreSourcesToo)
{
    CScratchLists lists;
    auto store = lists.Open();
    const std::wstring path = MakeScratchDir() + L"\\served.txt";
    WriteFileBytes(path, kServedOld);
    AddAdblockListFromSource(*store, L"file:///" + path);
    EXPECT_EQ(InForce(*store), "old");
    EXPECT_EQ(UpdateOne(*store).outcome, CListUpdateResult::NotModified) << "the file's time and size did not change";
    WriteFileBytes(path, kServedNew);
    EXPECT_EQ(UpdateOne(*store).outcome, CListUpdateResult::Updated);
    EXPECT_EQ(InForce(*store), "new");
    store->Remove(L"Served");
    WriteFileBytes(path, "no header\n||x.example^\n");
    EXPECT_EQ(FailureOf([&] { AddAdblockListFromSource(*store, path); }), kListNotAdblock);
    EXPECT_EQ(FailureOf([&] { AddAdblockListFromSource(*store, path + L".absent"); }),
              HResultFromWin32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FailureOf([&] { AddAdblockListFromSource(*store, L"ftp://a.example/list.txt"); }), kListBadSource);
    EXPECT_TRUE(store->ReadCatalog().lists.empty());
}

TEST(AdblockListUpdate, EveryBadAnswerKeepsTheOldListAndSaysWhy)
{
    CScratchLists lists;
    auto store = lists.Open();
    const std::wstring folder = FolderOf(lists.files.Path());
    auto server = std::make_unique<CHttpServer>();
    server->Serve("/served.txt", kServedOld);
    AddAdblockListFromSource(*store, server->Url(L"/served.txt"));
    const std::string text = Snapshot(folder).begin()->second.first;
    CListFetchOptions quick;
    quick.timeoutMs = 1000;

    auto answer = [&](int status, std::string body, std::string type = "text/plain") {
        CHttpServer::CResponse response;
        response.status = status;
        response.body = std::move(body);
        response.contentType = std::move(type);
        return response;
    };
    CHttpServer::CResponse slow = answer(200, kServedNew);
    slow.delayMs = 3000;
    CHttpServer::CResponse cut = answer(200, kServedNew + std::string(100000, '!'));
    cut.cutAfter = cut.body.size() / 2;
    CHttpServer::CResponse redirect = answer(302, "");
    redirect.headers.push_back("Location: /login.html");
    server->Serve("/login.html", "<!DOCTYPE html><html><form>sign in</form></html>", "text/html");
    const struct
    {
        const char* what;
        CHttpServer::CResponse response;
        HRESULT reason;
    } cases[] = {
        {"404", answer(404, "not found"), HttpStatusFailure(404)},
        {"500", answer(500, "oops"), HttpStatusFailure(500)},
        {"a redirect to an HTML page", redirect, kListIsHtmlPage},
        {"a body without the header", answer(200, "! Title: Served\n||new.example^\n"), kListNotAdblock},
        {"a body cut short", cut, kListCutShort},
        {"an empty body", answer(200, ""), kListCutShort},
        {"NUL bytes", answer(200, kServedNew + std::string(64, '\0')), kListNotText},
        {"no filter at all", answer(200, "[Adblock Plus 2.0]\n! Title: Served\n"), kListNotText},
        {"50 MB of garbage", answer(200, std::string(50u << 20, 'x'), "application/octet-stream"),
         kAdblockListTooLarge},
        // Last: the server sleeps on after the client gave up.
        {"a timeout", slow, HResultFromWin32(ERROR_INTERNET_TIMEOUT)},
    };
    DWORD failures = 0;
    for (const auto& bad : cases) {
        server->Serve("/served.txt", bad.response);
        const CListUpdateResult result =
            UpdateOne(*store, bad.response.delayMs != 0 ? quick : CListFetchOptions());
        EXPECT_EQ(result.outcome, CListUpdateResult::Failed) << bad.what;
        EXPECT_EQ(result.result, bad.reason) << bad.what;
        EXPECT_FALSE(DescribeListFailure(result.result).empty()) << bad.what;
        EXPECT_EQ(InForce(*store), "old") << bad.what;
        const CAdblockListEntry entry = store->ReadCatalog().lists[0];
        EXPECT_EQ(entry.lastResult, bad.reason) << bad.what;
        EXPECT_EQ(entry.failures, ++failures) << bad.what;
        EXPECT_LE(Ticks(entry.nextDue), NowTicks() + std::uint64_t{2 * 86400 + 86400 / 5} * 10000000) << bad.what;
    }
    const CAdblockListEntry backedOff = store->ReadCatalog().lists[0];
    EXPECT_GT(Ticks(backedOff.nextDue), NowTicks() + std::uint64_t{86400} * 10000000) << "doubled up to the period";
    server.reset();
    const CListUpdateResult down = UpdateOne(*store);
    EXPECT_EQ(down.result, HResultFromWin32(ERROR_INTERNET_CANNOT_CONNECT)) << "server down";
    EXPECT_EQ(InForce(*store), "old");
    const auto files = Snapshot(folder);
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [&](const auto& file) { return file.second.first == text; }),
              1) << "the old text is still stored";
}

// args: the lists. Updates the lists that are due.
QUELLAN_TEST_ROLE(UpdateDueLists)
{
    auto store = CScratchLists::OpenFrom(args);
    const std::vector<CListUpdateResult> results = UpdateAdblockLists(*store, L"", true);
    return results.size() == 1 && (results[0].outcome == CListUpdateResult::Updated ||
                                   results[0].outcome == CListUpdateResult::NotDue)
               ? 0
               : 3;
}

TEST(AdblockListUpdate, TwoProcessesDueAtOnceFetchOnce)
{
    CScratchLists lists;
    auto store = lists.Open();
    CHttpServer server;
    server.Serve("/served.txt", kServedOld);
    AddAdblockListFromSource(*store, server.Url(L"/served.txt"));
    store->Stamp(L"Served", [](CAdblockListEntry& entry) { entry.nextDue = FILETIME{}; });
    CHttpServer::CResponse slow;
    slow.body = kServedNew;
    slow.delayMs = 1500;
    server.Serve("/served.txt", slow);
    CHandle first = StartRole(L"UpdateDueLists", lists.ToArgs());
    CHandle second = StartRole(L"UpdateDueLists", lists.ToArgs());
    EXPECT_EQ(WaitForProcess(first), 0u);
    EXPECT_EQ(WaitForProcess(second), 0u);
    EXPECT_EQ(server.RequestLines().size(), 2u) << "the add, and one update";
    EXPECT_EQ(InForce(*store), "new");
}
