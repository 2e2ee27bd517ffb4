#pragma once
// A stand-in for the browser's web browser object (one window or tab, or one
// frame of a page), for tests and demonstrations (never shipped).
//
// It answers what a browser helper object relies on:
//   IWebBrowser2               get_Document: the document set with
//                              SetDocument (S_OK and null while there is none);
//                              get_ReadyState: the state set with
//                              SetReadyState (READYSTATE_UNINITIALIZED at
//                              first, as a browser that navigated nowhere)
//   IConnectionPointContainer  FindConnectionPoint(DIID_DWebBrowserEvents2);
//                              any other IID gives CONNECT_E_NOCONNECTION
//   IConnectionPoint           Advise (the sink must answer
//                              DIID_DWebBrowserEvents2), Unadvise, and
//                              GetConnectionInterface
// and fires, on request, NavigateComplete2 (DISPID 252: the frame's
// IDispatch and the URL as a VARIANT by reference), DownloadBegin
// (DISPID 106) and the new-window events through IDispatch::Invoke to every
// connected sink. Every other method returns E_NOTIMPL.
//
// New windows, as Microsoft documents DWebBrowserEvents2::NewWindow3 and
// NewWindow2: before the browser opens a window for window.open or a link
// that targets a new window ("_blank"), it fires NewWindow3 (DISPID 273;
// ppDisp as VT_DISPATCH by reference, null; Cancel as VT_BOOL by reference,
// VARIANT_FALSE; dwFlags, the NWMF flags, as VT_UI4; bstrUrlContext, the
// URL of the opening page, and bstrUrl, the new window's URL, as VT_BSTR).
// IE 6 and XP before SP2 fire NewWindow2 (DISPID 251: ppDisp and Cancel
// only) instead. A sink that sets Cancel to VARIANT_TRUE stops the window;
// otherwise it opens (the stand-in only counts it).
//
// Apartment-threaded: use it on the thread that created it.

#include <windows.h>
#include <exdisp.h>

#include <cstddef>
#include <string_view>

#include "com/ComPtr.h"

class IStandInBrowser
{
public:
    // What get_Document answers from now on (a counted reference is kept;
    // null: no document).
    virtual void SetDocument(IDispatch* document) = 0;
    // Fires NavigateComplete2 with frame as pDisp: the browser itself for
    // the top-level frame, a frame's own browser object for a sub-frame.
    virtual void FireNavigateComplete2(IDispatch* frame, std::wstring_view url) = 0;
    virtual void FireDownloadBegin() = 0;
    // A new window on `url` that the page `openerUrl` opens, as IE 7 and
    // later announce it (NewWindow3 with `flags`, for instance
    // NWMF_USERINITED | NWMF_FIRST for a click on a "_blank" link); true
    // when it opened (no sink cancelled it).
    virtual bool OpenNewWindow(std::wstring_view url, std::wstring_view openerUrl, DWORD flags) = 0;
    // The same as IE 6 announces it (NewWindow2: no URL).
    virtual bool OpenNewWindowAsIE6() = 0;
    // Windows opened so far.
    virtual std::size_t OpenedWindows() const = 0;
    // What get_ReadyState answers from now on. The browser says
    // READYSTATE_LOADING while a navigation loads and READYSTATE_COMPLETE
    // once the document and its resources have (just before
    // DocumentComplete of the top-level frame).
    virtual void SetReadyState(READYSTATE state) = 0;
    // Sinks connected now.
    virtual std::size_t ConnectionCount() const = 0;
    // How often get_Document was called.
    virtual std::size_t DocumentRequests() const = 0;
    // Drops every connected sink and the document (a closing window).
    virtual void Close() = 0;

protected:
    ~IStandInBrowser() = default;
};

CComPtr<IWebBrowser2> CreateStandInBrowser();

// The stand-in behind a browser object of this model; throws
// std::invalid_argument for any other object.
IStandInBrowser& StandInBrowser(IUnknown* browser);

// The message loop of a browser window's thread, which the helpers' timers
// and urlmon need. PumpMessages dispatches what is queued now; PumpUntil
// pumps until done() holds (true) or timeoutMs has passed (false); PumpFor
// pumps for ms.
void PumpMessages();

template <class Predicate>
bool PumpUntil(Predicate&& done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        if (done())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

inline void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}
