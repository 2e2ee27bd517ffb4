#include "browser/BlockableItem.h"

#include <cwchar>
#include <string>
#include <utility>

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

// relative combined with base into buffer, as the browser requests it:
// escapes stay as written (decoded, a "%00" would cut the URL short), and
// the verdict puts the result in its canonical form.
bool CombineUrl(const wchar_t* base, const wchar_t* relative, CElementUrlBuffer& buffer) noexcept
{
    DWORD length = kElementUrlCapacity;
    return InternetCombineUrlW(base, relative, buffer, &length, 0) != FALSE;
}

// The URL the element's relative references resolve against: the href of
// the document's first base element that has one, itself resolved against
// the document's URL; otherwise the document's URL (HTML 4.01, 12.4).
// Throws E_OUTOFMEMORY.
bool DocumentBaseUrl(IHTMLElement* element, CElementUrlBuffer& buffer)
{
    if (!element)
        return false;
    CComPtr<IDispatch> documentObject;
    if (FAILED(element->get_document(documentObject.Put())))
        return false;
    CComPtr<IHTMLDocument2> document = TryQuery<IHTMLDocument2>(documentObject);
    if (!document)
        return false;
    CComBSTR url;
    if (FAILED(document->get_URL(url.Put())) || !url)
        return false;
    CComVariant href;
    CComPtr<IHTMLElementCollection> bases;
    CComPtr<IHTMLDocument3> document3 = TryQuery<IHTMLDocument3>(documentObject);
    LONG count = 0;
    if (document3 && SUCCEEDED(document3->getElementsByTagName(CComBSTR(L"base"), bases.Put())) && bases &&
        SUCCEEDED(bases->get_length(&count))) {
        for (LONG i = 0; i < count && href.Type() == VT_EMPTY; ++i) {
            CComVariant noName, index(i), value;
            CComPtr<IDispatch> baseObject;
            CComPtr<IHTMLElement> base;
            // Flag 2: the attribute as written.
            if (SUCCEEDED(bases->item(noName.Get(), index.Get(), baseObject.Put())) &&
                (base = TryQuery<IHTMLElement>(baseObject)) &&
                SUCCEEDED(base->getAttribute(CComBSTR(L"href"), 2, value.Put())) && value.Type() == VT_BSTR &&
                V_BSTR(&value.Get()) && V_BSTR(&value.Get())[0] != L'\0')
                href = std::move(value);
        }
    }
    if (href.Type() == VT_BSTR && CombineUrl(url, V_BSTR(&href.Get()), buffer))
        return true;
    if (url.Length() >= kElementUrlCapacity)
        return false;
    std::wmemcpy(buffer, url.Get(), url.Length() + 1);
    return true;
}

template <class ReadRelative>
bool CombineWithDocumentUrl(IHTMLElement* element, ReadRelative readRelative, CElementUrlBuffer& buffer) noexcept
{
    CComBSTR relative;
    if (FAILED(readRelative(relative.Put())))
        return false;
    CElementUrlBuffer base;
    try {
        if (!DocumentBaseUrl(element, base))
            return false;
    } catch (...) {
        return false;
    }
    // Texts go to the platform as the browser gave them: it refuses a null
    // one (an absent source) and decides what an empty relative URL means.
    return CombineUrl(base, relative, buffer);
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
    std::wstring relative(image.View());
    if (!ParseCssUrl(&relative[0]))
        return nullptr;
    // The computed value keeps the URL as the style wrote it; the browser
    // requests it resolved.
    CElementUrlBuffer base, url;
    if (!DocumentBaseUrl(element, base) || !CombineUrl(base, relative.c_str(), url))
        return nullptr;
    CComPtr<IHTMLStyle> style = InlineStyle(element);
    if (!style)
        return nullptr;
    return std::make_unique<CAttributeBlockableItem>(url, L"background", style, L"backgroundImage");
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
