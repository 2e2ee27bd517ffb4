#pragma once
// A stand-in for the browser's HTML document, for tests and demonstrations
// (never shipped): MSHTML cannot run here.
//
// It answers only what the add-on calls, as the browser documents it:
//   document   IHTMLDocument2 (all, URL, frames), IHTMLDocument3
//              (getElementsByTagName), IMarkupServices (CreateMarkupPointer,
//              CreateElement, InsertElement)
//   collection IHTMLElementCollection (length, item, _newEnum) and its
//              IEnumVARIANT
//   element    IHTMLElement (tagName, id, className, parentElement, style,
//              document, get/set/removeAttribute), IHTMLElement2
//              (currentStyle); by tag IHTMLImgElement (src, resolved like
//              the browser does, against the base element's href if any), IHTMLObjectElement (object), IHTMLFrameBase
//              (src as written), IHTMLScriptElement (src, type) and
//              IHTMLStyleElement (styleSheet, type)
//   style      IHTMLStyle (display, backgroundImage, cssText,
//              get/setAttribute), IHTMLCurrentStyle (display,
//              backgroundImage as written in the winning declaration, "none"
//              without one), IHTMLStyleSheet (cssText)
//   markup     IMarkupPointer (MoveAdjacentToElement)
//   Flash      the control of an <object> whose classid is the Flash
//              player's or whose type is "application/x-shockwave-flash"
//              answers IShockwaveFlash (Movie: the "movie" or "src" param,
//              else the data attribute, as written); other objects give a
//              control that answers only IDispatch
//   frames     IHTMLFramesCollection2 (length, item by a VT_I4 or VT_I2
//              index: VT_DISPATCH, the frame's window; any other index
//              fails), listing the frames AddFrame gave, in that order
//   window     a frame's IHTMLWindow2 whose properties all fail (the frames
//              of a page are of other sites, whose windows the page may not
//              read), and IServiceProvider: QueryService(IID_IWebBrowserApp,
//              riid) gives the frame's web browser object, as KB 196340
//              ("How To Get the WebBrowser Object Model of an HTML Frame")
//              documents; any other service gives E_NOINTERFACE
// An absent attribute reads as a null BSTR. Every other method returns
// E_NOTIMPL.
//
// Element behaviors: a style rule "behavior: url(#default#NAME)" attaches
// the default behavior NAME to the elements it applies to, as the browser
// does: the factory is the class named by the value NAME of
// HKLM\SOFTWARE\Microsoft\Internet Explorer\Default Behaviors ("CLSID:...",
// created in process as IElementBehaviorFactory, once per document and
// name) unless the options give one; then FindBehavior(NAME, URL, site) and
// Init(site) per element. A behavior whose Init fails is released at once;
// one that succeeds stays with its element until Close. Each element tries
// each behavior URL once, when a rule first applies to it: at creation,
// after a style sheet's cssText is set, and when an element is inserted.
//
// Apartment-threaded like the browser's: use each document on the thread
// that created it. Allocation failures throw std::bad_alloc.

#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/ComPtr.h"

struct CStandInOptions
{
    // Behavior factories by name (any letter case), used instead of the
    // registered default behaviors of that name.
    std::vector<std::pair<std::wstring, CComPtr<IElementBehaviorFactory>>> behaviorFactories;
};

// What happened when a behavior rule applied to an element.
struct CStandInBehaviorRecord
{
    std::wstring url;                  // as the rule wrote it: "#default#quellan"
    HRESULT factoryResult = S_OK;      // getting the factory (registry, class creation)
    std::optional<HRESULT> findResult; // FindBehavior; none when the factory failed
    std::optional<HRESULT> initResult; // Init; none when FindBehavior gave no behavior
    bool kept = false;                 // Init succeeded: the element keeps the behavior
};

// The stand-in's own view of one element, for the tests and the stand-in
// browser. Valid while a reference to the element or its document is held.
class IStandInElement
{
public:
    virtual std::wstring Tag() const = 0;  // lower case
    virtual std::optional<std::wstring> Attribute(std::wstring_view name) const = 0;
    // A property of the inline style by its CSS name ("display",
    // "background-image"); empty when the inline style does not set it.
    virtual std::wstring InlineStyle(std::wstring_view property) const = 0;
    // Every write to the inline style through IHTMLStyle, in order:
    // "display: none", "background-image: none".
    virtual std::vector<std::wstring> StyleWrites() const = 0;
    // From now on every write through IHTMLStyle fails with hr (S_OK: none fails).
    virtual void FailStyleWrites(HRESULT hr) = 0;
    virtual std::vector<CStandInBehaviorRecord> Behaviors() const = 0;

protected:
    ~IStandInElement() = default;
};

// The stand-in's own view of a document. Valid while a reference to the
// document is held.
class IStandInDocument
{
public:
    // The first element with that id, or null.
    virtual CComPtr<IHTMLElement> ElementById(std::wstring_view id) = 0;
    // Every element of the document in document order, as "all" lists them.
    virtual std::vector<CComPtr<IHTMLElement>> Elements() = 0;
    // The page as the user now sees it: the current attributes, inline
    // styles (so hidden elements carry "display: none") and style sheets.
    virtual std::wstring ToHtml() = 0;
    // What relative URLs resolve against, as the browser resolves them: the
    // href of the first base element that has one, resolved against the
    // document's URL (HTML 4.01, 12.4); otherwise the document's URL.
    virtual std::wstring BaseUrl() = 0;
    // A frame the page shows, by the frame's own web browser object (as the
    // browser keeps one per frame; a counted reference is held until Close).
    virtual void AddFrame(IWebBrowser2* frame) = 0;
    // From now on IElementBehaviorSite::GetElement fails with hr (S_OK: it works).
    virtual void FailBehaviorSiteElement(HRESULT hr) = 0;
    // Detaches and releases the behaviors that elements kept and the
    // behavior factories; no behavior attaches afterwards. The document
    // keeps answering otherwise.
    virtual void Close() = 0;

protected:
    ~IStandInDocument() = default;
};

// A new document parsed from html, whose URL is url. The behavior rules of
// the page's own style sheets are applied before it returns.
CComPtr<IHTMLDocument2> CreateStandInDocument(std::wstring_view html, std::wstring_view url,
                                              const CStandInOptions& options = {});

// The stand-in behind a document or element of this model; throws
// std::invalid_argument for any other object.
IStandInDocument& StandInDocument(IUnknown* document);
IStandInElement& StandInElement(IUnknown* element);
