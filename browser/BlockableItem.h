#pragma once
// Blockable items: one resource URL that a page element loads, a word for
// its kind, and where possible a way to make the element stop showing it.
//
// Items are plain heap objects with one owner (std::unique_ptr). Each holds
// its own copies of its texts and its own reference to the element's inline
// style, so it stays usable after the page, the scan or the document is
// gone. Used on the thread that owns the document.

#include <windows.h>
#include <mshtml.h>
#include <wininet.h>

#include <memory>

#include "browser/ShockwaveFlash.h"
#include "com/Bstr.h"
#include "com/ComPtr.h"

class _IBlockableItem
{
public:
    // Makes the element stop showing the resource. Throws the HRESULT of a
    // style that cannot be changed.
    virtual void Block() = 0;
    // The item's URL, owned by the item.
    virtual BSTR GetUrl() const noexcept = 0;
    // "image", "flash", "frame", "script" or "background", owned by the item.
    virtual BSTR GetType() const noexcept = 0;
    virtual ~_IBlockableItem() = default;
};

class IBlockableItem : public _IBlockableItem
{
};

using CBlockableItemPtr = std::unique_ptr<IBlockableItem>;

// A resource that only the request filter can refuse: Block does nothing.
class CRequestBlockableItem : public IBlockableItem
{
public:
    // Copies both texts (null stays null); throws E_OUTOFMEMORY.
    CRequestBlockableItem(const wchar_t* url, const wchar_t* type);

    void Block() override {}
    BSTR GetUrl() const noexcept override { return m_url; }
    BSTR GetType() const noexcept override { return m_type; }

private:
    CComBSTR m_url;
    CComBSTR m_type;
};

// A resource shown through a style property of the element: Block sets
// that property to "none" (setAttribute, case-sensitive name).
class CAttributeBlockableItem : public CRequestBlockableItem
{
public:
    CAttributeBlockableItem(const wchar_t* url, const wchar_t* type, IHTMLStyle* style, const wchar_t* attribute);

    void Block() override;

private:
    CComPtr<IHTMLStyle> m_style;
    CComBSTR m_attribute;
};

// A resource the whole element shows: Block hides the element (display
// "none"), which then takes no room on the page.
class CPageBlockableItem : public CRequestBlockableItem
{
public:
    CPageBlockableItem(const wchar_t* url, const wchar_t* type, IHTMLStyle* style);

    void Block() override;

private:
    CComPtr<IHTMLStyle> m_style;
};

// The item-making functions return null when the element has no such
// item: a missing interface, a failing or empty property, a URL that cannot
// be combined. They throw only when a copy cannot be allocated.

// An image with a source, a Flash object, or a frame, tried in that order.
CBlockableItemPtr MakeElementItem(IHTMLElement* element);
// A script element; its item cannot hide anything.
CBlockableItemPtr MakeScriptItem(IHTMLElement* element);
// An element whose computed background image is one url() value; the item's
// URL is that value resolved like the sources below.
CBlockableItemPtr MakeBackgroundItem(IHTMLElement* element);

// Room for the platform's longest URL (2083 characters) and its terminator.
constexpr DWORD kElementUrlCapacity = INTERNET_MAX_URL_LENGTH;
static_assert(kElementUrlCapacity == 2084);
using CElementUrlBuffer = wchar_t[kElementUrlCapacity];

// The source's relative URL (frame and script src, Flash movie) resolved
// against the element's document's base (its first base element with an
// href, else its URL) into buffer, escapes kept: the URL the browser
// requests.
// False when a property cannot be read or the platform cannot combine the
// URL; an absent source (a null text) is the platform's to refuse.
bool ResolveElementUrl(IHTMLFrameBase* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept;
bool ResolveElementUrl(IHTMLScriptElement* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept;
bool ResolveElementUrl(IShockwaveFlash* source, IHTMLElement* element, CElementUrlBuffer& buffer) noexcept;
