// The element behavior on stand-in documents, created the way the browser
// creates it: the Behavior class through its class factory, FindBehavior and
// Init for each element. It works on the user's real stores, which each test
// puts back as it found them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "browser/BHO.h"
#include "browser/Behavior.h"
#include "com/Bstr.h"
#include "com/ClassFactory.h"
#include "com/Error.h"
#include "engine/FilterRule.h"
#include "resources/QuellanLib.h"
#include "storage/FilterListStore.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "storage/SettingsStore.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/storage/UserStore.h"
#include "tools/standin/StandInDocument.h"

namespace {

constexpr wchar_t kPageUrl[] = L"http://www.example.com/index.html";
constexpr wchar_t kBehaviorRule[] = L"<style>*{behavior:url(#default#quellan)}</style>";

void SetOptions(bool removeBlockedItems, bool sessionDisabled)
{
    StoreRemoveBlockedItems(removeBlockedItems);
    StoreSessionDisabled(sessionDisabled);
}

CComPtr<IElementBehaviorFactory> CreateBehaviorFactory()
{
    CComPtr<IClassFactory> classObject(CComClassFactory::Create(&CBehavior::CreateObject).Get());
    CComPtr<IElementBehaviorFactory> factory;
    EXPECT_EQ(S_OK, classObject->CreateInstance(nullptr, IidOf<IElementBehaviorFactory>(), factory.PutVoid()));
    return factory;
}

class ElementBehavior : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        m_documents.clear();
        CoUninitialize();
    }

    // A page whose elements all get the behavior while it loads.
    IStandInDocument& Load(const std::wstring& body, const std::wstring& head = L"")
    {
        return LoadWithoutBehavior(body, kBehaviorRule + head);
    }
    IStandInDocument& LoadWithoutBehavior(const std::wstring& body, const std::wstring& head = L"")
    {
        CStandInOptions options;
        options.behaviorFactories.emplace_back(L"quellan", CreateBehaviorFactory());
        std::wstring html = L"<html><head>" + head + L"</head><body>" + body + L"</body></html>";
        m_documents.push_back(CreateStandInDocument(html, kPageUrl, options));
        return StandInDocument(m_documents.back());
    }
    static IStandInElement& Element(IStandInDocument& document, const wchar_t* id)
    {
        CComPtr<IHTMLElement> element = document.ElementById(id);
        if (!element)
            throw std::invalid_argument("no such element");
        return StandInElement(element);  // the document holds the element
    }
    static std::vector<std::wstring> Writes(IStandInDocument& document, const wchar_t* id)
    {
        return Element(document, id).StyleWrites();
    }
    static bool NothingWritten(IStandInDocument& document)
    {
        for (const CComPtr<IHTMLElement>& element : document.Elements()) {
            if (!StandInElement(element).StyleWrites().empty())
                return false;
        }
        return true;
    }

    CUserStoreSnapshot m_stores;
    std::vector<CComPtr<IHTMLDocument2>> m_documents;
};

const std::vector<std::wstring> kHidden = {L"display: none"};
const std::vector<std::wstring> kNoBackground = {L"background-image: none"};
const std::vector<std::wstring> kUntouched = {};

}  // namespace

TEST(BehaviorFactory, FindsABehaviorOnlyForItsOwnNameInAnyCase)
{
    CComPtr<IElementBehaviorFactory> factory = CreateBehaviorFactory();
    for (const wchar_t* name : {L"quellan", L"QUELLAN", L"QuelLan"}) {
        CComBSTR text(name);
        CComPtr<IElementBehavior> behavior;
        EXPECT_EQ(S_OK, factory->FindBehavior(text, nullptr, nullptr, behavior.Put())) << name;
        EXPECT_NE(behavior, nullptr);
    }
    for (const wchar_t* name : {L"quellanx", L"quella", L"", L"other"}) {
        CComBSTR text(name);
        IElementBehavior* behavior = reinterpret_cast<IElementBehavior*>(1);
        EXPECT_EQ(E_FAIL, factory->FindBehavior(text, nullptr, nullptr, &behavior)) << name;
        EXPECT_EQ(behavior, nullptr);
    }
    IElementBehavior* behavior = reinterpret_cast<IElementBehavior*>(1);
    EXPECT_EQ(E_FAIL, factory->FindBehavior(nullptr, nullptr, nullptr, &behavior));
    EXPECT_EQ(behavior, nullptr);
    EXPECT_EQ(E_POINTER, factory->FindBehavior(CComBSTR(L"quellan"), nullptr, nullptr, nullptr));
}

TEST_F(ElementBehavior, EveryInitFailsSoNoElementKeepsTheBehavior)
{
    SetOptions(true, false);
    StoreFilters({L"*ads*"});
    IStandInDocument& page = Load(L"<img id=ad src='http://ads.example/a.gif'><p id=text>hello</p>");
    std::vector<CComPtr<IHTMLElement>> elements = page.Elements();
    ASSERT_EQ(elements.size(), 6u);  // html head style body img p
    for (const CComPtr<IHTMLElement>& element : elements) {
        std::vector<CStandInBehaviorRecord> records = StandInElement(element).Behaviors();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].findResult, S_OK);
        EXPECT_EQ(records[0].initResult, E_FAIL);
        EXPECT_FALSE(records[0].kept);
    }
    EXPECT_EQ(Writes(page, L"ad"), kHidden);
    EXPECT_EQ(Writes(page, L"text"), kUntouched);
}

TEST_F(ElementBehavior, BlockedImageIsHiddenWithItsSourceUnchanged)
{
    SetOptions(true, false);
    StoreFilters({L"*/banners/*"});
    IStandInDocument& page = Load(L"<img id=ad src='/banners/top.gif'><img id=photo src='/photos/cat.jpg'>");
    EXPECT_EQ(Writes(page, L"ad"), kHidden);
    EXPECT_EQ(Element(page, L"ad").Attribute(L"src"), L"/banners/top.gif");
    EXPECT_EQ(Writes(page, L"photo"), kUntouched);
}

TEST_F(ElementBehavior, BlockedBackgroundGoesButTheElementStays)
{
    SetOptions(true, false);
    StoreFilters({L"http://ads.example/*"});
    IStandInDocument& page = Load(L"<div id=ad class=promo>Sale</div><div id=ok class=plain>News</div>",
                                  L"<style>.promo{background:url(http://ads.example/bg.png)}"
                                  L".plain{background-image:url('http://cdn.example/bg.png')}</style>");
    EXPECT_EQ(Writes(page, L"ad"), kNoBackground);
    EXPECT_EQ(Element(page, L"ad").InlineStyle(L"display"), L"");
    EXPECT_EQ(Writes(page, L"ok"), kUntouched);
    EXPECT_NE(page.ToHtml().find(L"<div id=\"ad\" class=\"promo\" style=\"background-image: none;\">Sale</div>"),
              std::wstring::npos);
}

TEST_F(ElementBehavior, BlockedImageWithABlockedBackgroundIsHiddenFirst)
{
    SetOptions(true, false);
    StoreFilters({L"*ads*"});
    IStandInDocument& page =
        Load(L"<img id=both src='http://ads.example/a.gif' style='background-image: url(http://ads.example/b.png)'>");
    EXPECT_EQ(Writes(page, L"both"), (std::vector<std::wstring>{L"display: none", L"background-image: none"}));
}

TEST_F(ElementBehavior, FlashAndFramesAreHiddenScriptsAreLeftToTheRequestFilter)
{
    SetOptions(true, false);
    StoreFilters({L"*ads*"});
    IStandInDocument& page = Load(
        L"<object id=flash type='application/x-shockwave-flash' data='/ads/movie.swf'></object>"
        L"<iframe id=frame src='ads/frame.html'></iframe>"
        L"<embed id=embed src='/ads/movie.swf'>"
        L"<script id=script src='/ads/track.js'></script>");
    EXPECT_EQ(Writes(page, L"flash"), kHidden);
    EXPECT_EQ(Writes(page, L"frame"), kHidden);
    EXPECT_EQ(Writes(page, L"embed"), kUntouched);
    EXPECT_EQ(Writes(page, L"script"), kUntouched);
}

// The Adblock lists judge each element as its request was judged: with its
// page and its kind.
TEST_F(ElementBehavior, AdblockListsJudgeElementsWithTheirPageAndKind)
{
    SetOptions(true, false);
    StoreFilters({});  // (whatever an earlier test left would decide first)
    CUserStoreReset lists;
    StoreAdblockList("[Adblock Plus 2.0]\n||ads.example^$image\n"
                     "||frames.example^$subdocument,domain=www.example.com\n||cdn.example^$script\n");
    IStandInDocument& page = Load(L"<img id=image src='http://ads.example/a.gif'>"
                                  L"<iframe id=frame src='http://frames.example/f.html'></iframe>"
                                  L"<img id=scriptOnly src='http://cdn.example/x.gif'>"
                                  L"<div id=bg style='background-image:url(http://ads.example/bg.png)'>x</div>");
    EXPECT_EQ(Writes(page, L"image"), kHidden);
    EXPECT_EQ(Writes(page, L"frame"), kHidden);
    EXPECT_EQ(Writes(page, L"scriptOnly"), kUntouched);
    EXPECT_EQ(Writes(page, L"bg"), kNoBackground);
}

// Each URL is judged as the browser requests it: resolved against the
// document's base, escapes kept (a "%00" must not cut it short), without a
// fragment.
TEST_F(ElementBehavior, UrlsAreJudgedAsTheBrowserRequestsThem)
{
    SetOptions(true, false);
    StoreFilters({L"http://www.example.com/ads/*", L"http://cdn.example/*", L"*/banner/*", L"*.swf"});
    IStandInDocument& page =
        Load(L"<div id=relative style='background-image:url(ads/bg.png)'>x</div>"
             L"<div id=promo class=promo>x</div>"
             L"<iframe id=zero src='frames/a%00/banner/x.html'></iframe>"
             L"<object id=flash type='application/x-shockwave-flash' data='/media/intro.swf#loop'></object>"
             L"<div id=other style='background-image:url(img/ads/bg.png)'>x</div>",
             L"<style>.promo{background:url(ads/top.png)}</style>");
    EXPECT_EQ(Writes(page, L"relative"), kNoBackground);
    EXPECT_EQ(Writes(page, L"promo"), kNoBackground);
    EXPECT_EQ(Writes(page, L"zero"), kHidden);
    EXPECT_EQ(Writes(page, L"flash"), kHidden);
    EXPECT_EQ(Writes(page, L"other"), kUntouched);

    IStandInDocument& based = Load(L"<div id=bg style='background-image:url(bg.png)'>x</div>"
                                   L"<iframe id=frame src='banner.html'></iframe>",
                                   L"<base href='http://cdn.example/page/'>");
    EXPECT_EQ(Writes(based, L"bg"), kNoBackground);
    EXPECT_EQ(Writes(based, L"frame"), kHidden);
}

TEST_F(ElementBehavior, OptionOffOrSessionDisabledTouchesNothing)
{
    StoreFilters({L"*ads*"});
    const wchar_t* body = L"<img id=ad src='http://ads.example/a.gif' style='background: url(/ads/b.png)'>";
    SetOptions(false, false);
    IStandInDocument& optionOff = Load(body);
    SetOptions(true, true);
    IStandInDocument& sessionDisabled = Load(body);
    for (IStandInDocument* page : {&optionOff, &sessionDisabled}) {
        EXPECT_TRUE(NothingWritten(*page));
        EXPECT_EQ(Element(*page, L"ad").Behaviors().at(0).initResult, E_FAIL);
    }
}

TEST_F(ElementBehavior, TheOptionCountsWhenAnElementGetsTheBehavior)
{
    StoreFilters({L"*ads*"});
    SetOptions(false, false);
    IStandInDocument& page = LoadWithoutBehavior(L"<img id=early src='http://ads.example/a.gif'>");
    // Switched on before the helper object injects the style: the elements
    // get the behavior only now, and are hidden.
    SetOptions(true, false);
    ASSERT_EQ(S_OK, InjectBehaviorStyle(m_documents.back()));
    EXPECT_EQ(Writes(page, L"early"), kHidden);
    // Switched off again: an element inserted later is left alone, the one
    // hidden before stays hidden.
    SetOptions(false, false);
    CComPtr<IMarkupServices> markup;
    ASSERT_EQ(S_OK, m_documents.back()->QueryInterface(IidOf<IMarkupServices>(), markup.PutVoid()));
    CComPtr<IHTMLElement> late, body;
    wchar_t attributes[] = L"id=late src='http://ads.example/b.gif'";
    ASSERT_EQ(S_OK, markup->CreateElement(TAGID_IMG, attributes, late.Put()));
    for (const CComPtr<IHTMLElement>& element : page.Elements()) {
        if (StandInElement(element).Tag() == L"body")
            body = element;
    }
    CComPtr<IMarkupPointer> pointer;
    ASSERT_EQ(S_OK, markup->CreateMarkupPointer(pointer.Put()));
    ASSERT_EQ(S_OK, pointer->MoveAdjacentToElement(body, ELEM_ADJ_BeforeEnd));
    ASSERT_EQ(S_OK, markup->InsertElement(late, pointer, pointer));
    EXPECT_EQ(Element(page, L"late").Behaviors().size(), 1u);
    EXPECT_EQ(Writes(page, L"late"), kUntouched);
    EXPECT_EQ(Element(page, L"early").InlineStyle(L"display"), L"none");
}

TEST_F(ElementBehavior, InitReportsWhatFailed)
{
    SetOptions(true, false);
    StoreFilters({L"*ads*"});
    IStandInDocument& page = LoadWithoutBehavior(L"<img id=ad src='http://ads.example/a.gif'>");
    Element(page, L"ad").FailStyleWrites(E_ACCESSDENIED);
    ASSERT_EQ(S_OK, InjectBehaviorStyle(m_documents.back()));
    EXPECT_EQ(Element(page, L"ad").Behaviors().at(0).initResult, E_ACCESSDENIED);

    IStandInDocument& other = LoadWithoutBehavior(L"<img id=ad src='http://ads.example/a.gif'>");
    other.FailBehaviorSiteElement(E_UNEXPECTED);
    ASSERT_EQ(S_OK, InjectBehaviorStyle(m_documents.back()));
    EXPECT_EQ(Element(other, L"ad").Behaviors().at(0).initResult, E_UNEXPECTED);
    EXPECT_TRUE(NothingWritten(other));
}

namespace {

class CFakeSite final : public CComObjectBase<CFakeSite, IElementBehaviorSite>
{
public:
    explicit CFakeSite(IHTMLElement* element) : m_element(element) {}
    STDMETHODIMP GetElement(IHTMLElement** element) override
    {
        m_element.CopyTo(element);
        return S_OK;
    }
    STDMETHODIMP RegisterNotification(LONG) override { return S_OK; }

private:
    CComPtr<IHTMLElement> m_element;
};

}  // namespace

TEST(ExamineBehaviorElement, JudgesUrlsUnderTheSettingsReadAccessElementFirst)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        CScratchStore files(L"settings.bin");
        std::unique_ptr<CSharedStore> settings =
            OpenSettingsStore(files.Path().c_str(), files.ReaderCountName(), files.WriteLockName());
        {
            CStoreWriter writer(*settings);
            SetRemoveBlockedItems(writer, true);
        }
        CNamedMutex readerCount(nullptr, files.ReaderCountName());
        const ULONG idle = GetHandleCount(readerCount.Get());

        CComPtr<IHTMLDocument2> document = CreateStandInDocument(
            L"<body><img id=x src='http://a.example/img.gif' style='background-image:url(http://a.example/bg.png)'>"
            L"</body>",
            kPageUrl);
        CComPtr<IHTMLElement> image = StandInDocument(document).ElementById(L"x");
        CComPtr<CFakeSite> site = CFakeSite::Create(image.Get());
        std::vector<std::wstring> asked;
        std::vector<ULONG> readers;
        auto blockAll = [&](const wchar_t* url) {
            asked.push_back(url);
            readers.push_back(GetHandleCount(readerCount.Get()));
            return false;
        };
        ExamineBehaviorElement(site, *settings, blockAll);
        EXPECT_EQ(asked, (std::vector<std::wstring>{L"http://a.example/img.gif", L"http://a.example/bg.png"}));
        EXPECT_EQ(readers, (std::vector<ULONG>{idle + 1, idle + 1}));
        EXPECT_EQ(GetHandleCount(readerCount.Get()), idle);

        // A failure while hiding the element skips its background.
        asked.clear();
        StandInElement(image).FailStyleWrites(E_ACCESSDENIED);
        HRESULT thrown = S_OK;
        try {
            ExamineBehaviorElement(site, *settings, blockAll);
        } catch (const CHResultException& e) {
            thrown = e.GetHResult();
        }
        EXPECT_EQ(thrown, E_ACCESSDENIED);
        EXPECT_EQ(asked, (std::vector<std::wstring>{L"http://a.example/img.gif"}));
        EXPECT_EQ(GetHandleCount(readerCount.Get()), idle);
    }
    CoUninitialize();
}

TEST_F(ElementBehavior, ShippedLibraryHidesBlockedElementsThroughTheRegisteredBehavior)
{
    SetOptions(true, false);
    StoreFilters({L"*ads*", L"%*ads.example/allowed/*"});
    CShippedLibrary library;
    struct CRegistration
    {
        const CShippedLibrary& library;
        HRESULT result = library.RegisterServer();
        ~CRegistration() { EXPECT_EQ(S_OK, library.UnregisterServer()); }
    } registration{library};
    ASSERT_EQ(S_OK, registration.result);
    {
        // No factory given: the document finds the class through the
        // browser's default behaviors, as the browser does.
        CComPtr<IHTMLDocument2> document = CreateStandInDocument(
            std::wstring(L"<html><head>") + kBehaviorRule +
                L"</head><body><img id=ad src='http://ads.example/a.gif'>"
                L"<img id=allowed src='http://ads.example/allowed/a.gif'>"
                L"<div id=bg style='background-image:url(http://ads.example/bg.png)'>text</div></body></html>",
            kPageUrl);
        IStandInDocument& page = StandInDocument(document);
        for (const CComPtr<IHTMLElement>& element : page.Elements()) {
            std::vector<CStandInBehaviorRecord> records = StandInElement(element).Behaviors();
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].factoryResult, S_OK);
            EXPECT_EQ(records[0].findResult, S_OK);
            EXPECT_EQ(records[0].initResult, E_FAIL);
        }
        EXPECT_EQ(Writes(page, L"ad"), kHidden);
        EXPECT_EQ(Writes(page, L"allowed"), kUntouched);
        EXPECT_EQ(Writes(page, L"bg"), kNoBackground);
    }
    // Every behavior was dropped: nothing of the library is left alive.
    EXPECT_EQ(S_OK, library.CanUnloadNow());
}
