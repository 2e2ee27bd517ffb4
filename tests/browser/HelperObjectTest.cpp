// The browser helper object in this process, on a stand-in web browser and
// stand-in documents: its site, its event sink, and the injection timer.
// Another handle to the process counter plays a second browser process of
// the user, so that these helpers never call the broker (the menu entries
// are proved with real processes in BrowserProcessTest.cpp).

#include <gtest/gtest.h>

#include <windows.h>

#include <shobjidl.h>

#include <optional>
#include <string>

#include "browser/AllowedFrames.h"
#include "browser/BHO.h"
#include "browser/Behavior.h"
#include "com/ClassFactory.h"
#include "com/Bstr.h"
#include "com/Handle.h"
#include "engine/AllowedSites.h"
#include "storage/AdblockListStore.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "ui/Automation.h"
#include "tests/storage/UserStore.h"
#include "tools/standin/StandInBrowser.h"
#include "verdict/RequestVerdict.h"
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

// The ids of the elements the document's style sheets hide, in document
// order.
std::wstring HiddenIds(IHTMLDocument2* document)
{
    std::wstring ids;
    for (const CComPtr<IHTMLElement>& element : StandInDocument(document).Elements()) {
        CComPtr<IHTMLElement2> element2;
        CComPtr<IHTMLCurrentStyle> current;
        CComBSTR display;
        std::optional<std::wstring> id = StandInElement(element).Attribute(L"id");
        if (id && SUCCEEDED(element->QueryInterface(IidOf<IHTMLElement2>(), element2.PutVoid())) &&
            SUCCEEDED(element2->get_currentStyle(current.Put())) && current &&
            SUCCEEDED(current->get_display(display.Put())) && BstrText(display) == L"none")
            ids += *id + L" ";
    }
    return ids;
}

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

    // A later download of the same document leaves it as it is: the style
    // is in once (the hiding sheets would otherwise pile up to the
    // browser's limit of sheets per page).
    Browser().FireDownloadBegin();
    size_t asked = Browser().DocumentRequests();
    ASSERT_TRUE(PumpUntil([&] { return Browser().DocumentRequests() > asked; }, kHangMs));
    PumpFor(100);
    EXPECT_EQ(Injections(), 1u);

    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    EXPECT_EQ(Browser().ConnectionCount(), 0u);
    EXPECT_EQ(E_FAIL, helper->GetSite(IID_IUnknown, site.PutVoid()));
    EXPECT_EQ(site, nullptr);
    helper.Reset();
    EXPECT_EQ(CBHO::HelperCount(), before);
}

// Every frame navigates with its own browser object as pDisp: nested
// frames and a frame a script adds after the page loaded get the style too,
// and the behavior attaches to their elements.
TEST_F(HelperObject, EveryFrameGetsTheStyleNestedAndAddedLater)
{
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    struct CFrame
    {
        CComPtr<IWebBrowser2> browser = CreateStandInBrowser();
        CComPtr<IHTMLDocument2> document;
        size_t Injections() { return CountOf(StandInDocument(document).ToHtml(), kStyleElement); }
    };
    auto makeFrame = [](const wchar_t* url) {
        CFrame frame;
        frame.document = CreateStandInDocument(L"<html><head></head><body><img src=\"a.gif\"></body></html>", url);
        StandInBrowser(frame.browser).SetDocument(frame.document);
        return frame;
    };
    CFrame outer = makeFrame(L"http://www.example.com/outer.html");
    CFrame nested = makeFrame(L"http://nested.example.org/inner.html");
    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    Browser().FireNavigateComplete2(outer.browser, L"http://www.example.com/outer.html");
    Browser().FireNavigateComplete2(nested.browser, L"http://nested.example.org/inner.html");
    ASSERT_TRUE(PumpUntil([&] { return Injections() && outer.Injections() && nested.Injections(); }, kHangMs));
    Browser().SetReadyState(READYSTATE_COMPLETE);
    PumpFor(100);

    CFrame later = makeFrame(L"http://later.example.net/added.html");
    Browser().FireNavigateComplete2(later.browser, L"http://later.example.net/added.html");
    ASSERT_TRUE(PumpUntil([&] { return later.Injections() > 0; }, kHangMs));
    PumpFor(100);
    for (CFrame* frame : {&outer, &nested, &later}) {
        EXPECT_EQ(frame->Injections(), 1u);
        IStandInElement& image = StandInElement(StandInDocument(frame->document).Elements().back());
        EXPECT_EQ(image.Tag(), L"img");
        EXPECT_EQ(image.Behaviors().size(), 1u);
    }
    EXPECT_EQ(Injections(), 1u);

    // A frame that navigates again gets the style in its new document.
    CComPtr<IHTMLDocument2> next = CreateStandInDocument(L"<html><head></head><body></body></html>", kPageUrl);
    StandInBrowser(outer.browser).SetDocument(next);
    Browser().FireNavigateComplete2(outer.browser, kPageUrl);
    ASSERT_TRUE(PumpUntil([&] { return CountOf(StandInDocument(next).ToHtml(), kStyleElement) == 1; }, kHangMs));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    for (CFrame* frame : {&outer, &nested, &later}) {
        StandInBrowser(frame->browser).Close();
        StandInDocument(frame->document).Close();
    }
    StandInDocument(next).Close();
}

// The element rules of the Adblock lists that are on reach the page and its
// frames, each by its own host; a site the user allowed shows everything.
TEST_F(HelperObject, ListsElementRulesHideWhatTheySayInPageAndFrames)
{
    CUserStoreReset reset;
    StoreAdblockList("! Title: Hiding\n"
                     "##.ad-banner\n"
                     "##div[id^=\"sponsor\"]\n"
                     "example.com##.site-ad\n"
                     "other.test##.other-ad\n"
                     "##.promo\n"
                     "example.com#@#.promo\n"
                     "##.bad:last-child, .good-too\n"
                     "##div:has(> p)\n"
                     "##.after-bad\n");
    const wchar_t body[] = L"<html><head></head><body><div id=\"banner\" class=\"ad-banner\"></div>"
                           L"<div id=\"sponsor-1\"></div><div id=\"site\" class=\"site-ad\"></div>"
                           L"<div id=\"other\" class=\"other-ad\"></div><div id=\"promo\" class=\"promo\"></div>"
                           L"<div id=\"good\" class=\"good-too\"></div><div id=\"bad\" class=\"bad\"><p id=\"plain\">"
                           L"</p></div><div id=\"after\" class=\"after-bad\"></div></body></html>";
    const wchar_t frameUrl[] = L"http://frame.other.test/f.html";
    auto show = [&](CComPtr<IHTMLDocument2>& page, CComPtr<IHTMLDocument2>& frameDocument) {
        CComPtr<IObjectWithSite> helper = CreateHelper();
        EXPECT_EQ(S_OK, helper->SetSite(m_browser));
        page = CreateStandInDocument(body, kPageUrl);
        Browser().SetDocument(page);
        CComPtr<IWebBrowser2> frame = CreateStandInBrowser();
        frameDocument = CreateStandInDocument(body, frameUrl);
        StandInBrowser(frame).SetDocument(frameDocument);
        Browser().FireNavigateComplete2(m_browser, kPageUrl);
        Browser().FireNavigateComplete2(frame, frameUrl);
        EXPECT_TRUE(PumpUntil([&] {
            return CountOf(StandInDocument(page).ToHtml(), kStyleElement) &&
                   CountOf(StandInDocument(frameDocument).ToHtml(), kStyleElement);
        }, kHangMs));
        EXPECT_EQ(S_OK, helper->SetSite(nullptr));
        StandInBrowser(frame).Close();
    };
    CComPtr<IHTMLDocument2> page, frameDocument;
    show(page, frameDocument);
    EXPECT_EQ(HiddenIds(page), L"banner sponsor-1 site good after ");
    EXPECT_EQ(HiddenIds(frameDocument), L"banner sponsor-1 other promo good after ");
    StandInDocument(page).Close();
    StandInDocument(frameDocument).Close();

    GetAdblockListStore().Edit(kAllowedSitesListName, L"", [](const std::string* text) {
        return AddAllowedSite(text ? *text : std::string(), "example.com");
    });
    show(page, frameDocument);
    EXPECT_EQ(HiddenIds(page), L"");
    // A frame of another site inside it shows everything too.
    EXPECT_EQ(HiddenIds(frameDocument), L"");
    StandInDocument(page).Close();
    StandInDocument(frameDocument).Close();

    // A list text another program damaged, read for the first time: pages
    // get no hiding until the lists change, and still their behavior.
    StoreAdblockList("! Title: More\n##.promo\n");
    for (const CAdblockListEntry& entry : GetAdblockListStore().ReadCatalog().lists) {
        if (entry.name == L"More") {
            CFileHandle file(CreateFileW(GetAdblockListStore().GetTextPath(entry.id).c_str(), GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(file);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file.Get(), "##.p", 4, &written, nullptr));
        }
    }
    show(page, frameDocument);
    EXPECT_EQ(HiddenIds(page), L"");
    EXPECT_EQ(HiddenIds(frameDocument), L"");
    StandInDocument(page).Close();
    StandInDocument(frameDocument).Close();
}

// A site the user allowed shows everything in every frame of its pages,
// whatever site the frame is of: no hiding sheet reaches the frame and the
// behavior leaves the frame's blocked image. The same frame in a page of a
// site not allowed is hidden; the helper's release forgets the frame.
TEST_F(HelperObject, FramesOfAPageOfAnAllowedSiteShowEverything)
{
    CUserStoreReset reset;
    StoreRemoveBlockedItems(true);
    StoreAdblockList("! Title: Ads\n||ads.other.test^\n##.promo\n");
    GetAdblockListStore().Edit(kAllowedSitesListName, L"", [](const std::string* text) {
        return AddAllowedSite(text ? *text : std::string(), "example.com");
    });
    const wchar_t frameUrl[] = L"http://frame.other.test/f.html";
    struct CShown
    {
        size_t frameSheets;
        std::wstring imageDisplay;
        std::wstring hidden;
    };
    auto show = [&](const wchar_t* pageUrl) {
        CComPtr<IObjectWithSite> helper = CreateHelper();
        EXPECT_EQ(S_OK, helper->SetSite(m_browser));
        CComPtr<IHTMLDocument2> page = CreateStandInDocument(L"<html><head></head><body></body></html>", pageUrl);
        Browser().SetDocument(page);
        CStandInOptions options;
        CComPtr<IClassFactory> classObject(CComClassFactory::Create(&CBehavior::CreateObject).Get());
        CComPtr<IElementBehaviorFactory> factory;
        EXPECT_EQ(S_OK, classObject->CreateInstance(nullptr, IidOf<IElementBehaviorFactory>(), factory.PutVoid()));
        options.behaviorFactories.emplace_back(L"quellan", factory);
        CComPtr<IWebBrowser2> frame = CreateStandInBrowser();
        CComPtr<IHTMLDocument2> frameDocument = CreateStandInDocument(
            L"<html><head></head><body><img id=\"ad\" src=\"http://ads.other.test/a.png\">"
            L"<div id=\"promo\" class=\"promo\"></div></body></html>",
            frameUrl, options);
        StandInBrowser(frame).SetDocument(frameDocument);
        Browser().FireNavigateComplete2(m_browser, pageUrl);
        Browser().FireNavigateComplete2(frame, frameUrl);
        EXPECT_TRUE(PumpUntil([&] { return CountOf(StandInDocument(frameDocument).ToHtml(), kStyleElement) > 0; },
                              kHangMs));
        CShown shown{CountOf(StandInDocument(frameDocument).ToHtml(), L"<style"),
                     StandInElement(StandInDocument(frameDocument).ElementById(L"ad")).InlineStyle(L"display"),
                     HiddenIds(frameDocument)};
        EXPECT_EQ(S_OK, helper->SetSite(nullptr));
        EXPECT_FALSE(GetAllowedFrames().Contains(frameUrl));
        StandInBrowser(frame).Close();
        StandInDocument(frameDocument).Close();
        StandInDocument(page).Close();
        return shown;
    };
    CShown elsewhere = show(L"http://www.other.test/page.html");
    EXPECT_GT(elsewhere.frameSheets, 1u);
    EXPECT_EQ(elsewhere.imageDisplay, L"none");
    EXPECT_EQ(elsewhere.hidden, L"ad promo ");

    CShown allowed = show(kPageUrl);
    EXPECT_EQ(allowed.frameSheets, 1u) << "the behavior style alone";
    EXPECT_EQ(allowed.imageDisplay, L"");
    EXPECT_EQ(allowed.hidden, L"");
}

// The menu's "Don't block on this site" on a page that already shows frames
// of other sites (one inside another) lets them load unblocked at once,
// without a new navigation; "Block on this site again" takes that site's
// line alone out of the list and blocks them again at once.
TEST_F(HelperObject, AllowingAndDisallowingTheShownSiteReachesItsOpenFrames)
{
    CUserStoreReset reset;
    const std::string handWritten = "! Title: Allowed sites\n@@||news.test^$document\n";
    GetAdblockListStore().Edit(kAllowedSitesListName, L"", [&](const std::string*) { return handWritten; });
    const wchar_t frameUrl[] = L"http://frame.other.test/f.html";
    const wchar_t innerUrl[] = L"http://inner.other.test/i.html";
    CComPtr<IWebBrowser2> frame = CreateStandInBrowser(), inner = CreateStandInBrowser(),
                          loading = CreateStandInBrowser();
    CComPtr<IHTMLDocument2> frameDocument = CreateStandInDocument(L"<p>f</p>", frameUrl);
    CComPtr<IHTMLDocument2> innerDocument = CreateStandInDocument(L"<p>i</p>", innerUrl);
    StandInBrowser(frame).SetDocument(frameDocument);
    StandInBrowser(inner).SetDocument(innerDocument);
    // A frame that has no document yet is passed over.
    StandInDocument(m_document).AddFrame(loading);
    StandInDocument(m_document).AddFrame(frame);
    StandInDocument(frameDocument).AddFrame(inner);

    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    Browser().FireNavigateComplete2(m_browser, kPageUrl);
    Browser().FireNavigateComplete2(frame, frameUrl);
    Browser().FireNavigateComplete2(inner, innerUrl);
    EXPECT_FALSE(IsPageShownOnAllowedSite(frameUrl));

    CComPtr<IAutomation> menu;
    ASSERT_EQ(S_OK, CAutomation::CreateObject(nullptr, IID_IAutomation, menu.PutVoid()));
    VARIANT_BOOL done = VARIANT_FALSE;
    EXPECT_EQ(S_OK, menu->AllowSite(m_document, &done));
    EXPECT_EQ(VARIANT_TRUE, done);
    EXPECT_TRUE(IsPageShownOnAllowedSite(frameUrl));
    EXPECT_TRUE(IsPageShownOnAllowedSite(innerUrl));

    EXPECT_EQ(S_OK, menu->DisallowSite(m_document, &done));
    EXPECT_EQ(VARIANT_TRUE, done);
    EXPECT_FALSE(IsPageShownOnAllowedSite(frameUrl));
    EXPECT_FALSE(IsPageShownOnAllowedSite(innerUrl));
    EXPECT_FALSE(IsPageShownOnAllowedSite(kPageUrl));
    std::string listText = "(no list)";
    for (const CAdblockListEntry& entry : GetAdblockListStore().ReadCatalog().lists) {
        if (entry.name == kAllowedSitesListName)
            listText = GetAdblockListStore().ReadText(entry);
    }
    EXPECT_EQ(handWritten, listText);
    // On a site that is not allowed the entry changes nothing.
    EXPECT_EQ(S_OK, menu->DisallowSite(m_document, &done));
    EXPECT_EQ(VARIANT_FALSE, done);

    // The page went away before the menu's page ran: the site is allowed,
    // and there is nothing to walk.
    Browser().SetDocument(nullptr);
    EXPECT_EQ(S_OK, menu->AllowSite(m_document, &done));
    EXPECT_EQ(VARIANT_TRUE, done);
    EXPECT_FALSE(IsPageShownOnAllowedSite(frameUrl));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    for (IWebBrowser2* browser : {frame.Get(), inner.Get(), loading.Get()})
        StandInBrowser(browser).Close();
    StandInDocument(frameDocument).Close();
    StandInDocument(innerDocument).Close();
}

// Pop-ups: the lists' "$popup" and "$document" block filters stop the window
// before it opens, clicked or not; any other window opens, and so does
// every window a page of a site the user allowed opens.
TEST_F(HelperObject, ListsPopupFiltersStopNewWindowsBeforeTheyOpen)
{
    CUserStoreReset reset;
    StoreAdblockList("! Title: Pop-ups\n"
                     "||popads.test^$popup\n"
                     "||landing.test^$document\n"
                     "@@||popads.test/ok/$popup\n");
    CComPtr<IObjectWithSite> helper = CreateHelper();
    ASSERT_EQ(S_OK, helper->SetSite(m_browser));
    const DWORD click = NWMF_USERINITED | NWMF_FIRST;
    EXPECT_FALSE(Browser().OpenNewWindow(L"http://www.popads.test/offer", kPageUrl, 0));
    EXPECT_FALSE(Browser().OpenNewWindow(L"http://www.popads.test/offer", kPageUrl, click));
    EXPECT_FALSE(Browser().OpenNewWindow(L"https://landing.test/", kPageUrl, 0));
    EXPECT_TRUE(Browser().OpenNewWindow(L"http://news.test/article", kPageUrl, click));
    EXPECT_TRUE(Browser().OpenNewWindow(L"http://popads.test/ok/1", L"http://other.test/", 0));
    // IE 6 names no URL: nothing to judge.
    EXPECT_TRUE(Browser().OpenNewWindowAsIE6());
    EXPECT_EQ(3u, Browser().OpenedWindows());

    // A pop-up filter says nothing about the same URL as a resource.
    RequestContext image;
    image.url = L"http://www.popads.test/offer";
    image.pageUrl = kPageUrl;
    image.type = kRequestImage;
    EXPECT_TRUE(IsRequestAllowed(image));

    GetAdblockListStore().Edit(kAllowedSitesListName, L"", [](const std::string* text) {
        return AddAllowedSite(text ? *text : std::string(), "example.com");
    });
    EXPECT_TRUE(Browser().OpenNewWindow(L"http://www.popads.test/offer", kPageUrl, 0));
    EXPECT_FALSE(Browser().OpenNewWindow(L"http://www.popads.test/offer", L"http://other.test/", 0));
    EXPECT_EQ(S_OK, helper->SetSite(nullptr));
    EXPECT_TRUE(Browser().OpenNewWindow(L"http://www.popads.test/offer", L"http://other.test/", 0));
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
