#include <windows.h>
#include <wininet.h>

#include <new>

#include "com/Bstr.h"
#include "com/Error.h"
#include "com/InterfaceId.h"
#include "tools/standin/Objects.h"

namespace StandIn {

namespace {

constexpr std::wstring_view kFlashClassId = L"clsid:D27CDB6E-AE6D-11CF-96B8-444553540000";
constexpr std::wstring_view kFlashType = L"application/x-shockwave-flash";

// Script names of the style properties that setAttribute and getAttribute
// know, and their CSS names.
const std::pair<const wchar_t*, const wchar_t*> kStyleProperties[] = {
    {L"background", L"background"},
    {L"backgroundColor", L"background-color"},
    {L"backgroundImage", L"background-image"},
    {L"color", L"color"},
    {L"display", L"display"},
    {L"height", L"height"},
    {L"visibility", L"visibility"},
    {L"width", L"width"},
};

// Flag 1 asks for a case-sensitive match of the name.
const wchar_t* CssNameOf(const wchar_t* scriptName, LONG flags)
{
    if (!scriptName)
        return nullptr;
    for (const auto& [script, css] : kStyleProperties) {
        if ((flags & 1) ? std::wstring_view(script) == scriptName : EqualsIgnoringCase(script, scriptName))
            return css;
    }
    return nullptr;
}

const wchar_t* const kBlockTags[] = {L"html", L"body", L"div", L"p", L"h1", L"h2", L"h3", L"ul", L"ol", L"li",
                                     L"table", L"form", L"iframe"};
const wchar_t* const kHiddenTags[] = {L"head", L"script", L"style", L"title", L"meta", L"link", L"param"};

template <size_t N>
bool IsOneOf(std::wstring_view tag, const wchar_t* const (&names)[N])
{
    for (const wchar_t* name : names) {
        if (tag == name)
            return true;
    }
    return false;
}

std::optional<std::wstring> FlashMovie(const CNode& object)
{
    for (const CNode* child : object.children) {
        if (child->tag != L"param")
            continue;
        const std::wstring* name = child->FindAttribute(L"name");
        const std::wstring* value = child->FindAttribute(L"value");
        if (name && value && (EqualsIgnoringCase(*name, L"movie") || EqualsIgnoringCase(*name, L"src")))
            return *value;
    }
    if (const std::wstring* data = object.FindAttribute(L"data"))
        return *data;
    return std::nullopt;
}

bool IsFlash(const CNode& object)
{
    const std::wstring* classId = object.FindAttribute(L"classid");
    const std::wstring* type = object.FindAttribute(L"type");
    return (classId && EqualsIgnoringCase(*classId, kFlashClassId)) || (type && EqualsIgnoringCase(*type, kFlashType));
}

HRESULT VariantToText(const VARIANT& value, std::wstring& text)
{
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_BSTR);
    if (FAILED(hr))
        return hr;
    text = V_BSTR(&converted) ? V_BSTR(&converted) : L"";
    VariantClear(&converted);
    return S_OK;
}

HRESULT ReturnText(std::optional<std::wstring_view> text, BSTR* p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = AllocateBstr(text); });
}

}  // namespace

BSTR AllocateBstr(std::optional<std::wstring_view> text)
{
    if (!text)
        return nullptr;
    BSTR copy = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
    if (!copy)
        throw std::bad_alloc();
    return copy;
}

void* CElement::Find(REFIID riid)
{
    const std::wstring& tag = m_node->tag;
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLElement>()))
        return static_cast<IHTMLElement*>(this);
    if (InlineIsEqualGUID(riid, IidOf<IHTMLElement2>()))
        return static_cast<IHTMLElement2*>(this);
    if (InlineIsEqualGUID(riid, kElementObjectId))
        return this;
    if (tag == L"img" && InlineIsEqualGUID(riid, IidOf<IHTMLImgElement>()))
        return static_cast<IHTMLImgElement*>(this);
    if (tag == L"object" && InlineIsEqualGUID(riid, IidOf<IHTMLObjectElement>()))
        return static_cast<IHTMLObjectElement*>(this);
    if ((tag == L"frame" || tag == L"iframe") && InlineIsEqualGUID(riid, IidOf<IHTMLFrameBase>()))
        return static_cast<IHTMLFrameBase*>(this);
    if (tag == L"script" && InlineIsEqualGUID(riid, IidOf<IHTMLScriptElement>()))
        return static_cast<IHTMLScriptElement*>(this);
    if (tag == L"style" && InlineIsEqualGUID(riid, IidOf<IHTMLStyleElement>()))
        return static_cast<IHTMLStyleElement*>(this);
    return nullptr;
}

STDMETHODIMP CElement::setAttribute(BSTR strAttributeName, VARIANT AttributeValue, LONG)
{
    if (!strAttributeName || !*strAttributeName)
        return E_INVALIDARG;
    std::wstring value;
    HRESULT hr = VariantToText(AttributeValue, value);
    if (FAILED(hr))
        return hr;
    return CallAtBoundary([&] {
        m_node->SetAttribute(strAttributeName, value);
        // A new id, class or style may bring the element under other rules.
        m_document->ApplyBehaviors();
    });
}

STDMETHODIMP CElement::getAttribute(BSTR strAttributeName, LONG, VARIANT* AttributeValue)
{
    if (!AttributeValue)
        return E_POINTER;
    VariantInit(AttributeValue);
    if (!strAttributeName)
        return E_INVALIDARG;
    std::optional<std::wstring> value = Attribute(strAttributeName);
    if (!value) {
        V_VT(AttributeValue) = VT_NULL;
        return S_OK;
    }
    return CallAtBoundary([&] {
        V_BSTR(AttributeValue) = AllocateBstr(*value);
        V_VT(AttributeValue) = VT_BSTR;
    });
}

STDMETHODIMP CElement::removeAttribute(BSTR strAttributeName, LONG, VARIANT_BOOL* pfSuccess)
{
    if (!pfSuccess)
        return E_POINTER;
    *pfSuccess = VARIANT_FALSE;
    if (!strAttributeName)
        return E_INVALIDARG;
    *pfSuccess = m_node->RemoveAttribute(strAttributeName) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CElement::get_className(BSTR* p)
{
    return ReturnText(Attribute(L"class").value_or(L""), p);
}

STDMETHODIMP CElement::get_id(BSTR* p)
{
    return ReturnText(Attribute(L"id").value_or(L""), p);
}

STDMETHODIMP CElement::get_tagName(BSTR* p)
{
    std::wstring upper = m_node->tag;
    for (wchar_t& c : upper)
        c = static_cast<wchar_t>(towupper(c));
    return ReturnText(upper, p);
}

STDMETHODIMP CElement::get_parentElement(IHTMLElement** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    CNode* parent = m_node->parent;
    if (!parent || parent == &m_document->Root())
        return S_OK;
    return CallAtBoundary([&] { *p = static_cast<IHTMLElement*>(m_document->ElementFor(parent).Detach()); });
}

STDMETHODIMP CElement::get_style(IHTMLStyle** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] {
        CComPtr<CStyle> style = m_node->style ? CComPtr<CStyle>(m_node->style) : CStyle::Make(this);
        *p = static_cast<IHTMLStyle*>(style.Detach());
    });
}

STDMETHODIMP CElement::get_document(IDispatch** p)
{
    if (!p)
        return E_POINTER;
    *p = static_cast<IHTMLDocument2*>(m_document.Get());
    (*p)->AddRef();
    return S_OK;
}

STDMETHODIMP CElement::get_currentStyle(IHTMLCurrentStyle** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = static_cast<IHTMLCurrentStyle*>(CCurrentStyle::Make(this).Detach()); });
}

STDMETHODIMP CElement::put_src(BSTR v)
{
    return CallAtBoundary([&] { m_node->SetAttribute(L"src", v ? v : L""); });
}

STDMETHODIMP CElement::get_src(BSTR* p)
{
    std::optional<std::wstring> source = Attribute(L"src");
    if (m_node->tag != L"img" || !source || source->empty())
        return ReturnText(source, p);
    // An image's source comes back absolute, as the browser gives it.
    wchar_t absolute[INTERNET_MAX_URL_LENGTH];
    DWORD length = INTERNET_MAX_URL_LENGTH;
    if (!InternetCombineUrlW(m_document->BaseUrl().c_str(), source->c_str(), absolute, &length, 0))
        return ReturnText(source, p);
    return ReturnText(std::wstring_view(absolute, length), p);
}

STDMETHODIMP CElement::get_object(IDispatch** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] {
        if (IsFlash(*m_node))
            *p = CFlashControl::Make(FlashMovie(*m_node)).Detach();
        else
            *p = CControl::Make().Detach();
    });
}

STDMETHODIMP CElement::get_type(BSTR* p)
{
    return ReturnText(Attribute(L"type"), p);
}

STDMETHODIMP CElement::get_styleSheet(IHTMLStyleSheet** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = CStyleSheet::Make(this).Detach(); });
}

void* CStyle::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLStyle>()))
        return static_cast<IHTMLStyle*>(this);
    return nullptr;
}

HRESULT CStyle::Write(std::wstring_view property, std::wstring_view value)
{
    CNode& node = m_element->Node();
    if (FAILED(node.styleWriteFailure))
        return node.styleWriteFailure;
    return CallAtBoundary([&] {
        if (property == L"cssText")
            node.inlineStyle = ParseDeclarations(value);
        else
            SetDeclaration(node.inlineStyle, property, value);
        node.styleWrites.push_back(std::wstring(property) + L": " + std::wstring(value));
    });
}

HRESULT CStyle::Read(std::wstring_view property, BSTR* p)
{
    return ReturnText(FindDeclaration(m_element->Node().inlineStyle, property).value_or(L""), p);
}

STDMETHODIMP CStyle::put_display(BSTR v)
{
    return Write(L"display", v ? v : L"");
}

STDMETHODIMP CStyle::get_display(BSTR* p)
{
    return Read(L"display", p);
}

STDMETHODIMP CStyle::put_backgroundImage(BSTR v)
{
    return Write(L"background-image", v ? v : L"");
}

STDMETHODIMP CStyle::get_backgroundImage(BSTR* p)
{
    return Read(L"background-image", p);
}

STDMETHODIMP CStyle::put_cssText(BSTR v)
{
    return Write(L"cssText", v ? v : L"");
}

STDMETHODIMP CStyle::get_cssText(BSTR* p)
{
    return ReturnText(DeclarationsToText(m_element->Node().inlineStyle), p);
}

STDMETHODIMP CStyle::setAttribute(BSTR strAttributeName, VARIANT AttributeValue, LONG lFlags)
{
    const wchar_t* property = CssNameOf(strAttributeName, lFlags);
    if (!property)
        return DISP_E_UNKNOWNNAME;
    std::wstring value;
    HRESULT hr = VariantToText(AttributeValue, value);
    if (FAILED(hr))
        return hr;
    return Write(property, value);
}

STDMETHODIMP CStyle::getAttribute(BSTR strAttributeName, LONG lFlags, VARIANT* AttributeValue)
{
    if (!AttributeValue)
        return E_POINTER;
    VariantInit(AttributeValue);
    const wchar_t* property = CssNameOf(strAttributeName, lFlags);
    if (!property)
        return DISP_E_UNKNOWNNAME;
    HRESULT hr = Read(property, &V_BSTR(AttributeValue));
    if (SUCCEEDED(hr))
        V_VT(AttributeValue) = VT_BSTR;
    return hr;
}

void* CCurrentStyle::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLCurrentStyle>()))
        return static_cast<IHTMLCurrentStyle*>(this);
    return nullptr;
}

STDMETHODIMP CCurrentStyle::get_display(BSTR* p)
{
    const CNode& node = m_element->Node();
    auto winner = m_element->Document().Cascade(node, L"display");
    if (winner)
        return ReturnText(winner->second, p);
    return ReturnText(IsOneOf(node.tag, kHiddenTags) ? L"none" : IsOneOf(node.tag, kBlockTags) ? L"block" : L"inline",
                      p);
}

STDMETHODIMP CCurrentStyle::get_backgroundImage(BSTR* p)
{
    auto winner = m_element->Document().Cascade(m_element->Node(), L"background-image", L"background");
    if (!winner)
        return ReturnText(L"none", p);
    if (winner->first == L"background")
        return ReturnText(BackgroundImageOfShorthand(winner->second), p);
    return ReturnText(winner->second, p);
}

void* CStyleSheet::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLStyleSheet>()))
        return static_cast<IHTMLStyleSheet*>(this);
    return nullptr;
}

STDMETHODIMP CStyleSheet::put_cssText(BSTR v)
{
    return CallAtBoundary([&] {
        m_element->Node().SetSheetText(v ? v : L"");
        m_element->Document().ApplyBehaviors();
    });
}

STDMETHODIMP CStyleSheet::get_cssText(BSTR* p)
{
    return ReturnText(m_element->Node().sheetText, p);
}

void* CFlashControl::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IShockwaveFlash>()))
        return static_cast<IShockwaveFlash*>(this);
    return nullptr;
}

STDMETHODIMP CFlashControl::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

STDMETHODIMP CFlashControl::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CFlashControl::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId)
{
    if (!rgszNames || !rgDispId)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < cNames; ++i) {
        bool movie = i == 0 && rgszNames[i] && EqualsIgnoringCase(rgszNames[i], L"Movie");
        rgDispId[i] = movie ? kShockwaveFlashMovieDispId : DISPID_UNKNOWN;
        if (!movie)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

STDMETHODIMP CFlashControl::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO*, UINT*)
{
    if (dispIdMember != kShockwaveFlashMovieDispId)
        return DISP_E_MEMBERNOTFOUND;
    if (!(wFlags & DISPATCH_PROPERTYGET) || (pDispParams && pDispParams->cArgs != 0))
        return E_NOTIMPL;
    if (!pVarResult)
        return S_OK;
    VariantInit(pVarResult);
    HRESULT hr = get_Movie(&V_BSTR(pVarResult));
    if (SUCCEEDED(hr))
        V_VT(pVarResult) = VT_BSTR;
    return hr;
}

STDMETHODIMP CFlashControl::get_Movie(BSTR* movie)
{
    return ReturnText(m_movie, movie);
}

void* CControl::Find(REFIID riid)
{
    return InlineIsEqualGUID(riid, IID_IDispatch) ? static_cast<IDispatch*>(this) : nullptr;
}

STDMETHODIMP CControl::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

void* CBehaviorSite::Find(REFIID riid)
{
    return InlineIsEqualGUID(riid, IidOf<IElementBehaviorSite>()) ? static_cast<IElementBehaviorSite*>(this)
                                                                   : nullptr;
}

STDMETHODIMP CBehaviorSite::GetElement(IHTMLElement** ppElement)
{
    if (!ppElement)
        return E_POINTER;
    *ppElement = nullptr;
    HRESULT failure = m_element->Document().SiteElementFailure();
    if (FAILED(failure))
        return failure;
    *ppElement = static_cast<IHTMLElement*>(m_element.Get());
    (*ppElement)->AddRef();
    return S_OK;
}

STDMETHODIMP CBehaviorSite::RegisterNotification(LONG)
{
    return S_OK;
}

}  // namespace StandIn
