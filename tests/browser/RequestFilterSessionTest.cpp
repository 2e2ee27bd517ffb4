// The request filter registered in the process's urlmon session, as the
// browser helper object registers it, and requests made through urlmon's URL
// moniker against a server on 127.0.0.1; other processes play other browser
// processes of the same user.

#include <gtest/gtest.h>

#include <windows.h>
#include <urlmon.h>

#include <cstdio>

#include "browser/RequestFilter.h"
#include "com/Export.h"
#include "tests/browser/ResourceUse.h"
#include "tests/storage/UserStore.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Process.h"
#include "tests/support/Roles.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/UrlLoad.h"

namespace {

constexpr DWORD kChildTimeoutMs = 240000;

class CComApartment
{
public:
    CComApartment() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    HRESULT Result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

class RequestFilterSession : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(m_apartment.Result()));
        ASSERT_NO_THROW(RegisterRequestFilter());
        StoreFilters({L"*/ads/*"});
        m_server.Serve("/ads/banner.gif", "GIF89a-banner", "image/gif");
        m_server.Serve("/promo/offer.js", "var offer = 1;", "application/javascript");
    }

    std::wstring Url(const std::wstring& path) const { return m_server.Url(path); }

    CComApartment m_apartment;
    CUserStoreReset m_reset;
    CHttpServer m_server;
};

std::wstring CtlPath()
{
    return ShippedBinaryDir() + L"\\ctl\\QuellanCtl.exe";
}

TEST_F(RequestFilterSession, BlockedUrlNeverReachesTheServerAndLoadsEmpty)
{
    CUrlLoad blocked = LoadUrl(Url(L"/ads/banner.gif?session"));
    EXPECT_EQ(blocked.hr, S_OK);
    EXPECT_EQ(blocked.body, "");
    EXPECT_EQ(blocked.mimeType, L"text/plain");
    EXPECT_TRUE(blocked.httpInfoReached) << "the handler's information interface must stay reachable";

    CHttpServer::CResponse page;
    for (int i = 0; i < 100000; ++i)
        page.body += static_cast<char>(i * 31 % 251);
    page.contentType = "application/octet-stream";
    page.headers = {"X-Served-By: test-server"};
    m_server.Serve("/news/page.bin", page);
    CUrlLoad allowed = LoadUrl(Url(L"/news/page.bin?session"), "X-Served-By");
    EXPECT_EQ(allowed.hr, S_OK);
    EXPECT_EQ(allowed.openResult, S_OK);
    EXPECT_TRUE(allowed.body == page.body) << "got " << allowed.body.size() << " bytes";
    EXPECT_TRUE(allowed.httpInfoReached);
    EXPECT_EQ(allowed.header, "test-server");

    EXPECT_EQ(m_server.CountRequests("/ads/"), 0u);
    EXPECT_EQ(m_server.CountRequests("/news/page.bin?session"), 1u);
}

TEST_F(RequestFilterSession, RefusedSecureRequestOpensNoConnectionUnlessTheUserTurnedThatOff)
{
    // The server speaks no TLS: it counts the hello as a connection.
    const std::wstring https = L"https://127.0.0.1:" + std::to_wstring(m_server.Port());
    CUrlLoad refused = LoadUrl(https + L"/ads/banner.gif?secure");
    EXPECT_EQ(refused.hr, S_OK);
    EXPECT_EQ(refused.body, "");
    EXPECT_EQ(refused.mimeType, L"text/plain");
    // Refused by an Adblock list, too.
    StoreAdblockList("[Adblock Plus 2.0]\n||127.0.0.1^*/tracking/$image\n");
    CUrlLoad listed = LoadUrl(https + L"/tracking/pixel.gif?secure", nullptr,
                              L"Accept: image/png, image/*;q=0.8\r\n");
    EXPECT_EQ(listed.hr, S_OK);
    EXPECT_EQ(listed.body, "");
    Sleep(200);
    EXPECT_EQ(m_server.ConnectionCount(), 0u);

    CProgramResult off = RunProgram(CtlPath(), {L"option", L"filter-https", L"off"});
    ASSERT_EQ(off.exitCode, 0u) << off.err;
    LoadUrl(https + L"/ads/banner.gif?unfiltered");
    EXPECT_TRUE(m_server.WaitFor([&] { return m_server.ConnectionCount() > 0; }, 30000));

    // Plain requests are filtered whatever that option says.
    LoadUrl(Url(L"/ads/banner.gif?plain"));
    EXPECT_EQ(m_server.CountRequests("/ads/"), 0u);
}

TEST_F(RequestFilterSession, ListChangedByAnotherProcessAppliesToTheVeryNextRequest)
{
    EXPECT_EQ(LoadUrl(Url(L"/promo/offer.js?1")).body, "var offer = 1;");

    CProgramResult add = RunProgram(CtlPath(), {L"add", L"*/promo/*"});
    ASSERT_EQ(add.exitCode, 0u) << add.err;
    EXPECT_EQ(LoadUrl(Url(L"/promo/offer.js?2")).body, "");

    CProgramResult clear = RunProgram(CtlPath(), {L"clear"});
    ASSERT_EQ(clear.exitCode, 0u) << clear.err;
    EXPECT_EQ(LoadUrl(Url(L"/promo/offer.js?3")).body, "var offer = 1;");

    EXPECT_EQ(m_server.CountRequests("/promo/offer.js?1"), 1u);
    EXPECT_EQ(m_server.CountRequests("/promo/offer.js?2"), 0u);
    EXPECT_EQ(m_server.CountRequests("/promo/offer.js?3"), 1u);
}

// Another browser process: registers its own filter and loads the URL given.
// Exit code 0 when the load succeeded (blocked or not).
// The Adblock lists judge each request in its page and by its kind, as far as
// the browser tells them (browser/RequestFilterContext.h).
TEST_F(RequestFilterSession, AdblockListsJudgeEachRequestByItsPageAndKind)
{
    CHttpServer other("127.0.0.2");
    other.Serve("/lib/track.js", "var track = 1;", "application/javascript");
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring list = std::wstring(temp) + L"quellan-session-list.txt";
    WriteFileBytes(list, "[Adblock Plus 2.0]\n! Title: Session list\n||127.0.0.2^$third-party\n"
                         "/promo/offer.js$script\n");
    CProgramResult add = RunProgram(CtlPath(), {L"lists", L"add", list});
    DeleteFileW(list.c_str());
    ASSERT_EQ(add.exitCode, 0u) << add.err;
    EXPECT_NE(add.out.find("2 network filters"), std::string::npos) << add.out;

    // A resource of a page on 127.0.0.1 served from 127.0.0.2: third party.
    // The page and the kind come from the headers the client adds, which
    // the request filter reads through its sink as the HTTP handler does.
    const std::wstring page = Url(L"/news/index.html");
    const std::wstring track = other.Url(L"/lib/track.js");
    EXPECT_TRUE(LoadUrl(track + L"?third", nullptr, BrowserRequestHeaders(track, page, false)).body.empty());
    // The same resource on a page of its own site.
    EXPECT_EQ(LoadUrl(track + L"?first", nullptr, BrowserRequestHeaders(track, other.Url(L"/"), false)).body,
              "var track = 1;");
    EXPECT_EQ(other.CountRequests("/lib/track.js?third"), 0u);
    EXPECT_EQ(other.CountRequests("/lib/track.js?first"), 1u);

    // "$script": a frame the browser navigates to that URL, and an image (the
    // narrower Accept of later versions says so) load; a resource whose kind
    // Internet Explorer 7/8 leave unknown is judged by every type option.
    const std::wstring offer = Url(L"/promo/offer.js");
    EXPECT_EQ(LoadUrl(offer + L"?frame", nullptr, BrowserRequestHeaders(offer, page, true)).body, "var offer = 1;");
    EXPECT_EQ(LoadUrl(offer + L"?image", nullptr, L"Accept: image/png, image/*;q=0.8\r\nReferer: " + page + L"\r\n").body,
              "var offer = 1;");
    EXPECT_EQ(LoadUrl(offer + L"?unknown", nullptr, BrowserRequestHeaders(offer, page, false)).body, "");
    EXPECT_EQ(m_server.CountRequests("/promo/offer.js?unknown"), 0u);

    // The user's own exception allows what a list blocks.
    StoreFilters({L"*/ads/*", L"%*track.js?mine*"});
    EXPECT_EQ(LoadUrl(track + L"?mine", nullptr, BrowserRequestHeaders(track, page, false)).body, "var track = 1;");
}

QUELLAN_TEST_ROLE(LoadInBrowserProcess)
{
    CComApartment apartment;
    if (FAILED(apartment.Result()) || args.size() != 1)
        return 2;
    try {
        RegisterRequestFilter();
    } catch (...) {
        return 3;
    }
    return LoadUrl(args[0]).hr == S_OK ? 0 : 4;
}

TEST_F(RequestFilterSession, SessionDisabledAppliesToThisProcessOnly)
{
    StoreSessionDisabled(true);
    EXPECT_EQ(LoadUrl(Url(L"/ads/banner.gif?here")).body, "GIF89a-banner");

    EXPECT_EQ(RunRole(L"LoadInBrowserProcess", {Url(L"/ads/banner.gif?elsewhere")}, kChildTimeoutMs).exitCode, 0u);

    EXPECT_EQ(m_server.CountRequests("/ads/banner.gif?here"), 1u);
    EXPECT_EQ(m_server.CountRequests("/ads/banner.gif?elsewhere"), 0u);
}

// A browser process whose library registered the filter and was then
// unloaded by whoever loaded it (as COM does when the apartment that loaded
// it ends): the session keeps calling the filter's factory.
QUELLAN_TEST_ROLE(UnloadRegisteringLibrary)
{
    CComApartment apartment;
    if (FAILED(apartment.Result()))
        return 2;
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path = path.substr(0, path.rfind(L'\\') + 1) + L"filter_host_library.dll";
    HMODULE library = LoadLibraryW(path.c_str());
    if (!library)
        return 3;
    using RegisterFunction = HRESULT (*)();
    auto registerFilter = GetExport<RegisterFunction>(library, "RegisterFilterFromLibrary");
    if (!registerFilter || FAILED(registerFilter()))
        return 4;
    FreeLibrary(library);
    if (!GetModuleHandleW(path.c_str()))
        return 5;  // unloaded under the session

    CUserStoreReset reset;
    CHttpServer server;
    server.Serve("/ads/item.txt", "advert");
    StoreFilters({L"*/ads/*"});
    CUrlLoad load = LoadUrl(server.Url(L"/ads/item.txt"));
    return load.hr == S_OK && load.body.empty() && server.RequestLines().empty() ? 0 : 6;
}

TEST(RequestFilterLibrary, StaysLoadedAndFilteringAfterItsLoaderLetsItGo)
{
    EXPECT_EQ(RunRole(L"UnloadRegisteringLibrary", {}, kChildTimeoutMs).exitCode, 0u)
        << "5: the library was unloaded, 6: the request was not refused";
}

// A browser process that makes many requests in a row, half of them refused,
// then shuts COM down and exits normally. Prints what it measured; the exit
// code says what went wrong.
QUELLAN_TEST_ROLE(ManyRequests)
{
    int requests = args.empty() ? 1000 : _wtoi(args[0].c_str());
    // "refused" or "allowed": every request so; otherwise half and half.
    const std::wstring mix = args.size() > 1 ? args[1] : L"";
    CComApartment apartment;
    if (FAILED(apartment.Result()))
        return 2;
    CUserStoreReset reset;
    CHttpServer server;
    server.Serve("/page/item.txt", std::string(2048, 'p'));
    server.Serve("/ads/item.txt", "advert");
    try {
        RegisterRequestFilter();
        StoreFilters({L"*/ads/*"});
    } catch (...) {
        return 3;
    }
    auto load = [&](int i) {
        bool refused = mix == L"refused" || (mix != L"allowed" && i % 2 == 0);
        std::wstring path = refused ? L"/ads/item.txt?" : L"/page/item.txt?";
        CUrlLoad result = LoadUrl(server.Url(path + std::to_wstring(i)));
        return result.hr == S_OK && result.body == (refused ? std::string() : std::string(2048, 'p'));
    };
    // Warm up: first use of wininet, the stores and the session allocate for good.
    for (int i = 0; i < 100; ++i) {
        if (!load(i))
            return 4;
    }
    CResourceUse before = MeasureResources();
    for (int i = 0; i < requests; ++i) {
        if (!load(100 + i))
            return 5;
    }
    CResourceUse after = MeasureResources();
    std::printf("requests %d: handles %lu -> %lu, memory %zu -> %zu KiB, module locks %ld -> %ld, served %zu\n",
                requests, before.handles, after.handles, size_t{before.memory / 1024}, size_t{after.memory / 1024},
                before.moduleLocks, after.moduleLocks, server.RequestLines().size());
    if (after.moduleLocks != before.moduleLocks)
        return 6;  // a filter object (or its factory) outlived its request
    if (after.handles > before.handles + 8)
        return 7;
    // Wine's own binding objects keep about 1.5 KiB per request that reaches
    // its HTTP handler; a refused one must keep nothing (it kept 2 KiB, the
    // binding's MIME-sniffing buffer, until the filter said its type was
    // verified).
    const SIZE_T perRequest = mix == L"refused" ? 128 : 4096;
    if (after.memory > before.memory + static_cast<SIZE_T>(requests) * perRequest)
        return 8;
    if (server.CountRequests("/ads/") != 0)
        return 9;
    return 0;
}

// A browser process whose tabs fetch at once: 8 threads, each its own
// apartment, through the one session (which counts the filter's class factory
// on every thread), half the requests refused. Exit code 0 when every load
// gave what it should.
QUELLAN_TEST_ROLE(ManyThreads)
{
    const int perThread = args.empty() ? 200 : _wtoi(args[0].c_str());
    CUserStoreReset reset;
    CHttpServer server;
    server.Serve("/page/item.txt", "page");
    server.Serve("/ads/item.txt", "advert");
    {
        CComApartment apartment;
        try {
            RegisterRequestFilter();
            StoreFilters({L"*/ads/*"});
        } catch (...) {
            return 3;
        }
    }
    struct CWork
    {
        CHttpServer* server;
        int perThread;
        int thread;
        volatile LONG* failures;

        static DWORD WINAPI Run(void* context)
        {
            const CWork& job = *static_cast<CWork*>(context);
            CComApartment apartment;
            for (int i = 0; i < job.perThread; ++i) {
                bool refused = i % 2 == 0;
                std::wstring path = (refused ? L"/ads/item.txt?" : L"/page/item.txt?") + std::to_wstring(job.thread) +
                                    L"-" + std::to_wstring(i);
                CUrlLoad load = LoadUrl(job.server->Url(path));
                if (load.hr != S_OK || load.body != (refused ? "" : "page"))
                    InterlockedIncrement(job.failures);
            }
            return 0;
        }
    };
    volatile LONG failures = 0;
    constexpr int kThreads = 8;
    CWork work[kThreads];
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        work[t] = {&server, perThread, t, &failures};
        threads[t] = CreateThread(nullptr, 0, &CWork::Run, &work[t], 0, nullptr);
        if (!threads[t])
            return 4;
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    std::printf("%d threads x %d requests: %ld failed, served %zu\n", kThreads, perThread, failures,
                server.RequestLines().size());
    if (failures != 0)
        return 5;
    return server.CountRequests("/ads/") == 0 ? 0 : 6;
}

TEST(RequestFilterLoad, RefusedRequestsKeepNoMemory)
{
    CProgramResult result = RunRole(L"ManyRequests", {L"1000", L"refused"}, kChildTimeoutMs);
    EXPECT_EQ(result.exitCode, 0u) << result.out << "8: memory grew";
}

TEST(RequestFilterLoad, EightTabThreadsShareTheSessionSafely)
{
    CProgramResult result = RunRole(L"ManyThreads", {L"150"}, kChildTimeoutMs);
    EXPECT_EQ(result.exitCode, 0u) << result.out << "5: a load failed, 6: a refused request was sent, "
                                                   "other: the process crashed";
}

TEST(RequestFilterLoad, AThousandRequestsLeakNothingAndTeardownIsClean)
{
    EXPECT_EQ(RunRole(L"ManyRequests", {L"1000"}, kChildTimeoutMs).exitCode, 0u)
        << "6: filter objects leaked, 7: handles leaked, 8: memory grew, 9: a refused request was sent, "
           "other: a load failed or the process crashed";
}

}  // namespace
