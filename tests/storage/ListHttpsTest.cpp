// Lists fetched over HTTPS through the real WinINet, from a server whose
// certificate the user's Windows trusts or not.

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "com/Error.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/NamedObjects.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TlsFront.h"
#include "tests/support/Wine.h"

namespace {

const std::string kOld = "[Adblock Plus 2.0]\n! Title: Served\n||old.example^\n";
const std::string kNew = "[Adblock Plus 2.0]\n! Title: Served\n||new.example^\n";

bool Blocks(CAdblockListStore& store, const wchar_t* url)
{
    RequestContext request;
    request.url = url;
    return store.Judge(request).decision == CAdblockVerdict::Block;
}

}  // namespace

TEST(AdblockListHttps, AListComesOnlyFromACertificateWindowsTrusts)
{
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "the TLS server runs on the Wine host";
    CScratchStore files(L"storage.bin");
    const std::wstring folder = files.Path().substr(0, files.Path().find_last_of(L'\\') + 1);
    CAdblockListStore store(folder, MakeUniqueName(L"lists"), GetSharedSecurityAttributes());
    CHttpServer server;
    CHttpServer::CResponse response;
    response.body = kOld;
    response.etag = "\"v1\"";
    server.Serve("/served.txt", response);
    CTlsFront front(server.Port(), {"trusted", "stranger"});
    CTrustedRoot root(front.Certificate("trusted"));

    AddAdblockListFromSource(store, front.Url(L"/served.txt"));
    EXPECT_TRUE(Blocks(store, L"http://old.example/x"));
    const std::vector<CListUpdateResult> unchanged = UpdateAdblockLists(store, L"Served", false);
    ASSERT_EQ(unchanged.size(), 1u);
    EXPECT_EQ(unchanged[0].outcome, CListUpdateResult::NotModified);
    EXPECT_EQ(server.CountAnswers(304), 1u) << "a conditional request, answered 304";

    // The same address with a certificate no authority vouches for:
    // refused before any request, with the reason; the old list stays.
    response.body = kNew;
    response.etag = "\"v2\"";
    server.Serve("/served.txt", response);
    front.Present("stranger");
    const std::vector<CListUpdateResult> refused = UpdateAdblockLists(store, L"Served", false);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].outcome, CListUpdateResult::Failed);
    EXPECT_EQ(refused[0].result, HResultFromWin32(ERROR_INTERNET_INVALID_CA));
    EXPECT_NE(DescribeListFailure(refused[0].result).find(L"not trusted by Windows"), std::wstring::npos);
    EXPECT_EQ(server.RequestLines().size(), 2u) << "nothing asked over it";
    EXPECT_TRUE(Blocks(store, L"http://old.example/x"));
    EXPECT_FALSE(Blocks(store, L"http://new.example/x"));
    EXPECT_EQ(store.ReadCatalog().lists[0].lastResult, refused[0].result);
}
