// The browser helper object in this process, on a stand-in web browser and
// stand-in documents: its site, its event sink, and the injection timer.
// Another handle to the process counter plays a second browser process of
// the user, so that these helpers never call the broker (the menu entries
// are proved with real processes in BrowserProcessTest.cpp).

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "browser/BHO.h"
#include "com/Bstr.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "tools/standin/StandInBrowser.h"
#include "tools/standin/StandInDocument.h"

namespace {

constexpr wchar_t kPageUrl[] = L"http://www.example.com/page.html";
constexpr wchar_t kStyleElement[] = L"<style type=\"text/css\">*{behavior:url(#default#quellan)}</style>";
constexpr DWORD kHangMs = 10000;

size_t CountOf(const std::wstring& text, const std::wstring& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The browser keeps the helper behind IObjectWithSite, as it gets it.
CComPtr<IObjectWithSite> CreateHelper()
{
    CComPtr<IObjectWithSite> helper;
    EXPECT_EQ(S_OK, CBHO::CreateObject(nullptr, IID_IObjectWithSite, helper.PutVoid()));
    return helper;
}

class HelperObject : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        m_otherBrowserProcess = CNamedMutex(GetSharedSecurityAttributes(), MakeSharedObjectName(L"ProcessRefCount"));
        m_browser = CreateStandInBrowser();
        m_document = CreateStandInDocument(L"<html><head><title>t</title></head><body><p>x</p></body></html>", kPageUrl);
        StandInBrowser(m_browser).SetDocument(m_document);
    }
    void TearDown() override
    {
        StandInBrowser(m_browser).Close();
        StandInDocument(m_document).Close();
        m_document.Reset();
        m_browser.Reset();
        CoUninitialize();
    }

    IStandInBrowser& Browser() { return StandInBrowser(m_browser); }
    std::wstring Page() { return StandInDocument(m_document).ToHtml(); }
    size_t Injections() { return CountOf(Page(), kStyleElement); }

    CNamedMutex m_otherBrowserProcess;
    CComPtr<IWebBrowser2> m_browser;
    CComPtr<IHTMLDocument2> m_document;
};

}  // namespace

TEST_F(HelperObject, TopLevelNavigationInjectsTheBehaviorStyleAsTheHeadsFirstChild)
{
    LONG before = CBHO::HelperCount();
    CComPtr<IObjectWithSite> helper = CreateHelper();
    EXPECT_EQ(CBHO::HelperCount(), before + 1);
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    EXPECT_EQ(Browser().ConnectionCount(), 1u);
    CComPtr<IWebBrowser2> site;
    EXPECT_EQ(S_OK, helper->GetSite(IID_IWebBrowser2, site.PutVoid()));
    EXPECT_EQ(site.Get(), m_browser.Get());

    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    ASSERT_TRUE(PumpUntil([&] { return Injections() > 0; }, kHangMs));
    PumpFor(100);
    EXPECT_EQ(Page(), std::wstring(L"<html><head>") + kStyleElement + L"<title>t</title></head><body><p>x</p></body></html>");

    // Each later download that succeeds adds one more identical element.
    Browser().FireDownloadBegin();
    ASSERT_TRUE(PumpUntil([&] { return Injections() == 2; }, kHangMs));

    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    EXPECT_EQ(Browser().ConnectionCount(), 0u);
    EXPECT_EQ(E_FAIL, helper->GetSite(IID_IUnknown, site.PutVoid()));
    EXPECT_EQ(site, nullptr);
    helper.Reset();
    EXPECT_EQ(CBHO::HelperCount(), before);
}

TEST_F(HelperObject, SubFrameNavigationStartsNoTimer)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    CComPtr<IWebBrowser2> frame = CreateStandInBrowser();
    Browser().FireNavigateComplete2(frame, L"http://www.example.com/frame.html");
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), 0u);
    EXPECT_EQ(Injections(), 0u);
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
}

TEST_F(HelperObject, SecondDownloadBeforeTheFirstTickLeavesExactlyOneInjection)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    Browser().FireDownloadBegin();
    Browser().FireDownloadBegin();
    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    ASSERT_TRUE(PumpUntil([&] { return Injections() > 0; }, kHangMs));
    PumpFor(300);
    EXPECT_EQ(Injections(), 1u);
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
}

TEST_F(HelperObject, InjectionIsRetriedUntilThePageHasAHead)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    // No document yet, then one without a head: every tick fails.
    Browser().SetDocument(nullptr);
    Browser().FireDownloadBegin();
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() >= 3; }, kHangMs));
    CComPtr<IHTMLDocument2> headless = CreateStandInDocument(L"<html><body><p>x</p></body></html>", kPageUrl);
    Browser().SetDocument(headless);
    size_t asked = Browser().DocumentRequests();
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() >= asked + 3; }, kHangMs));
    EXPECT_EQ(CountOf(StandInDocument(headless).ToHtml(), kStyleElement), 0u);

    Browser().SetDocument(m_document);
    ASSERT_TRUE(PumpUntil([&] { return Injections() > 0; }, kHangMs));
    // Once it succeeded the timer is gone.
    asked = Browser().DocumentRequests();
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), asked);
    EXPECT_EQ(Injections(), 1u);
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    StandInDocument(headless).Close();
}

// A text, XML or image document has no head: once the browser says it has
// loaded, nothing more is tried.
TEST_F(HelperObject, InjectionStopsOnceADocumentWithoutAHeadHasLoaded)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    CComPtr<IHTMLDocument2> text = CreateStandInDocument(L"<html><body><pre>plain text</pre></body></html>", kPageUrl);
    Browser().SetDocument(text);
    Browser().SetReadyState(READYSTATE_INTERACTIVE);
    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() >= 3; }, kHangMs));
    Browser().SetReadyState(READYSTATE_COMPLETE);
    size_t asked = Browser().DocumentRequests();
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() > asked; }, kHangMs));
    asked = Browser().DocumentRequests();
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), asked);

    // The next navigation starts a timer again, and a complete HTML page
    // still gets its style.
    Browser().SetDocument(m_document);
    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    ASSERT_TRUE(PumpUntil([&] { return Injections() > 0; }, kHangMs));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    StandInDocument(text).Close();
}

TEST_F(HelperObject, PendingTimerNeverReachesAReleasedBrowserOrHelper)
{
    // Unsited with a tick due, then released.
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    Browser().FireDownloadBegin();
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    helper.Reset();
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), 0u);

    // Released while still sited (a browser that skips SetSite(NULL)): the
    // helper lets go of the browser's connection point and its timers.
    helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    Browser().FireDownloadBegin();
    Browser().FireDownloadBegin();
    helper.Reset();
    EXPECT_EQ(Browser().ConnectionCount(), 0u);
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), 0u);
    EXPECT_EQ(Injections(), 0u);

    // Released while its timer keeps retrying on a page without a document.
    helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    Browser().SetDocument(nullptr);
    Browser().FireDownloadBegin();
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() > 0; }, kHangMs));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    helper.Reset();
    size_t asked = Browser().DocumentRequests();
    PumpFor(300);
    EXPECT_EQ(Browser().DocumentRequests(), asked);
}

TEST_F(HelperObject, SiteContract)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    EXPECT_EQ(E_POINTER, helper->GetSite(IID_IUnknown, nullptr));
    CComPtr<IUnknown> site;
    EXPECT_EQ(E_FAIL, helper->GetSite(IID_IUnknown, site.PutVoid()));

    // A site that is not a web browser: kept, but no events.
    EXPECT_EQ(E_NOINTERFACE, helper->SetSite(m_document));
    EXPECT_EQ(S_OK, helper->GetSite(IID_IUnknown, site.PutVoid()));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));

    // Connected to one browser, another site is refused and nothing changes.
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    CComPtr<IWebBrowser2> other = CreateStandInBrowser();
    EXPECT_EQ(E_FAIL, helper->SetSite(other));
    EXPECT_EQ(StandInBrowser(other).ConnectionCount(), 0u);
    CComPtr<IWebBrowser2> current;
    EXPECT_EQ(S_OK, helper->GetSite(IID_IWebBrowser2, current.PutVoid()));
    EXPECT_EQ(current.Get(), m_browser.Get());
    Browser().FireDownloadBegin();
    ASSERT_TRUE(PumpUntil([&] { return Injections() > 0; }, kHangMs));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    EXPECT_EQ(Browser().ConnectionCount(), 0u);

    // The helper answers only its own interfaces; identity holds.
    CComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, helper->QueryInterface(IID_IUnknown, unknown.PutVoid()));
    CComPtr<IDispatch> dispatch;
    EXPECT_EQ(S_OK, helper->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    CComPtr<IUnknown> fromDispatch;
    EXPECT_EQ(S_OK, dispatch->QueryInterface(IID_IUnknown, fromDispatch.PutVoid()));
    EXPECT_EQ(unknown.Get(), fromDispatch.Get());
    CComPtr<IUnknown> none;
    EXPECT_EQ(E_NOINTERFACE, helper->QueryInterface(DIID_DWebBrowserEvents2, none.PutVoid()));
    EXPECT_EQ(none, nullptr);
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 1u);
    StandInBrowser(other).Close();
}

TEST(InjectBehaviorStyle, FailsWithoutAnHtmlDocumentOrAHead)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        EXPECT_EQ(E_NOINTERFACE, InjectBehaviorStyle(nullptr));
        // A hosted document that is not HTML.
        CComPtr<IWebBrowser2> notHtml = CreateStandInBrowser();
        EXPECT_EQ(E_NOINTERFACE, InjectBehaviorStyle(notHtml));
        CComPtr<IHTMLDocument2> headless = CreateStandInDocument(L"<body><p>x</p></body>", kPageUrl);
        EXPECT_EQ(E_NOINTERFACE, InjectBehaviorStyle(headless));
        EXPECT_EQ(StandInDocument(headless).ToHtml(), L"<body><p>x</p></body>");

        // Two heads: the first gets it.
        CComPtr<IHTMLDocument2> twoHeads = CreateStandInDocument(L"<head></head><head></head>", kPageUrl);
        EXPECT_EQ(S_OK, InjectBehaviorStyle(twoHeads));
        EXPECT_EQ(StandInDocument(twoHeads).ToHtml(), std::wstring(L"<head>") + kStyleElement + L"</head><head></head>");
        StandInDocument(headless).Close();
        StandInDocument(twoHeads).Close();
        StandInBrowser(notHtml).Close();
    }
    CoUninitialize();
}
