#pragma once
// CBHO: the browser helper object ("Quellan.BHO"), one per browser window
// or tab. Apartment-threaded, not aggregatable. Its IDispatch has no
// members of its own.
//
// Per process: the first helper object registers the request filter for
// "http" and joins the cross-process count of the user's browser processes
// (the handle count of the named mutex "ProcessRefCount", read under
// "ProcessRefLock"). The first browser process of the user has the broker
// install the browser menu entries; the last helper object of the last
// process has them removed. A process whose last helper object goes leaves
// the count (it may linger without windows) and joins again with its next.
// The first helper object sited starts the process's list updates
// (storage/ListUpdateScheduler.h: one low-priority thread, the first check
// some tens of seconds later); the last helper object to go signals them
// to stop and never waits for them. Failing to start them fails nothing.
//
// Per window: sited on a web browser, it listens to DWebBrowserEvents2.
// NewWindow3, which the browser fires before it opens a window for
// window.open or a link that targets a new window, the user's click or not
// (DWebBrowserEvents2::NewWindow3; IE 7 fires it, on XP SP2 and later,
// instead of NewWindow2), is cancelled when the Adblock lists block the
// window's URL as a pop-up with the opening page (bstrUrlContext) as its
// page (IsPopupAllowed). NewWindow2 names no URL: such a window opens.
// The browser fires NavigateComplete2 for the top-level frame and for every
// frame and inline frame of the page, nested ones and those a script adds
// later included, with that frame's own web browser object as pDisp
// (DWebBrowserEvents2::NavigateComplete2 and KB 180366, "How To Determine
// When a Page Is Done Loading in WebBrowser Control"). Each such navigation,
// and each DownloadBegin of the window, marks its frame as waiting and
// starts a 10 ms thread timer; every tick gives each waiting frame's
// document the page style (InjectPageStyle: the behavior style and the
// element-hiding rules of the Adblock lists for the document's host), and a
// frame stops waiting once its document has it, once the browser's ready
// state says the document finished loading without a head, or after a
// minute. A document that has the style never gets it twice. Only the most
// recently started timer runs. At most kMaxFrames frames are remembered; a
// navigation of the top-level frame forgets the previous page's frames
// (and which of them belong to a site the user allowed).
// Timers never outlive what they work on: SetSite(NULL) and the destructor
// kill every timer the object started, and the timer callback finds its
// object through a table of live timers, so a tick that was already due
// finds nothing and only kills its timer. The code the callback points to
// stays loaded, because registering the request filter pins the library.

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Dispatch.h"
#include "com/Object.h"

class CBHO final : public CComObjectBase<CBHO, IObjectWithSite, CDispatchImpl<IDispatch>>
{
public:
    CBHO() noexcept;
    ~CBHO() override;

    // Joins the process (registers the request filter and counts the
    // process at the first helper object). Fails with the HRESULT of a
    // failed registration or named mutex; a broker that cannot install the
    // menu entries only shows a message box.
    HRESULT FinalConstruct();

    // IObjectWithSite
    // A site with IWebBrowser2 connects the DWebBrowserEvents2 sink (E_FAIL
    // and nothing changes while one is connected); NULL disconnects it,
    // stops the injection timers and lets the browser go.
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

    // DWebBrowserEvents2, as the sink delivers them.
    // The frame (the top-level one is the browser itself; null or one
    // without IWebBrowser2 is ignored) waits for its style. `url` (may be
    // null) is the document it shows: a top-level page of a site the user
    // allowed makes every frame shown in it, until the next top-level
    // navigation, one of that site (browser/AllowedFrames.h): it gets no
    // element-hiding sheets, and the request filter and the behavior block
    // nothing in it. Throws std::bad_alloc.
    void OnNavigateComplete2(IDispatch* frame, const wchar_t* url);
    // The top-level frame waits for its style (again: a document that
    // already has it is left alone).
    void OnDownloadBegin();
    // False when the new window on `url` that `openerUrl` (may be null)
    // opens is to be cancelled.
    bool OnNewWindow3(const wchar_t* url, const wchar_t* openerUrl) noexcept;

    // Frames remembered per window.
    static constexpr std::size_t kMaxFrames = 64;

    // The user allowed a site, or stopped allowing one, while pages are
    // shown: every helper object sited on the calling thread (the thread of
    // the window whose menu the user used) judges its top-level page again.
    // A page now of an allowed site gets the documents its frames show at
    // this moment remembered as frames of it (browser/AllowedFrames.h), at
    // any depth and at most kAllowedFramesCapacity, so that their requests
    // load unblocked at once, as do those of frames that navigate later; a
    // page no longer allowed has its frames forgotten. A frame whose
    // document cannot be reached (the page is gone or still loading) is
    // skipped. Windows of other threads judge again at their next top-level
    // navigation. Never throws.
    static void OnAllowedSitesChanged() noexcept;

    // Number of CBHO objects alive in this process.
    static LONG HelperCount() noexcept;

private:
    class CEventSink;

    static void CALLBACK OnTimer(HWND window, UINT message, UINT_PTR id, DWORD time);
    struct CFrameState
    {
        CComPtr<IWebBrowser2> browser;  // the window's or a frame's
        CComPtr<IUnknown> styled;       // the document that has the style
        DWORD start = 0;                // GetTickCount when it started waiting
        bool waiting = false;
    };

    void Await(IWebBrowser2* browser);
    void ReviewPageAllowance();
    void RememberShownFrames();
    void StartTimer();
    void Tick(UINT_PTR id);
    // True when the frame is done (styled, loaded without a head, or too long).
    bool TryStyle(CFrameState& frame);
    void KillInjectionTimer(UINT_PTR id) noexcept;
    void KillInjectionTimers() noexcept;
    HRESULT Disconnect() noexcept;

    CComPtr<IUnknown> m_site;
    CComPtr<IWebBrowser2> m_browser;
    CComPtr<CEventSink> m_sink;
    // The browser's DWebBrowserEvents2 connection point while connected.
    CComPtr<IConnectionPoint> m_connection;
    DWORD m_cookie = kNotConnected;
    // The top-level frame first once it navigated, then its frames.
    std::vector<CFrameState> m_frames;
    UINT_PTR m_timerId = 0;
    // The URL of the top-level page, as its NavigateComplete2 gave it.
    std::wstring m_pageUrl;
    // The top-level page is of a site the user allowed.
    bool m_pageAllowed = false;
    // A tick is asking the document (which may pump messages).
    bool m_injecting = false;
    // Construction counted this object in the process's helper count.
    bool m_counted = false;

    static constexpr DWORD kNotConnected = 0xFEFEFEFE;
};

struct CHidingStyle;

// Inserts <style type="text/css"> holding "*{behavior:url(#default#quellan)}"
// as the first child of the document's first head element. Returns the
// HRESULT of the first failing step: E_NOINTERFACE for a null document, one
// without IHTMLDocument3 or IMarkupServices, or without a head element;
// E_FAIL for a style element without a style sheet. Never throws. Each
// success adds one more style element; nothing checks for an earlier one.
HRESULT InjectBehaviorStyle(IDispatch* document) noexcept;

// InjectBehaviorStyle, then one <style type="text/css"> per sheet of
// `hiding` (may be null) right after it, in order. A failure leaves what was
// inserted before it.
HRESULT InjectPageStyle(IDispatch* document, const CHidingStyle* hiding) noexcept;

// The page style for `document`: the element-hiding rules the process's
// Adblock lists give the host of its URL, read in the CSS of its document
// mode (IE 8 standards mode or IE 7); null when none apply. Never throws.
std::shared_ptr<const CHidingStyle> HidingStyleForDocument(IDispatch* document) noexcept;
