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
//
// Per window: sited on a web browser, it listens to DWebBrowserEvents2 and,
// when the top-level frame navigates or a download begins, starts a 10 ms
// thread timer that inserts the behavior style into the top-level document,
// retrying every 10 ms until it succeeds, the browser's ready state says the
// document finished loading, or a minute has passed. Only the most recently
// started timer injects.
//
// Timers never outlive what they work on: SetSite(NULL) and the destructor
// kill every timer the object started, and the timer callback finds its
// object through a table of live timers, so a tick that was already due
// finds nothing and only kills its timer. The code the callback points to
// stays loaded, because registering the request filter pins the library.

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>

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
    // The top-level frame (the browser itself) starts an injection; a
    // sub-frame starts nothing.
    void OnNavigateComplete2(IDispatch* frame);
    // Starts an injection timer; an earlier one dies at its next tick.
    void OnDownloadBegin();

    // Number of CBHO objects alive in this process.
    static LONG HelperCount() noexcept;

private:
    class CEventSink;

    static void CALLBACK OnTimer(HWND window, UINT message, UINT_PTR id, DWORD time);
    void Tick(UINT_PTR id);
    void KillInjectionTimer(UINT_PTR id) noexcept;
    void KillInjectionTimers() noexcept;
    HRESULT Disconnect() noexcept;

    CComPtr<IUnknown> m_site;
    CComPtr<IWebBrowser2> m_browser;
    CComPtr<CEventSink> m_sink;
    // The browser's DWebBrowserEvents2 connection point while connected.
    CComPtr<IConnectionPoint> m_connection;
    DWORD m_cookie = kNotConnected;
    UINT_PTR m_timerId = 0;
    DWORD m_timerStart = 0;  // GetTickCount when m_timerId started
    // A tick is asking the document (which may pump messages).
    bool m_injecting = false;
    // Construction counted this object in the process's helper count.
    bool m_counted = false;

    static constexpr DWORD kNotConnected = 0xFEFEFEFE;
};

// Inserts <style type="text/css"> holding "*{behavior:url(#default#quellan)}"
// as the first child of the document's first head element. Returns the
// HRESULT of the first failing step: E_NOINTERFACE for a null document, one
// without IHTMLDocument3 or IMarkupServices, or without a head element;
// E_FAIL for a style element without a style sheet. Never throws. Each
// success adds one more style element; nothing checks for an earlier one.
HRESULT InjectBehaviorStyle(IDispatch* document) noexcept;
