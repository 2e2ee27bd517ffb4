#pragma once
// CBehavior: the element behavior ("Quellan.Behavior") that the browser
// attaches as "#default#quellan". The same class is the behavior factory
// the browser creates from the registered class and the behavior that
// FindBehavior makes for each element. Apartment-threaded, not
// aggregatable. Its IDispatch has no members of its own.
//
// Init examines its element once and then fails on purpose, so that the
// browser keeps no behavior object on the element.
// An element of a page of a site the user allowed, or of a frame shown in
// one (browser/AllowedFrames.h), is left as it is.

#include <mshtml.h>

#include <functional>

#include "com/Dispatch.h"
#include "com/Object.h"
#include "engine/RequestContext.h"

class CSharedStore;

class CBehavior final
    : public CComObjectBase<CBehavior, CDispatchImpl<IDispatch>, IElementBehavior, IElementBehaviorFactory>
{
public:
    // IElementBehavior
    // E_FAIL after a normal examination; the HRESULT of what failed
    // otherwise (E_FAIL for a failure without one).
    STDMETHODIMP Init(IElementBehaviorSite* pBehaviorSite) override;
    STDMETHODIMP Notify(LONG lEvent, VARIANT* pVar) override;
    STDMETHODIMP Detach() override;

    // IElementBehaviorFactory
    // A new behavior for the name "quellan" in any letter case; E_FAIL for
    // any other name or none.
    STDMETHODIMP FindBehavior(BSTR bstrBehavior, BSTR bstrBehaviorUrl, IElementBehaviorSite* pSite,
                              IElementBehavior** ppBehavior) override;
};

// The examination of Init against the given settings store and URL verdict:
// under the settings store's read access, and only while the option to
// remove blocked items is on and the session is not disabled, hides the
// site's element when its image, Flash or frame URL is refused, then takes
// away its background image when that URL is refused. The verdict is asked
// while the settings read access is held (settings store first, filter list
// store second). Throws the HRESULT of what failed; a failure while hiding
// the element skips the background.
void ExamineBehaviorElement(IElementBehaviorSite* site, CSharedStore& settings,
                            const std::function<bool(const wchar_t* url)>& isUrlAllowed);
// The same with each item's kind ("image", "flash", "frame", "script" or
// "background", as IBlockableItem::GetType gives it) passed to the verdict.
void ExamineBehaviorElement(IElementBehaviorSite* site, CSharedStore& settings,
                            const std::function<bool(const wchar_t* url, const wchar_t* kind)>& isItemAllowed);

// The kind of request an item's kind stands for (kRequestUnknown for any
// other word).
RequestType RequestTypeOfItemKind(const wchar_t* kind) noexcept;
