#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/ListUpdateScheduler.h"
#include "storage/MachineLists.h"
#include "storage/NamedObjects.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"

namespace {

const std::string kServedOld = "[Adblock Plus 2.0]\n! Title: Served\n||old.example^\n";
const std::string kServedNew = "[Adblock Plus 2.0]\n! Title: Served\n! Expires: 6 hours\n||new.example^\n";

// Lists in a scratch folder, with write and update locks of their own.
struct CScratchLists
{
    CScratchStore files{L"storage.bin"};
    std::wstring folder = files.Path().substr(0, files.Path().find_last_of(L'\\'));
    CAdblockListStore store{folder, MakeUniqueName(L"lists"), GetSharedSecurityAttributes()};
};

bool Blocks(CAdblockListStore& store, const wchar_t* url)
{
    RequestContext request;
    request.url = url;
    return store.Judge(request).decision == CAdblockVerdict::Block;
}

// Quick passes, no machine lists.
CListUpdateTiming QuickTiming()
{
    CListUpdateTiming timing;
    timing.firstDelayMs = 50;
    timing.periodMs = 100;
    timing.spreadMs = 0;
    timing.fetch.timeoutMs = 1500;
    timing.fetch.totalTimeoutMs = 3000;
    return timing;
}

void MakeDue(CAdblockListStore& store, const std::wstring& name)
{
    store.Stamp(name, [](CAdblockListEntry& entry) { entry.nextDue = FILETIME{}; });
}

}  // namespace

TEST(ListUpdateScheduler, UpdatesADueListUnaskedButNotWhilePausedNorBeforeItIsDueAgain)
{
    CScratchLists lists;
    CHttpServer server;
    server.Serve("/served.txt", kServedOld);
    AddAdblockListFromSource(lists.store, server.Url(L"/served.txt"));
    MakeDue(lists.store, L"Served");
    server.Serve("/served.txt", kServedNew);

    volatile LONG paused = 1;
    CListUpdateScheduler scheduler(lists.store, QuickTiming(), [&] { return paused != 0; }, nullptr);
    scheduler.Start();
    ASSERT_TRUE(server.WaitFor([&] { return scheduler.GetPassCount() >= 3; }, 10000));
    EXPECT_EQ(server.RequestLines().size(), 1u) << "blocking off for the session: nothing fetched";

    InterlockedExchange(&paused, 0);
    ASSERT_TRUE(server.WaitFor([&] { return Blocks(lists.store, L"http://new.example/x"); }, 10000));
    EXPECT_FALSE(Blocks(lists.store, L"http://old.example/x"));
    const LONG passes = scheduler.GetPassCount();
    ASSERT_TRUE(server.WaitFor([&] { return scheduler.GetPassCount() >= passes + 3; }, 10000));
    EXPECT_EQ(server.RequestLines().size(), 2u) << "fetched once, then not due for hours";
    scheduler.Stop();
    EXPECT_TRUE(scheduler.WaitForEnd(5000));
}

TEST(ListUpdateScheduler, StopDuringAHangingFetchReturnsAtOnceAndFetchesNothingMore)
{
    CScratchLists lists;
    // A server each: one that hangs does not keep the other from answering.
    CHttpServer first;
    CHttpServer second;
    first.Serve("/a.txt", kServedOld);
    second.Serve("/b.txt", "[Adblock Plus 2.0]\n! Title: Other\n||other.example^\n");
    AddAdblockListFromSource(lists.store, first.Url(L"/a.txt"));
    AddAdblockListFromSource(lists.store, second.Url(L"/b.txt"));
    MakeDue(lists.store, L"Served");
    MakeDue(lists.store, L"Other");
    CHttpServer::CResponse never;
    never.body = kServedNew;
    never.delayMs = 60000;
    first.Serve("/a.txt", never);

    auto scheduler = std::make_unique<CListUpdateScheduler>(lists.store, QuickTiming(), nullptr, nullptr);
    scheduler->Start();
    ASSERT_TRUE(first.WaitFor([&] { return first.RequestLines().size() == 2; }, 10000)) << "the first fetch hangs";
    const DWORD start = GetTickCount();
    scheduler->Stop();
    EXPECT_LT(GetTickCount() - start, 100u);
    // The fetch under way ends within its time-outs; the other list is not
    // asked for after the stop.
    EXPECT_TRUE(scheduler->WaitForEnd(QuickTiming().fetch.totalTimeoutMs + 5000));
    EXPECT_EQ(second.RequestLines().size(), 1u);
    EXPECT_TRUE(Blocks(lists.store, L"http://old.example/x")) << "a list that did not come stays as it was";
}

TEST(MachineLists, OnlyUsableSourcesAreTakenFromTheValue)
{
    EXPECT_EQ(ParseMachineLists(L" http://intranet/easy.txt;https://b.example/l.txt  HTTP://INTRANET/easy.txt;;"),
              (std::vector<std::wstring>{L"http://intranet/easy.txt", L"https://b.example/l.txt"}))
        << "separators, and a duplicate in another letter case";
    EXPECT_EQ(ParseMachineLists(L"file:///C:/lists/a.txt \\\\server\\share\\b.txt C:\\lists\\c.txt"),
              (std::vector<std::wstring>{L"file:///C:/lists/a.txt", L"\\\\server\\share\\b.txt", L"C:\\lists\\c.txt"}));
    EXPECT_TRUE(ParseMachineLists(L"ftp://x/a.txt relative\\a.txt \\\\.\\pipe\\x http:// javascript:alert(1)").empty());
    EXPECT_TRUE(ParseMachineLists(L"http://a/" + std::wstring(kMaxAdblockListSource, L'x')).empty());
    EXPECT_TRUE(ParseMachineLists(L"http://a/x.txt " + std::wstring(kMaxMachineListsText, L' ')).empty())
        << "a value too long is ignored whole";
    std::wstring many;
    for (int i = 0; i < 100; ++i)
        many += L"http://a/" + std::to_wstring(i) + L".txt ";
    EXPECT_EQ(ParseMachineLists(many).size(), kMaxMachineLists);
}

TEST(MachineLists, EachAddressIsOfferedOnceAndFetchedAtTheNextUpdate)
{
    CScratchLists lists;
    CHttpServer server;
    server.Serve("/mine.txt", "[Adblock Plus 2.0]\n! Title: Mine\n||mine.example^\n");
    server.Serve("/easylist.txt", kServedNew);
    AddAdblockListFromSource(lists.store, server.Url(L"/mine.txt"));
    const std::vector<std::wstring> machine = {server.Url(L"/mine.txt"), server.Url(L"/easylist.txt")};

    EXPECT_EQ(OfferMachineLists(lists.store, machine, 1000), std::vector<std::wstring>{L"easylist"})
        << "the user's own list with that source is only marked offered";
    EXPECT_EQ(server.RequestLines().size(), 1u) << "offering fetches nothing";
    CAdblockCatalog catalog = lists.store.ReadCatalog();
    ASSERT_EQ(catalog.lists.size(), 2u);
    EXPECT_EQ(catalog.lists[0].name, L"Mine");
    EXPECT_EQ(catalog.lists[1].source, server.Url(L"/easylist.txt"));

    const std::vector<CListUpdateResult> results = UpdateAdblockLists(lists.store, L"", true);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].outcome, CListUpdateResult::NotDue);
    EXPECT_EQ(results[1].outcome, CListUpdateResult::Updated);
    EXPECT_TRUE(Blocks(lists.store, L"http://new.example/x"));

    // Removed by the user: it does not come back, also not under another
    // spelling; a new address does.
    lists.store.Remove(L"easylist");
    std::vector<std::wstring> more = machine;
    more.push_back(server.Url(L"/EASYLIST.txt"));
    more.push_back(server.Url(L"/other.txt"));
    EXPECT_EQ(OfferMachineLists(lists.store, more, 1000), std::vector<std::wstring>{L"other"});
    EXPECT_EQ(OfferMachineLists(lists.store, more, 1000), std::vector<std::wstring>{});
    EXPECT_EQ(lists.store.ReadCatalog().lists.size(), 2u);
}

TEST(MachineLists, AnOfferedRecordThatIsNotOursOffersNothing)
{
    CScratchLists lists;
    const std::wstring record = lists.folder + L"\\" + kOfferedListsFileName;
    ASSERT_TRUE(CreateDirectoryW(record.c_str(), nullptr));
    EXPECT_TRUE(OfferMachineLists(lists.store, {L"http://127.0.0.1:9/a.txt"}, 1000).empty());
    EXPECT_TRUE(lists.store.ReadCatalog().lists.empty());
    RemoveDirectoryW(record.c_str());

    WriteFileBytes(record, std::string(300 << 10, 'x'));
    EXPECT_TRUE(OfferMachineLists(lists.store, {L"http://127.0.0.1:9/a.txt"}, 1000).empty()) << "too large";
    EXPECT_TRUE(lists.store.ReadCatalog().lists.empty());
}
