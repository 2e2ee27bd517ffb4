#include "browser/BlockableItem.h"

#include <string>

#include "browser/CssUrl.h"
#include "com/Error.h"
#include "com/InterfaceId.h"
#include "com/Variant.h"

namespace {

// A copy of text that the item owns; null stays null.
CComBSTR CopyText(const wchar_t* text)
{
    CComBSTR copy;
    if (text) {
        BSTR allocated = SysAllocString(text);
        if (!allocated)
            ThrowHResult(E_OUTOFMEMORY);
        copy.Attach(allocated);
    }
    return copy;
}

// The interface, or null when the object does not answer it.
template <class Q>
CComPtr<Q> TryQuery(IUnknown* object) noexcept
{
    CComPtr<Q> answer;
    if (!object || FAILED(object->QueryInterface(IidOf<Q>(), answer.PutVoid())))
        answer.Reset();
    return answer;
}

// The element's inline style, or null when it cannot be had.
CComPtr<IHTMLStyle> InlineStyle(IHTMLElement* element) noexcept
{
    CComPtr<IHTMLStyle> style;
    if (FAILED(element->get_style(style.Put())))
        style.Reset();
    return style;
}

template <class ReadRelative>
bool CombineWithDocumentUrl(IHTMLElement* element, ReadRelative readRelative, CElementUrlBuffer& buffer) noexcept
{
    CComBSTR relative;
    if (FAILED(readRelative(relative.Put())))
        return false;
    if (!element)
        return false;
    CComPtr<IDispatch> documentObject;
    if (FAILED(element->get_document(documentObject.Put())))
        return false;
    CComPtr<IHTMLDocument2> document = TryQuery<IHTMLDocument2>(documentObject);
    if (!document)
        return false;
    CComBSTR base;
    if (FAILED(document->get_URL(base.Put())))
        return false;
    // Texts go to the platform as the browser gave them: it refuses a null
    // one (an absent source) and decides what an empty relative URL means.
    DWORD length = kElementUrlCapacity;
    return InternetCombineUrlW(base, relative, buffer, &length, ICU_DECODE) != FALSE;
}

CBlockableItemPtr MakeImageItem(IHTMLElement* element)
{
    CComPtr<IHTMLImgElement> image = TryQuery<IHTMLImgElement>(element);
    if (!image)
        return nullptr;
    CComBSTR source;
    if (FAILED(image->get_src(source.Put())) || source.Length() == 0)
        return nullptr;
    CComPtr<IHTMLStyle> style = InlineStyle(element);
    if (!style)
        return nullptr;
    // The browser already gives an image's source as an absolute URL.
    return std::make_unique<CPageBlockableItem>(source, L"image", style);
}

CBlockableItemPtr MakeFlashItem(IHTMLElement* element)
{
    CComPtr<IHTMLObjectElement> object = TryQuery<IHTMLObjectElement>(element);
    if (!object)
        return nullptr;
    CComPtr<IDispatch> control;
    if (FAILED(object->get_object(control.Put())))
        return nullptr;
    CComPtr<IShockwaveFlash> flash = TryQuery<IShockwaveFlash>(control);
    if (!flash)
        return nullptr;
    CComPtr<IHTMLStyle> style = InlineStyle(element);
    if (!style)
        return nullptr;
    CElementUrlBuffer url;
    if (!ResolveElementUrl(flash, element, url))
        return nullptr;
    return std::make_unique<CPageBlockableItem>(url, L"flash", style);
}

CBlockableItemPtr MakeFrameItem(IHTMLElement* element)
{
    CComPtr<IHTMLFrameBase> frame = TryQuery<IHTMLFrameBase>(element);
    if (!frame)
        return nullptr;
    CComPtr<IHTMLStyle> style = InlineStyle(element);
    if (!style)
        return nullptr;
    CElementUrlBuffer url;
    if (!ResolveElementUrl(frame, element, url))
        return nullptr;
    return std::make_unique<CPageBlockableItem>(url, L"frame", style);
}

}  // namespace

CRequestBlockableItem::CRequestBlockableItem(const wchar_t* url, const wchar_t* type)
    : m_url(CopyText(url)), m_type(CopyText(type))
{
}

CAttributeBlockableItem::CAttributeBlockableItem(const wchar_t* url, const wchar_t* type, IHTMLStyle* style,
                                                 const wchar_t* attribute)
    : CRequestBlockableItem(url, type), m_style(style), m_attribute(CopyText(attribute))
{
}

void CAttributeBlockableItem::Block()
{
    if (!m_style)
        ThrowHResult(E_POINTER);
    CComVariant none;
    VARIANT* value = none.Put();
    V_BSTR(value) = SysAllocString(L"none");
    if (!V_BSTR(value))
        ThrowHResult(E_OUTOFMEMORY);
    V_VT(value) = VT_BSTR;
    // Flag 1: the attribute name is matched case-sensitively.
    ThrowIfFailed(m_style->setAttribute(m_attribute, none.Get(), 1));
}

CPageBlockableItem::CPageBlockableItem(const wchar_t* url, const wchar_t* type, IHTMLStyle* style)
    : CRequestBlockableItem(url, type), m_style(style)
{
}

void CPageBlockableItem::Block()
{
    if (!m_style)
        ThrowHResult(E_POINTER);
    CComBSTR none = CopyText(L"none");
    ThrowIfFailed(m_style->put_display(none));
}

CBlockableItemPtr MakeElementItem(IHTMLElement* element)
{
    if (!element)
        return nullptr;
    if (CBlockableItemPtr item = MakeImageItem(element))
        return item;
    if (CBlockableItemPtr item = MakeFlashItem(element))
        return item;
    return MakeFrameItem(element);
}

CBlockableItemPtr MakeScriptItem(IHTMLElement* element)
{
    CComPtr<IHTMLScriptElement> script = TryQuery<IHTMLScriptElement>(element);
    if (!script)
        return nullptr;
    CElementUrlBuffer url;
    if (!ResolveElementUrl(script, element, url))
        return nullptr;
    return std::make_unique<CRequestBlockableItem>(url, L"script");
}

CBlockableItemPtr MakeBackgroundItem(IHTMLElement* element)
{
    CComPtr<IHTMLElement2> element2 = TryQuery<IHTMLElement2>(element);
    if (!element2)
        return nullptr;
    CComPtr<IHTMLCurrentStyle> computed;
    if (FAILED(element2->get_currentStyle(computed.Put())) || !computed)
        return nullptr;
    CComBSTR image;
    if (FAILED(computed->get_backgroundImage(image.Put())) || image.Length() == 0)
        return nullptr;
    std::wstring url(image.View());
    if (!ParseCssUrl(&url[0]))
        return nullptr;
    CComPtr<IHTMLStyle> style = InlineStyle(element);
    if (!style)
        return nullptr;
    return std::make_unique<CAttributeBlockableItem>(url.c_str(), L"background", style, L"backgroundImage");
}

bool ResolveElementUrl(IHTMLFrameBase* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept
{
    return source && CombineWithDocumentUrl(element, [&](BSTR* url) { return source->get_src(url); }, buffer);
}

bool ResolveElementUrl(IHTMLScriptElement* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept
{
    return source && CombineWithDocumentUrl(element, [&](BSTR* url) { return source->get_src(url); }, buffer);
}

bool ResolveElementUrl(IShockwaveFlash* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept
{
    return source && CombineWithDocumentUrl(element, [&](BSTR* url) { return source->get_Movie(url); }, buffer);
}
