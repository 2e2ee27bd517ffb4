// The stand-in document itself: what the add-on relies on the browser's
// document to do, so that the other tests can trust it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browser/BHO.h"
#include "com/Bstr.h"
#include "com/Object.h"
#include "engine/ElementHiding.h"
#include "tools/standin/StandInDocument.h"

namespace {

constexpr wchar_t kPageUrl[] = L"http://www.example.com/dir/page.html";

std::wstring ComputedBackground(IHTMLElement* element)
{
    CComPtr<IHTMLElement2> element2;
    EXPECT_EQ(S_OK, element->QueryInterface(IidOf<IHTMLElement2>(), element2.PutVoid()));
    CComPtr<IHTMLCurrentStyle> style;
    EXPECT_EQ(S_OK, element2->get_currentStyle(style.Put()));
    CComBSTR image;
    EXPECT_EQ(S_OK, style->get_backgroundImage(image.Put()));
    return BstrText(image);
}

// A behavior factory that records what the document asks of it.
class CRecordingFactory final : public CComObjectBase<CRecordingFactory, IElementBehaviorFactory>
{
public:
    class CBehavior final : public CComObjectBase<CBehavior, IElementBehavior>
    {
    public:
        CBehavior(CRecordingFactory* factory, HRESULT initResult) : m_factory(factory), m_initResult(initResult) {}
        STDMETHODIMP Init(IElementBehaviorSite* site) override
        {
            CComPtr<IHTMLElement> element;
            EXPECT_EQ(S_OK, site->GetElement(element.Put()));
            CComBSTR tag;
            element->get_tagName(tag.Put());
            m_factory->inits.push_back(BstrText(tag));
            return m_initResult;
        }
        STDMETHODIMP Notify(LONG, VARIANT*) override { return S_OK; }
        STDMETHODIMP Detach() override
        {
            ++m_factory->detaches;
            return S_OK;
        }

    private:
        CComPtr<CRecordingFactory> m_factory;
        HRESULT m_initResult;
    };

    explicit CRecordingFactory(HRESULT initResult) : m_initResult(initResult) {}
    STDMETHODIMP FindBehavior(BSTR name, BSTR url, IElementBehaviorSite*, IElementBehavior** behavior) override
    {
        finds.push_back(BstrText(name) + L" " + BstrText(url));
        CComPtr<CBehavior> created = CBehavior::Create(this, m_initResult);
        return created->QueryInterface(IidOf<IElementBehavior>(), reinterpret_cast<void**>(behavior));
    }

    std::vector<std::wstring> finds;
    std::vector<std::wstring> inits;  // tag names
    int detaches = 0;

private:
    HRESULT m_initResult;
};

class StandIn : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

}  // namespace

TEST_F(StandIn, ComputedBackgroundFollowsTheCascade)
{
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<style>div{background-image:url(tag.png)} .c{background:red url('class.png') no-repeat}"
        L" #i{background-image:url(id.png)} p{background-image:url(imp.png) !important}</style>"
        L"<div id=tag></div><div id=cls class=c></div><div id=i class=c></div>"
        L"<div id=inline class=c style='background-image:url(inline.png)'></div>"
        L"<p id=imp style='background-image:url(inline.png)'></p><span id=plain></span>"
        L"<div id=shorthand style='background:#fff'></div>",
        kPageUrl);
    IStandInDocument& page = StandInDocument(document);
    EXPECT_EQ(ComputedBackground(page.ElementById(L"tag")), L"url(tag.png)");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"cls")), L"url('class.png')");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"i")), L"url(id.png)");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"inline")), L"url(inline.png)");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"imp")), L"url(imp.png)");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"plain")), L"none");
    EXPECT_EQ(ComputedBackground(page.ElementById(L"shorthand")), L"none");
}

// Element hiding rules as the engine writes them, in a page's style element:
// what IE 7 applies hides exactly its elements; a rule it drops (here
// ":last-child") leaves the others working.
TEST_F(StandIn, HidingRulesHideTheirElementsOnly)
{
    const char* list =
        "##.ad\n"
        "##div > p + span\n"
        "##li:first-child ~ li[data-x|=\"ad\"]\n"
        "##a[href^=\"http://ads.\"][href$=\".gif\"]\n"
        "##ul p\n"
        "##p:last-child\n"
        "example.com##[title*=spons]\n"
        "example.com#@#.ad\n";
    CElementHiding hiding(std::vector<CHidingListText>{{"list", list}});
    std::wstring sheet = L"p:last-child{display:none}";
    for (const auto& text : hiding.StyleFor("www.example.org", CCssLevel::IE7)->sheets)
        sheet += std::wstring(text->begin(), text->end());
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<style>" + sheet + L"</style><body>"
        L"<div id=a class='x ad'></div><div id=b class=adx></div>"
        L"<div><p id=c></p><span id=d></span><span id=e></span></div><p></p><span id=f></span>"
        L"<ul><li id=g data-x=ad-1></li><li id=h data-x=ad-1></li><li id=i data-x=adx></li><li><p id=j></li></ul>"
        L"<a id=k href='http://ads.example/1.gif'></a><a id=l href='http://ads.example/1.png'></a>"
        L"<b id=m title=sponsored></b><p id=q>last</p></body>",
        kPageUrl);
    IStandInDocument& page = StandInDocument(document);
    std::wstring hidden;
    for (const CComPtr<IHTMLElement>& element : page.Elements()) {
        CComPtr<IHTMLElement2> element2;
        ASSERT_EQ(S_OK, element->QueryInterface(IidOf<IHTMLElement2>(), element2.PutVoid()));
        CComPtr<IHTMLCurrentStyle> style;
        ASSERT_EQ(S_OK, element2->get_currentStyle(style.Put()));
        CComBSTR display;
        ASSERT_EQ(S_OK, style->get_display(display.Put()));
        std::optional<std::wstring> id = StandInElement(element).Attribute(L"id");
        if (id && BstrText(display) == L"none")
            hidden += *id + L" ";
    }
    EXPECT_EQ(hidden, L"a d h j k ");
}

TEST_F(StandIn, CollectionsListElementsInDocumentOrder)
{
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<html><head><title>t</title></head><body><div><img src=a.png></div><head></head></body></html>", kPageUrl);
    CComPtr<IHTMLDocument3> document3;
    ASSERT_EQ(S_OK, document->QueryInterface(IidOf<IHTMLDocument3>(), document3.PutVoid()));
    CComPtr<IHTMLElementCollection> heads;
    ASSERT_EQ(S_OK, document3->getElementsByTagName(CComBSTR(L"HEAD"), heads.Put()));
    LONG length = 0;
    ASSERT_EQ(S_OK, heads->get_length(&length));
    EXPECT_EQ(length, 2);
    VARIANT empty, index;
    VariantInit(&empty);
    VariantInit(&index);
    V_VT(&index) = VT_I4;
    V_I4(&index) = 0;
    CComPtr<IDispatch> first;
    ASSERT_EQ(S_OK, heads->item(empty, index, first.Put()));
    EXPECT_EQ(first.Get(), static_cast<IDispatch*>(StandInDocument(document).Elements()[1].Get()));
    V_I4(&index) = 2;
    CComPtr<IDispatch> none;
    EXPECT_EQ(S_OK, heads->item(empty, index, none.Put()));
    EXPECT_EQ(none, nullptr);

    CComPtr<IHTMLElementCollection> all;
    ASSERT_EQ(S_OK, document->get_all(all.Put()));
    CComPtr<IUnknown> enumeratorObject;
    ASSERT_EQ(S_OK, all->get__newEnum(enumeratorObject.Put()));
    CComPtr<IEnumVARIANT> enumerator;
    ASSERT_EQ(S_OK, enumeratorObject->QueryInterface(IidOf<IEnumVARIANT>(), enumerator.PutVoid()));
    std::vector<std::wstring> tags;
    VARIANT entry;
    while (enumerator->Next(1, &entry, nullptr) == S_OK) {
        CComPtr<IHTMLElement> element;
        EXPECT_EQ(V_VT(&entry), VT_DISPATCH);
        V_DISPATCH(&entry)->QueryInterface(IidOf<IHTMLElement>(), element.PutVoid());
        CComBSTR tag;
        element->get_tagName(tag.Put());
        tags.push_back(BstrText(tag));
        VariantClear(&entry);
    }
    EXPECT_EQ(tags, (std::vector<std::wstring>{L"HTML", L"HEAD", L"TITLE", L"BODY", L"DIV", L"IMG", L"HEAD"}));
    // What the browser does not offer here stays unimplemented.
    CComBSTR title;
    EXPECT_EQ(E_NOTIMPL, document->get_title(title.Put()));
}

TEST_F(StandIn, ImageSourceIsAbsoluteOtherSourcesAsWritten)
{
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<img id=i src='../img/a b.png'><iframe id=f src='f.html'></iframe><script id=s src='s.js'></script>"
        L"<object id=o type='application/x-shockwave-flash'><param name=Movie value='m.swf'></object>",
        kPageUrl);
    IStandInDocument& page = StandInDocument(document);
    CComPtr<IHTMLImgElement> image;
    ASSERT_EQ(S_OK, page.ElementById(L"i")->QueryInterface(IidOf<IHTMLImgElement>(), image.PutVoid()));
    CComBSTR source;
    ASSERT_EQ(S_OK, image->get_src(source.Put()));
    EXPECT_EQ(BstrText(source), L"http://www.example.com/img/a%20b.png");
    CComPtr<IHTMLFrameBase> frame;
    ASSERT_EQ(S_OK, page.ElementById(L"f")->QueryInterface(IidOf<IHTMLFrameBase>(), frame.PutVoid()));
    ASSERT_EQ(S_OK, frame->get_src(source.Put()));
    EXPECT_EQ(BstrText(source), L"f.html");
    CComPtr<IHTMLObjectElement> object;
    ASSERT_EQ(S_OK, page.ElementById(L"o")->QueryInterface(IidOf<IHTMLObjectElement>(), object.PutVoid()));
    CComPtr<IDispatch> control;
    ASSERT_EQ(S_OK, object->get_object(control.Put()));
    DISPID movie = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"Movie");
    ASSERT_EQ(S_OK, control->GetIDsOfNames(IID_NULL, &name, 1, 0, &movie));
    DISPPARAMS none = {};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, control->Invoke(movie, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_EQ(BstrText(V_BSTR(&result)), L"m.swf");
    VariantClear(&result);
    // An image is not a frame.
    CComPtr<IHTMLFrameBase> notAFrame;
    EXPECT_EQ(E_NOINTERFACE, page.ElementById(L"i")->QueryInterface(IidOf<IHTMLFrameBase>(), notAFrame.PutVoid()));
}

TEST_F(StandIn, BehaviorRulesAttachOncePerElementIncludingLaterOnes)
{
    CComPtr<CRecordingFactory> factory = CRecordingFactory::Create(S_OK);
    CStandInOptions options;
    options.behaviorFactories.emplace_back(L"QUELLAN", factory.Get());
    CComPtr<IHTMLDocument2> document =
        CreateStandInDocument(L"<html><head></head><body><p>x</p></body></html>", kPageUrl, options);
    EXPECT_TRUE(factory->finds.empty());

    IStandInDocument& page = StandInDocument(document);
    ASSERT_EQ(S_OK, InjectBehaviorStyle(document));
    EXPECT_EQ(factory->inits, (std::vector<std::wstring>{L"HTML", L"HEAD", L"STYLE", L"BODY", L"P"}));
    EXPECT_EQ(factory->finds.front(), L"quellan #default#quellan");
    // The same rule again reaches only the element that is new: its own
    // style element.
    ASSERT_EQ(S_OK, InjectBehaviorStyle(document));
    EXPECT_EQ(factory->inits.size(), 6u);
    EXPECT_EQ(factory->inits.back(), L"STYLE");
    EXPECT_EQ(page.ToHtml(),
              L"<html><head><style type=\"text/css\">*{behavior:url(#default#quellan)}</style>"
              L"<style type=\"text/css\">*{behavior:url(#default#quellan)}</style></head><body><p>x</p></body></html>");

    // Kept behaviors hold their elements until the document is closed.
    page.Close();
    EXPECT_EQ(factory->detaches, 6);
}

TEST_F(StandIn, UnregisteredDefaultBehaviorLeavesThePageAlone)
{
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<style>*{behavior:url(#default#nosuchbehavior)}</style><img id=i src=a.png>", kPageUrl);
    std::vector<CStandInBehaviorRecord> records = StandInElement(StandInDocument(document).ElementById(L"i")).Behaviors();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].factoryResult, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(records[0].kept);
}

TEST_F(StandIn, PageIsWrittenBackAsTheUserSeesIt)
{
    CComPtr<IHTMLDocument2> document = CreateStandInDocument(
        L"<!DOCTYPE html><html><body><img id=ad src=\"a.gif?x=1&amp;y=2\" alt='say \"hi\"'>"
        L"<div id=bg style=\"color: red; background-image: url(b.png)\">text<br>more</div></body></html>",
        kPageUrl);
    IStandInDocument& page = StandInDocument(document);
    CComPtr<IHTMLStyle> imageStyle, divStyle;
    ASSERT_EQ(S_OK, page.ElementById(L"ad")->get_style(imageStyle.Put()));
    ASSERT_EQ(S_OK, imageStyle->put_display(CComBSTR(L"none")));
    ASSERT_EQ(S_OK, page.ElementById(L"bg")->get_style(divStyle.Put()));
    VARIANT none;
    VariantInit(&none);
    V_VT(&none) = VT_BSTR;
    V_BSTR(&none) = SysAllocString(L"none");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, divStyle->setAttribute(CComBSTR(L"background-image"), none, 1));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, divStyle->setAttribute(CComBSTR(L"BackgroundImage"), none, 1));
    ASSERT_EQ(S_OK, divStyle->setAttribute(CComBSTR(L"backgroundImage"), none, 1));
    VariantClear(&none);
    EXPECT_EQ(page.ToHtml(),
              L"<!DOCTYPE html><html><body>"
              L"<img id=\"ad\" src=\"a.gif?x=1&amp;y=2\" alt=\"say &quot;hi&quot;\" style=\"display: none;\">"
              L"<div id=\"bg\" style=\"color: red; background-image: none;\">text<br>more</div></body></html>");
}
