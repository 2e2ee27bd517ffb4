// Blockable items and the page scan on stand-in documents.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "browser/BlockableItem.h"
#include "browser/PageScan.h"
#include "com/Bstr.h"
#include "com/Error.h"
#include "tools/standin/StandInDocument.h"

namespace {

constexpr wchar_t kPageUrl[] = L"http://www.example.com/news/index.html";

constexpr wchar_t kPage[] = LR"html(<!DOCTYPE html>
<html><head><title>News</title>
<style>
#styled { background-image: url("http://ads.example/bg.png") }
.banner { background: #fff url(/img/banner.png) no-repeat }
</style>
<script src="js/ads.js"></script>
<script>var inline = 1;</script>
<script src="">var empty = 1;</script>
</head><body>
<img id="photo" src="images/photo.jpg">
<img id="empty" src="" style="background-image: url(http://ads.example/pixel.gif)">
<img id="nosrc">
<img id="both" src="http://ads.example/banner.gif" style="background-image: url('http://ads.example/bg2.png')">
<iframe id="frame" src="frames/%61d.html"></iframe>
<object id="flash" classid="clsid:D27CDB6E-AE6D-11cf-96B8-444553540000"><param name="movie" value="swf/ad.swf"></object>
<object id="other" classid="clsid:00000000-0000-0000-0000-000000000001" data="x.bin"></object>
<embed id="embed" src="movie.swf" type="application/x-shockwave-flash">
<div id="styled">text</div>
<div class="banner">b</div>
<div id="none" style="background-image: none"></div>
<div id="two" style="background-image: url(a.png), url(b.png)"></div>
</body></html>)html";

using CItemText = std::pair<std::wstring, std::wstring>;  // type, URL

std::wstring Combine(const wchar_t* base, const wchar_t* relative)
{
    wchar_t url[INTERNET_MAX_URL_LENGTH];
    DWORD length = INTERNET_MAX_URL_LENGTH;
    if (!InternetCombineUrlW(base, relative, url, &length, 0))
        return L"(cannot combine)";
    return url;
}

std::vector<CItemText> ScanAll(IHTMLDocument2* document)
{
    std::vector<CItemText> items;
    CPageScan scan(document);
    while (CBlockableItemPtr item = scan.NextItem())
        items.emplace_back(BstrText(item->GetType()), BstrText(item->GetUrl()));
    return items;
}

HRESULT ThrownBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
    return S_OK;
}

class BlockableItems : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }

    CComPtr<IHTMLElement> Element(const wchar_t* id) { return StandInDocument(m_document).ElementById(id); }

    CComPtr<IHTMLDocument2> m_document = CreateStandInDocument(kPage, kPageUrl);
};

}  // namespace

TEST_F(BlockableItems, ScanGivesEveryItemInDocumentOrderElementItemFirst)
{
    const std::vector<CItemText> expected = {
        {L"script", L"http://www.example.com/news/js/ads.js"},
        // A script without a source gives none; one with an empty source
        // gives whatever the platform makes of an empty relative URL.
        {L"script", Combine(kPageUrl, L"")},
        {L"image", L"http://www.example.com/news/images/photo.jpg"},
        // An empty source gives no image item; the background still counts.
        {L"background", L"http://ads.example/pixel.gif"},
        {L"image", L"http://ads.example/banner.gif"},
        {L"background", L"http://ads.example/bg2.png"},
        // Resolved against the page as the browser requests them, percent
        // escapes kept.
        {L"frame", L"http://www.example.com/news/frames/%61d.html"},
        {L"flash", L"http://www.example.com/news/swf/ad.swf"},
        {L"background", L"http://ads.example/bg.png"},
        {L"background", L"http://www.example.com/img/banner.png"},
    };
    EXPECT_EQ(ScanAll(m_document), expected);
}

TEST_F(BlockableItems, ElementItemsAreImagesFlashAndFramesNeverScripts)
{
    auto script = StandInDocument(m_document).Elements()[4];  // <script src="js/ads.js">
    ASSERT_EQ(StandInElement(script).Tag(), L"script");
    EXPECT_EQ(MakeElementItem(script), nullptr);
    EXPECT_NE(MakeScriptItem(script), nullptr);

    EXPECT_EQ(MakeScriptItem(Element(L"photo")), nullptr);
    EXPECT_EQ(MakeElementItem(Element(L"nosrc")), nullptr);
    EXPECT_EQ(MakeElementItem(Element(L"empty")), nullptr);
    EXPECT_EQ(MakeElementItem(Element(L"other")), nullptr);  // not a Flash control
    EXPECT_EQ(MakeElementItem(Element(L"embed")), nullptr);
    EXPECT_EQ(MakeBackgroundItem(Element(L"none")), nullptr);
    EXPECT_EQ(MakeBackgroundItem(Element(L"two")), nullptr);
    EXPECT_EQ(MakeElementItem(nullptr), nullptr);
}

TEST_F(BlockableItems, BlockHidesTheElementOrTakesItsBackgroundAndLeavesTheSource)
{
    CComPtr<IHTMLElement> both = Element(L"both");
    CBlockableItemPtr image = MakeElementItem(both);
    CBlockableItemPtr background = MakeBackgroundItem(both);
    ASSERT_TRUE(image && background);
    image->Block();
    background->Block();
    IStandInElement& element = StandInElement(both);
    EXPECT_EQ(element.StyleWrites(), (std::vector<std::wstring>{L"display: none", L"background-image: none"}));
    EXPECT_EQ(element.Attribute(L"src"), L"http://ads.example/banner.gif");

    // A script's item cannot change its element.
    CComPtr<IHTMLElement> script = StandInDocument(m_document).Elements()[4];
    MakeScriptItem(script)->Block();
    EXPECT_TRUE(StandInElement(script).StyleWrites().empty());
}

TEST_F(BlockableItems, ItemsOutliveTheScanAndTheDocument)
{
    CComPtr<IHTMLElement> photo = Element(L"photo");
    CBlockableItemPtr kept;
    {
        CPageScan scan(m_document);
        while (CBlockableItemPtr item = scan.NextItem()) {
            if (BstrText(item->GetType()) == L"image") {
                kept = std::move(item);
                break;
            }
        }
    }
    m_document.Reset();
    ASSERT_NE(kept, nullptr);
    kept->Block();
    EXPECT_EQ(StandInElement(photo).InlineStyle(L"display"), L"none");
}

TEST_F(BlockableItems, BlockReportsAStyleThatCannotBeChanged)
{
    CComPtr<IHTMLElement> both = Element(L"both");
    CBlockableItemPtr image = MakeElementItem(both);
    CBlockableItemPtr background = MakeBackgroundItem(both);
    StandInElement(both).FailStyleWrites(E_ACCESSDENIED);
    EXPECT_EQ(ThrownBy([&] { image->Block(); }), E_ACCESSDENIED);
    EXPECT_EQ(ThrownBy([&] { background->Block(); }), E_ACCESSDENIED);
}

TEST_F(BlockableItems, ScanNeedsAnHtmlDocument)
{
    EXPECT_EQ(ThrownBy([] { CPageScan scan(nullptr); }), E_NOINTERFACE);
    CComPtr<IDispatch> notADocument;
    ASSERT_EQ(S_OK, Element(L"photo")->QueryInterface(IID_IDispatch, notADocument.PutVoid()));
    EXPECT_EQ(ThrownBy([&] { CPageScan scan(notADocument); }), E_NOINTERFACE);
    // An empty page has nothing to hand out, and says so again when asked again.
    CComPtr<IHTMLDocument2> empty = CreateStandInDocument(L"", kPageUrl);
    CPageScan scan(empty);
    EXPECT_EQ(scan.NextItem(), nullptr);
    EXPECT_EQ(scan.NextItem(), nullptr);
}

TEST(RequestBlockableItem, CopiesItsTextsAndKeepsNullAsNull)
{
    std::wstring url = L"http://a.example/x.js";
    CRequestBlockableItem item(url.c_str(), L"script");
    url[0] = L'X';
    EXPECT_EQ(BstrText(item.GetUrl()), L"http://a.example/x.js");
    CRequestBlockableItem empty(nullptr, nullptr);
    EXPECT_EQ(empty.GetUrl(), nullptr);
    EXPECT_EQ(empty.GetType(), nullptr);
}
