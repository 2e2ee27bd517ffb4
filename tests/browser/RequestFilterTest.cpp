// The request filter driven as urlmon drives a protocol object (the test is
// the aggregating binding), over the real HTTP handler, against a server on
// 127.0.0.1, with the user's real stores.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdio>

#include "browser/AllowedFrames.h"
#include "browser/RequestFilter.h"
#include "browser/RequestFilterContext.h"
#include "com/ComPtr.h"
#include "com/Module.h"
#include "tests/browser/ResourceUse.h"
#include "tests/browser/TestBinding.h"
#include "tests/storage/UserStore.h"
#include "tests/support/HttpServer.h"
#include "tests/support/UrlLoad.h"

namespace {

using testing::ElementsAre;

constexpr DWORD kAnswerTimeoutMs = 60000;

class RequestFilter : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        StoreFilters({L"*/ads/*"});
        m_server.Serve("/ads/banner.gif", "GIF89a-banner", "image/gif");
        m_server.Serve("/news/story.html", "<p>story</p>", "text/html");
    }
    void TearDown() override { CoUninitialize(); }

    CComPtr<CTestBinding> NewRequest()
    {
        CComPtr<CTestBinding> binding = CTestBinding::Create();
        EXPECT_EQ(binding->Aggregate(CreateRequestFilterFactory()), S_OK);
        return binding;
    }

    CComPtr<IUri> Uri(const std::wstring& path) const
    {
        CComPtr<IUri> uri;
        EXPECT_EQ(CreateUri(m_server.Url(path).c_str(), Uri_CREATE_CANONICALIZE, 0, uri.Put()), S_OK);
        return uri;
    }

    HRESULT StartEx(CTestBinding& binding, const std::wstring& path) const
    {
        return binding.Protocol()->StartEx(Uri(path), &binding, &binding, 0, 0);
    }

    CUserStoreReset m_reset;
    CHttpServer m_server;
};

TEST_F(RequestFilter, RefusedRequestIsAnEmptyTextDocumentThatNeverReachesTheServer)
{
    CComPtr<CTestBinding> binding = NewRequest();
    ASSERT_TRUE(binding->Protocol());

    EXPECT_EQ(StartEx(*binding, L"/ads/banner.gif?refused"), S_OK);
    EXPECT_THAT(binding->Calls(), ElementsAre("ReportProgress(13, text/plain)", "ReportProgress(22, text/plain)",
                                              "ReportData(13, 0, 0)", "ReportResult(0x00000000, 200, null)"));

    char buffer[8];
    FillMemory(buffer, sizeof buffer, 'x');
    ULONG read = 99;
    EXPECT_EQ(binding->Protocol()->Read(buffer, sizeof buffer, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "xxxxxxxx");
    EXPECT_EQ(binding->Protocol()->Read(buffer, sizeof buffer, nullptr), E_POINTER);
    EXPECT_EQ(binding->Protocol()->LockRequest(0), S_OK);
    EXPECT_EQ(binding->Protocol()->UnlockRequest(), S_OK);

    // The handler's own interfaces stay reachable through the filter.
    CComPtr<IWinInetHttpInfo> info;
    EXPECT_EQ(binding.QueryInterface(info.Put()), S_OK);
    EXPECT_TRUE(info);
    info.Reset();

    // As urlmon ends a binding; the handler was never started.
    binding->Protocol()->Abort(E_ABORT, 0);
    binding->Protocol()->Terminate(0);
    binding.Reset();

    // A request that had been sent would show up well within this time.
    Sleep(500);
    EXPECT_EQ(m_server.ConnectionCount(), 0u);
    EXPECT_TRUE(m_server.RequestLines().empty());
}

TEST_F(RequestFilter, AllowedRequestLoadsByteForByteThroughTheWrappedHandler)
{
    CHttpServer::CResponse response;
    for (int i = 0; i < 300 * 1024; ++i)
        response.body += static_cast<char>((i * 7 + i / 256) & 0xFF);
    response.contentType = "application/octet-stream";
    response.headers = {"X-Served-By: test-server"};
    m_server.Serve("/content/data.bin", response);

    CComPtr<CTestBinding> binding = NewRequest();
    EXPECT_EQ(StartEx(*binding, L"/content/data.bin?allowed"), S_OK);
    ASSERT_TRUE(binding->RunToResult(kAnswerTimeoutMs));
    EXPECT_EQ(binding->Result(), S_OK);
    EXPECT_TRUE(binding->Body() == response.body) << "got " << binding->Body().size() << " bytes";

    // The information interface is the real handler's, which saw the response.
    CComPtr<IWinInetHttpInfo> info;
    ASSERT_EQ(binding.QueryInterface(info.Put()), S_OK);
    char header[64] = "X-Served-By";
    DWORD size = sizeof header;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CUSTOM, header, &size, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::string(header, size), "test-server");
    info.Reset();

    binding->Protocol()->Terminate(0);
    EXPECT_EQ(m_server.CountRequests("/content/data.bin?allowed"), 1u);
}

TEST(RequestOrigin, PageAndKindAreWhatTheBrowserSaysAndNoMore)
{
    EXPECT_EQ(FindHeaderValue(L"Accept: */*\r\nreferer:  http://a.example/p?q \r\n", L"Referer"), L"http://a.example/p?q");
    EXPECT_EQ(FindHeaderValue(L"X-Referer: http://b/\r\nReferer2: c\r\n", L"Referer"), L"");

    // Versions 7 and 8 tell no resource of a page from another.
    EXPECT_EQ(RequestTypeFromBinding(L"Accept: */*\r\n", L"*/*", false, true), kRequestUnknown);
    const std::wstring navigation = BrowserRequestHeaders(L"http://a/f.html", L"", true);
    EXPECT_EQ(RequestTypeFromBinding(navigation, L"", false, false), kRequestDocument);
    EXPECT_EQ(RequestTypeFromBinding(navigation, L"", false, true), kRequestSubdocument);
    EXPECT_EQ(RequestTypeFromBinding(L"", L"*/*", true, true), kRequestSubdocument);
    EXPECT_EQ(RequestTypeFromBinding(L"Accept: */*\r\nx-requested-with: XMLHttpRequest\r\n", L"", false, true),
              kRequestXmlHttpRequest);
    EXPECT_EQ(RequestTypeFromBinding(L"x-flash-version: 10,0,45,2\r\n", L"", false, true), kRequestObject);
    // What later versions send, read all the same.
    EXPECT_EQ(RequestTypeFromBinding(L"Accept: text/css\r\n", L"", false, true), kRequestStylesheet);
    EXPECT_EQ(RequestTypeFromBinding(L"Accept: image/png, image/*;q=0.8\r\n", L"", false, true), kRequestImage);
    EXPECT_EQ(RequestTypeFromBinding(L"", L"application/javascript, */*;q=0.8", false, true), kRequestScript);
}

TEST_F(RequestFilter, ReadsThePageAndKindFromTheSinkAndBindInformation)
{
    CComPtr<CTestBinding> binding = NewRequest();
    const std::wstring url = m_server.Url(L"/ads/frame.html");
    binding->SetRequestHeaders(BrowserRequestHeaders(url, L"http://page.example/", true));
    CRequestOrigin origin = ReadRequestOrigin(url.c_str(), binding.Get(), binding.Get());
    EXPECT_EQ(origin.pageUrl, L"http://page.example/");
    EXPECT_EQ(origin.type, kRequestSubdocument);

    // A secure page gives no plain request its address.
    binding->SetRequestHeaders(BrowserRequestHeaders(url, L"https://page.example/", false));
    origin = ReadRequestOrigin(url.c_str(), binding.Get(), binding.Get());
    EXPECT_EQ(origin.pageUrl, L"");
    EXPECT_EQ(origin.type, kRequestUnknown);

    origin = ReadRequestOrigin(url.c_str(), nullptr, nullptr);
    EXPECT_EQ(origin.pageUrl, L"");
    EXPECT_EQ(origin.type, kRequestUnknown);
}

TEST_F(RequestFilter, RequestsThatCannotBeJudgedPassUnchecked)
{
    // Start carries no IUri: a URL that the list blocks still loads.
    CComPtr<CTestBinding> binding = NewRequest();
    EXPECT_EQ(binding->Protocol()->Start(m_server.Url(L"/ads/banner.gif?started").c_str(), binding, binding, 0, 0),
              S_OK);
    ASSERT_TRUE(binding->RunToResult(kAnswerTimeoutMs));
    EXPECT_EQ(binding->Body(), "GIF89a-banner");
    EXPECT_EQ(m_server.CountRequests("/ads/banner.gif?started"), 1u);
    binding->Protocol()->Terminate(0);

    EXPECT_FALSE(IsRequestRefused(nullptr));
    EXPECT_TRUE(IsRequestRefused(Uri(L"/ads/banner.gif")));
    EXPECT_FALSE(IsRequestRefused(Uri(L"/news/story.html")));
}

// A frame of another site inside a page of a site the user allowed: its
// requests, which name the frame as their page, are not refused while the
// tab shows that page.
TEST_F(RequestFilter, RequestsOfAFrameShownInAPageOfAnAllowedSiteLoad)
{
    const std::wstring frameUrl = L"http://frame.other.test/player.html";
    CComPtr<CTestBinding> binding = NewRequest();
    binding->SetRequestHeaders(BrowserRequestHeaders(m_server.Url(L"/ads/banner.gif"), frameUrl, false));
    EXPECT_TRUE(IsRequestRefused(Uri(L"/ads/banner.gif"), binding.Get(), binding.Get(), false));
    const int tab = 0;
    GetAllowedFrames().Remember(&tab, frameUrl);
    EXPECT_FALSE(IsRequestRefused(Uri(L"/ads/banner.gif"), binding.Get(), binding.Get(), false));
    GetAllowedFrames().Forget(&tab);
    EXPECT_TRUE(IsRequestRefused(Uri(L"/ads/banner.gif"), binding.Get(), binding.Get(), false));
}

TEST_F(RequestFilter, AUrlThatCannotBeJudgedFailsWithoutBeingSentOrAnswered)
{
    // Its canonical form is longer than the platform's URL limit.
    CComPtr<CTestBinding> binding = NewRequest();
    HRESULT hr = StartEx(*binding, L"/news/" + std::wstring(3000, L'a'));
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(binding->Calls().empty());
    binding->Protocol()->Terminate(0);
    binding.Reset();
    Sleep(500);
    EXPECT_EQ(m_server.ConnectionCount(), 0u);
}

TEST_F(RequestFilter, SessionDisabledLetsBlockedRequestsThrough)
{
    StoreSessionDisabled(true);
    EXPECT_FALSE(IsRequestRefused(Uri(L"/ads/banner.gif")));

    CComPtr<CTestBinding> binding = NewRequest();
    EXPECT_EQ(StartEx(*binding, L"/ads/banner.gif?disabled"), S_OK);
    ASSERT_TRUE(binding->RunToResult(kAnswerTimeoutMs));
    EXPECT_EQ(binding->Body(), "GIF89a-banner");
    EXPECT_EQ(m_server.CountRequests("/ads/banner.gif?disabled"), 1u);
    binding->Protocol()->Terminate(0);
}

TEST_F(RequestFilter, AFailingSinkCallEndsTheRefusalWithItsResult)
{
    CComPtr<CTestBinding> first = NewRequest();
    first->SetSinkResults(E_ABORT, S_OK, S_OK);
    EXPECT_EQ(StartEx(*first, L"/ads/banner.gif?1"), E_ABORT);
    EXPECT_THAT(first->Calls(), ElementsAre("ReportProgress(13, text/plain)"));
    char buffer[4];
    ULONG read = 7;
    EXPECT_EQ(first->Protocol()->Read(buffer, sizeof buffer, &read), S_FALSE);
    EXPECT_EQ(read, 0u);

    CComPtr<CTestBinding> second = NewRequest();
    second->SetSinkResults(S_OK, E_OUTOFMEMORY, S_OK);
    EXPECT_EQ(StartEx(*second, L"/ads/banner.gif?2"), E_OUTOFMEMORY);
    EXPECT_THAT(second->Calls(), ElementsAre("ReportProgress(13, text/plain)", "ReportProgress(22, text/plain)",
                                             "ReportData(13, 0, 0)"));

    CComPtr<CTestBinding> third = NewRequest();
    third->SetSinkResults(S_OK, S_OK, E_UNEXPECTED);
    EXPECT_EQ(StartEx(*third, L"/ads/banner.gif?3"), E_UNEXPECTED);
    EXPECT_EQ(third->Calls().size(), 4u);
}

TEST_F(RequestFilter, ExistsOnlyAggregatedAndAnswersAsOneObjectWithItsOuter)
{
    LONG locksBefore = GetModuleLockCount();
    {
        CComPtr<IClassFactory> factory = CreateRequestFilterFactory();
        CComPtr<IUnknown> unknown;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, unknown.PutVoid()), E_FAIL);
        EXPECT_FALSE(unknown);
        CComPtr<IInternetProtocol> protocol;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IInternetProtocol, protocol.PutVoid()), E_FAIL);
        EXPECT_FALSE(protocol);

        CComPtr<CTestBinding> outer = CTestBinding::Create();
        EXPECT_EQ(factory->CreateInstance(outer->Identity(), IID_IInternetProtocol,
                                          protocol.PutVoid()),
                  CLASS_E_NOAGGREGATION);
        EXPECT_FALSE(protocol);

        ASSERT_EQ(outer->Aggregate(factory), S_OK);
        IUnknown* inner = outer->Inner();
        CComPtr<IInternetProtocolRoot> root;
        CComPtr<IInternetProtocolEx> ex;
        ASSERT_EQ(inner->QueryInterface(IID_IInternetProtocolRoot, root.PutVoid()), S_OK);
        ASSERT_EQ(inner->QueryInterface(IID_IInternetProtocol, protocol.PutVoid()), S_OK);
        ASSERT_EQ(inner->QueryInterface(IID_IInternetProtocolEx, ex.PutVoid()), S_OK);
        EXPECT_EQ(static_cast<IUnknown*>(root.Get()), static_cast<IUnknown*>(ex.Get()));
        EXPECT_EQ(static_cast<IUnknown*>(protocol.Get()), static_cast<IUnknown*>(ex.Get()));
        EXPECT_EQ(ex.Get(), outer->Protocol());

        // Identity and counting are the outer object's.
        CComPtr<IUnknown> identity;
        ASSERT_EQ(ex->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
        EXPECT_EQ(identity.Get(), outer->Identity());
        CComPtr<IDispatch> none;
        EXPECT_EQ(ex->QueryInterface(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(GetModuleLockCount(), locksBefore);
}

TEST_F(RequestFilter, AThousandRefusedRequestsLeaveNothingBehind)
{
    auto refuse = [&](int i) {
        CComPtr<CTestBinding> binding = NewRequest();
        HRESULT hr = StartEx(*binding, L"/ads/banner.gif?" + std::to_wstring(i));
        binding->Protocol()->Terminate(0);
        return hr;
    };
    // The first requests set up the stores, COM and the handler's class.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(refuse(i), S_OK);
    CResourceUse before = MeasureResources();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(refuse(50 + i), S_OK);
    CResourceUse after = MeasureResources();
    std::printf("1000 refused: handles %lu -> %lu, memory %zu -> %zu KiB\n", before.handles, after.handles,
                size_t{before.memory / 1024}, size_t{after.memory / 1024});
    EXPECT_EQ(after.moduleLocks, before.moduleLocks);
    EXPECT_LE(after.handles, before.handles);
    // A filter with its handler costs far more than 64 bytes.
    EXPECT_LT(after.memory, before.memory + 64 * 1024);
    EXPECT_EQ(m_server.ConnectionCount(), 0u);
}

}  // namespace
