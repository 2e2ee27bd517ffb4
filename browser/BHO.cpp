#include "browser/BHO.h"

#include <exdispid.h>
#include <mshtml.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <optional>
#include <vector>

#include "broker/CreateBroker.h"
#include "browser/AllowedFrames.h"
#include "browser/PageHiding.h"
#include "browser/RequestFilter.h"
#include "com/Bstr.h"
#include "com/Error.h"
#include "com/Sync.h"
#include "com/Trace.h"
#include "com/Variant.h"
#include "storage/ListUpdateScheduler.h"
#include "storage/MachineLists.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "storage/SettingsStore.h"
#include "verdict/RequestVerdict.h"

namespace {

constexpr wchar_t kBehaviorStyleRule[] = L"*{behavior:url(#default#quellan)}";
constexpr UINT kInjectionIntervalMs = 10;
// How long an injection timer may retry while its document keeps loading.
constexpr DWORD kInjectionBoundMs = 60000;

// Process-wide state of the helper objects (one copy per loaded library).
volatile LONG g_helperCount = 0;
// Guards the two handles below while they are opened and used.
CCriticalSection g_processCountLock;
// "ProcessRefLock" serialises the cross-process count; the handle count of
// "ProcessRefCount" is the number of the user's browser processes that
// have a helper object now. The lock is opened at the first helper object
// and kept until the library unloads (which the request filter's pin makes
// the end of the process); the counter is held only while the process has
// a helper object. A process that closed its last window but lingers must
// not count: the next process to open a window would take it for another
// browser that already shows the menu entries, which the lingering one
// removed.
CNamedMutex g_processLock;
CNamedMutex g_processCounter;

// The subscriptions' updates of this process, while it has a sited helper
// object (storage/ListUpdateScheduler.h): one thread for all its tabs.
CCriticalSection g_updatesLock;
std::unique_ptr<CListUpdateScheduler> g_updates;

// The live injection timers. A thread timer is known by its thread and id.
struct CTimerEntry
{
    DWORD thread;
    UINT_PTR id;
    CBHO* owner;
};
CCriticalSection g_timersLock;
std::vector<CTimerEntry> g_timers;

// The helper objects sited on a browser, by the thread they work on.
struct CSitedHelper
{
    DWORD thread;
    CBHO* helper;
};
CCriticalSection g_sitedLock;
std::vector<CSitedHelper> g_sited;

void AddSitedHelper(CBHO* helper)
{
    CCritSecLock guard(g_sitedLock);
    g_sited.push_back({GetCurrentThreadId(), helper});
}

void RemoveSitedHelper(CBHO* helper) noexcept
{
    CCritSecLock guard(g_sitedLock);
    g_sited.erase(std::remove_if(g_sited.begin(), g_sited.end(),
                                 [&](const CSitedHelper& e) { return e.helper == helper; }),
                  g_sited.end());
}

// Joins the cross-process count; true when this is the only browser
// process of the user that has the add-on.
bool JoinBrowserProcesses()
{
    CCritSecLock guard(g_processCountLock);
    SECURITY_ATTRIBUTES* security = GetSharedSecurityAttributes();
    if (!g_processLock)
        g_processLock = CNamedMutex(security, MakeSharedObjectName(L"ProcessRefLock"));
    CMutexHold hold(g_processLock.Get());
    // Opened only under the lock: two processes arriving together must not
    // both count two.
    if (!g_processCounter)
        g_processCounter = CNamedMutex(security, MakeSharedObjectName(L"ProcessRefCount"));
    return GetHandleCount(g_processCounter.Get()) == 1;
}

// A helper object was sited: the process's updates start, on a thread of
// their own, if they have not yet.
void StartListUpdates()
{
    CCritSecLock guard(g_updatesLock);
    if (g_updates)
        return;
    auto updates = std::make_unique<CListUpdateScheduler>(
        GetAdblockListStore(), CListUpdateTiming(),
        [] {
            CStoreReader reader(GetSettingsStore());
            return IsSessionDisabled(reader);
        },
        &ReadMachineListsValue);
    updates->Start();
    g_updates = std::move(updates);
}

// The last helper object went: the thread ends on its own (never waited
// for here, on a thread that draws pages).
void StopListUpdates() noexcept
{
    CCritSecLock guard(g_updatesLock);
    g_updates.reset();
}

// The first helper object of the process.
void ArriveInProcess()
{
    RegisterRequestFilter();
    if (!JoinBrowserProcesses())
        return;
    HRESULT hr = CallAtBoundary([] { return CreateBroker()->InstallMenuExt(TRUE); });
    if (FAILED(hr)) {
        TraceFailure(hr, "menu entries not installed");
        MessageBoxW(nullptr, L"error installing menu extensions", L"error", MB_OK);
    }
}

// A helper object that was counted goes. The last one of the last browser
// process removes the menu entries; nothing of this may fail the caller.
void LeaveProcess() noexcept
{
    CCritSecLock guard(g_processCountLock);
    std::optional<CMutexHold> hold;
    HRESULT held = g_processLock ? CallAtBoundary([&] { hold.emplace(g_processLock.Get()); }) : E_HANDLE;
    if (InterlockedDecrement(&g_helperCount) != 0)
        return;
    StopListUpdates();
    if (!g_processCounter)
        return;
    // The result is not examined: the entries stay when they cannot go.
    if (SUCCEEDED(held)) {
        (void)CallAtBoundary([] {
            if (GetHandleCount(g_processCounter.Get()) == 1)
                return CreateBroker()->InstallMenuExt(FALSE);
            return S_OK;
        });
    }
    // Leaves the count while still holding the lock, so that a process
    // arriving now counts without this one. The next helper object of this
    // process joins again.
    g_processCounter = CNamedMutex();
}

IDispatch* DispatchArgument(const VARIANT& argument) noexcept
{
    if (V_VT(&argument) == VT_DISPATCH)
        return V_DISPATCH(&argument);
    if (V_VT(&argument) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(&argument))
        return *V_DISPATCHREF(&argument);
    if (V_VT(&argument) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&argument))
        return DispatchArgument(*V_VARIANTREF(&argument));
    return nullptr;
}

// A string argument as the browser passes it (by value, by reference, or in
// a VARIANT by reference); null for anything else.
const wchar_t* TextArgument(const VARIANT& argument) noexcept
{
    if (V_VT(&argument) == VT_BSTR)
        return V_BSTR(&argument);
    if (V_VT(&argument) == (VT_BSTR | VT_BYREF) && V_BSTRREF(&argument))
        return *V_BSTRREF(&argument);
    if (V_VT(&argument) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&argument))
        return TextArgument(*V_VARIANTREF(&argument));
    return nullptr;
}

// Sets an [in, out] Boolean argument (Cancel) to true; false when it is not
// one the event lets the sink write.
bool SetTrue(VARIANT& argument) noexcept
{
    if (V_VT(&argument) == (VT_BOOL | VT_BYREF) && V_BOOLREF(&argument)) {
        *V_BOOLREF(&argument) = VARIANT_TRUE;
        return true;
    }
    if (V_VT(&argument) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&argument)) {
        VARIANT& inner = *V_VARIANTREF(&argument);
        if (V_VT(&inner) == VT_BOOL) {
            V_BOOL(&inner) = VARIANT_TRUE;
            return true;
        }
        return SetTrue(inner);
    }
    return false;
}

bool SameObject(IUnknown* a, IUnknown* b) noexcept
{
    if (!a || !b)
        return false;
    CComPtr<IUnknown> identityA, identityB;
    if (FAILED(a->QueryInterface(IID_IUnknown, identityA.PutVoid())) ||
        FAILED(b->QueryInterface(IID_IUnknown, identityB.PutVoid())))
        return false;
    return identityA.Get() == identityB.Get();
}

}  // namespace

// The DWebBrowserEvents2 sink: an object of its own, so that the browser
// may hold it as long as it likes. It reaches its helper object only while
// the helper lives.
class CBHO::CEventSink final : public CComObjectBase<CEventSink, IDispatch>
{
public:
    explicit CEventSink(CBHO* owner) noexcept : m_owner(owner) {}

    void Orphan() noexcept { m_owner = nullptr; }

    HRESULT QueryOtherInterface(REFIID riid, void** ppv)
    {
        if (!InlineIsEqualGUID(riid, DIID_DWebBrowserEvents2))
            return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }

    STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return CallAtBoundary([&] {
            // The helper may be released while it handles the event.
            CComPtr<CBHO> owner(m_owner);
            if (!owner)
                return;
            if (member == DISPID_NAVIGATECOMPLETE2) {
                // NavigateComplete2(pDisp, URL): arguments arrive last first.
                IDispatch* frame = nullptr;
                const wchar_t* url = nullptr;
                if (params && params->cArgs >= 2 && params->rgvarg) {
                    frame = DispatchArgument(params->rgvarg[params->cArgs - 1]);
                    url = TextArgument(params->rgvarg[params->cArgs - 2]);
                }
                owner->OnNavigateComplete2(frame, url);
            } else if (member == DISPID_DOWNLOADBEGIN) {
                owner->OnDownloadBegin();
            } else if (member == DISPID_NEWWINDOW3 && params && params->cArgs == 5 && params->rgvarg) {
                // NewWindow3(ppDisp, Cancel, dwFlags, bstrUrlContext,
                // bstrUrl), last first. NewWindow2 (IE 6, and XP before
                // SP2) gives no URL: nothing to judge, the window opens.
                const wchar_t* url = TextArgument(params->rgvarg[0]);
                const wchar_t* opener = TextArgument(params->rgvarg[1]);
                if (url && !owner->OnNewWindow3(url, opener) && !SetTrue(params->rgvarg[3]))
                    TraceFailure(E_INVALIDARG, "new window not cancelled: no Cancel argument");
            }
        });
    }

private:
    CBHO* m_owner;
};

LONG CBHO::HelperCount() noexcept
{
    return InterlockedCompareExchange(&g_helperCount, 0, 0);
}

CBHO::CBHO() noexcept = default;

HRESULT CBHO::FinalConstruct()
{
    HRESULT hr = CallAtBoundary([&] { m_sink = CEventSink::Create(this); });
    if (FAILED(hr))
        return hr;
    m_counted = true;
    if (InterlockedIncrement(&g_helperCount) != 1) {
        // The first helper object may still be registering on another
        // window's thread; this window must not load before the filter is
        // in place (the call returns at once once it is).
        return CallAtBoundary([] { RegisterRequestFilter(); });
    }
    // A failure destroys the object, whose destructor takes it out of the
    // count again.
    return CallAtBoundary([] { ArriveInProcess(); });
}

CBHO::~CBHO()
{
    RemoveSitedHelper(this);
    KillInjectionTimers();
    GetAllowedFrames().Forget(this);
    if (m_sink)
        m_sink->Orphan();
    Disconnect();
    if (m_counted)
        LeaveProcess();
}

STDMETHODIMP CBHO::SetSite(IUnknown* site)
{
    return CallAtBoundary([&]() -> HRESULT {
        if (!site) {
            RemoveSitedHelper(this);
            KillInjectionTimers();
            HRESULT hr = Disconnect();
            m_frames.clear();
            GetAllowedFrames().Forget(this);
            m_pageUrl.clear();
            m_pageAllowed = false;
            m_browser.Reset();
            m_site.Reset();
            return hr;
        }
        // Connected to one browser, the object must not start to work on
        // another: its events would still come from the first.
        if (m_cookie != kNotConnected)
            return E_FAIL;
        m_site = site;
        m_browser.Reset();
        if (FAILED(site->QueryInterface(IidOf<IWebBrowser2>(), m_browser.PutVoid())) || !m_browser) {
            m_browser.Reset();
            return E_NOINTERFACE;
        }
        CComPtr<IConnectionPointContainer> container;
        HRESULT hr = m_browser.QueryInterface(container.Put());
        if (FAILED(hr))
            return hr;
        CComPtr<IConnectionPoint> connection;
        hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2, connection.Put());
        if (FAILED(hr))
            return hr;
        // Listed before it can hear of a page (the list's only failure is
        // one of memory).
        AddSitedHelper(this);
        DWORD cookie = 0;
        hr = connection->Advise(static_cast<IDispatch*>(m_sink.Get()), &cookie);
        if (FAILED(hr)) {
            RemoveSitedHelper(this);
            return hr;
        }
        m_connection = connection;
        m_cookie = cookie;
        // Updates are extra: the helper object works without them.
        HRESULT updates = CallAtBoundary([] { StartListUpdates(); });
        if (FAILED(updates))
            TraceFailure(updates, "list updates not started");
        return hr;
    });
}

STDMETHODIMP CBHO::GetSite(REFIID riid, void** site)
{
    if (!site)
        return E_POINTER;
    *site = nullptr;
    if (!m_site)
        return E_FAIL;
    return m_site->QueryInterface(riid, site);
}

HRESULT CBHO::Disconnect() noexcept
{
    if (m_cookie == kNotConnected)
        return S_OK;
    HRESULT hr = m_connection->Unadvise(m_cookie);
    m_connection.Reset();
    m_cookie = kNotConnected;
    return hr;
}

void CBHO::OnNavigateComplete2(IDispatch* frame, const wchar_t* url)
{
    if (!m_browser || !frame)
        return;
    if (SameObject(m_browser, frame)) {
        // A new page: its frames navigate after it.
        m_frames.clear();
        GetAllowedFrames().Forget(this);
        m_pageUrl = url ? url : L"";
        m_pageAllowed = url && IsPageOfAllowedSite(url);
        Await(m_browser);
        return;
    }
    CComPtr<IWebBrowser2> frameBrowser;
    if (FAILED(frame->QueryInterface(IidOf<IWebBrowser2>(), frameBrowser.PutVoid())) || !frameBrowser)
        return;
    // Known before the frame's document asks for anything: the browser
    // requests a document's images, scripts and inner frames only once it
    // has created it, which is when it fires NavigateComplete2.
    if (m_pageAllowed && url)
        GetAllowedFrames().Remember(this, url);
    Await(frameBrowser);
}

void CBHO::OnAllowedSitesChanged() noexcept
{
    std::vector<CComPtr<CBHO>> helpers;
    HRESULT hr = CallAtBoundary([&] {
        CCritSecLock guard(g_sitedLock);
        const DWORD thread = GetCurrentThreadId();
        // Only helpers of this thread: they cannot be in their destructor
        // while this thread runs here.
        for (const CSitedHelper& entry : g_sited) {
            if (entry.thread == thread)
                helpers.emplace_back(entry.helper);
        }
    });
    if (FAILED(hr))
        TraceFailure(hr, "shown pages not judged again");
    // One window's failure leaves the others to be judged.
    for (const CComPtr<CBHO>& helper : helpers) {
        hr = CallAtBoundary([&] { helper->ReviewPageAllowance(); });
        if (FAILED(hr))
            TraceFailure(hr, "shown page not judged again");
    }
}

void CBHO::ReviewPageAllowance()
{
    m_pageAllowed = !m_pageUrl.empty() && IsPageOfAllowedSite(m_pageUrl.c_str());
    // Frames remembered before stay remembered while the page is allowed:
    // forgetting them first would block their requests for a moment.
    if (m_pageAllowed)
        RememberShownFrames();
    else
        GetAllowedFrames().Forget(this);
}

namespace {

// The document a frame of a frames collection shows, through the frame's
// own web browser object: a frame of another site denies its window's
// document and location to the page (cross-frame security), but its web
// browser answers (IServiceProvider::QueryService(IID_IWebBrowserApp) on the
// frame's window, KB 196340 "How To Get the WebBrowser Object Model of an
// HTML Frame"). Null when the frame has none (yet).
CComPtr<IHTMLDocument2> FrameDocument(IHTMLFramesCollection2* frames, LONG index)
{
    CComVariant which(index);
    CComVariant result;
    CComPtr<IHTMLDocument2> document;
    if (FAILED(frames->item(const_cast<VARIANT*>(&which.Get()), result.Put())) || result.Type() != VT_DISPATCH ||
        !V_DISPATCH(&result.Get()))
        return document;
    CComPtr<IServiceProvider> services;
    CComPtr<IWebBrowser2> browser;
    CComPtr<IDispatch> shown;
    if (FAILED(V_DISPATCH(&result.Get())->QueryInterface(IID_IServiceProvider, services.PutVoid())) || !services ||
        FAILED(services->QueryService(IID_IWebBrowserApp, IidOf<IWebBrowser2>(), browser.PutVoid())) || !browser ||
        FAILED(browser->get_Document(shown.Put())) || !shown ||
        FAILED(shown->QueryInterface(IidOf<IHTMLDocument2>(), document.PutVoid())))
        document.Reset();
    return document;
}

}  // namespace

void CBHO::RememberShownFrames()
{
    if (!m_browser)
        return;
    CComPtr<IDispatch> top;
    CComPtr<IHTMLDocument2> topDocument;
    if (FAILED(m_browser->get_Document(top.Put())) || !top ||
        FAILED(top->QueryInterface(IidOf<IHTMLDocument2>(), topDocument.PutVoid())) || !topDocument)
        return;
    // Breadth first, each frame's document once: a page cannot show itself
    // in its own frames, and the bound ends the walk whatever a page does.
    std::vector<CComPtr<IHTMLDocument2>> documents{topDocument};
    for (std::size_t next = 0; next < documents.size() && documents.size() <= kAllowedFramesCapacity; ++next) {
        CComPtr<IHTMLFramesCollection2> frames;
        LONG count = 0;
        if (FAILED(documents[next]->get_frames(frames.Put())) || !frames || FAILED(frames->get_length(&count)))
            continue;
        for (LONG i = 0; i < count && documents.size() <= kAllowedFramesCapacity; ++i) {
            CComPtr<IHTMLDocument2> document = FrameDocument(frames, i);
            CComBSTR url;
            if (!document || FAILED(document->get_URL(url.Put())))
                continue;
            GetAllowedFrames().Remember(this, BstrText(url));
            documents.push_back(document);
        }
    }
}

bool CBHO::OnNewWindow3(const wchar_t* url, const wchar_t* openerUrl) noexcept
{
    return IsPopupAllowed(url, openerUrl);
}

void CBHO::OnDownloadBegin()
{
    if (m_browser)
        Await(m_browser);
}

void CBHO::Await(IWebBrowser2* browser)
{
    auto frame = std::find_if(m_frames.begin(), m_frames.end(),
                              [&](const CFrameState& f) { return SameObject(f.browser, browser); });
    if (frame == m_frames.end()) {
        if (m_frames.size() < kMaxFrames) {
            m_frames.emplace_back();
            frame = m_frames.end() - 1;
        } else {
            // A page of more frames than that: the one that waited longest
            // gives up its place (the top-level frame keeps its own). Never
            // erased, so that a tick walking the list by index stays valid.
            frame = std::min_element(m_frames.begin() + 1, m_frames.end(), [](const CFrameState& x, const CFrameState& y) {
                return x.waiting != y.waiting ? !x.waiting : x.start < y.start;
            });
            *frame = CFrameState();
        }
        frame->browser = browser;
    }
    frame->waiting = true;
    frame->start = GetTickCount();
    StartTimer();
}

void CBHO::StartTimer()
{
    CCritSecLock guard(g_timersLock);
    g_timers.reserve(g_timers.size() + 1);
    UINT_PTR id = SetTimer(nullptr, 0, kInjectionIntervalMs, &CBHO::OnTimer);
    if (id == 0)
        return;
    g_timers.push_back({GetCurrentThreadId(), id, this});
    m_timerId = id;
}

void CALLBACK CBHO::OnTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    CComPtr<CBHO> owner;
    {
        CCritSecLock guard(g_timersLock);
        DWORD thread = GetCurrentThreadId();
        auto entry = std::find_if(g_timers.begin(), g_timers.end(),
                                  [&](const CTimerEntry& e) { return e.thread == thread && e.id == id; });
        if (entry != g_timers.end())
            owner = entry->owner;
    }
    if (!owner) {
        // Its object stopped it, or is gone: a tick that was already due.
        KillTimer(nullptr, id);
        return;
    }
    owner->Tick(id);
}

void CBHO::Tick(UINT_PTR id)
{
    if (id != m_timerId || !m_browser) {
        KillInjectionTimer(id);
        return;
    }
    // The document may run a message loop while we ask it; a tick that
    // arrives meanwhile waits for the next one. Events that arrive then may
    // add frames (never remove one) or, with SetSite(NULL), forget them all:
    // hence the index and the size check.
    if (m_injecting)
        return;
    m_injecting = true;
    bool waiting = false;
    for (std::size_t i = 0; i < m_frames.size(); ++i) {
        if (!m_frames[i].waiting)
            continue;
        CFrameState frame = m_frames[i];
        const bool done = TryStyle(frame);
        if (i < m_frames.size() && SameObject(m_frames[i].browser, frame.browser)) {
            m_frames[i].styled = frame.styled;
            // A navigation during the call waits anew.
            if (done && m_frames[i].start == frame.start)
                m_frames[i].waiting = false;
        }
        waiting = waiting || (i < m_frames.size() && m_frames[i].waiting);
    }
    m_injecting = false;
    if (!waiting && id == m_timerId)
        KillInjectionTimer(id);
}

bool CBHO::TryStyle(CFrameState& frame)
{
    CComPtr<IWebBrowser2> browser = frame.browser;
    CComPtr<IDispatch> document;
    HRESULT hr = CallAtBoundary([&] { return browser->get_Document(document.Put()); });
    if (SUCCEEDED(hr) && document) {
        CComPtr<IUnknown> identity;
        if (FAILED(document->QueryInterface(IID_IUnknown, identity.PutVoid())) || !identity)
            return true;
        // Another DownloadBegin of a page that has its style already.
        if (identity.Get() == frame.styled.Get())
            return true;
        // A page of a site the user allowed hides nothing, in none of its
        // frames; the behavior style stays, and its behavior hides nothing.
        std::shared_ptr<const CHidingStyle> hiding = m_pageAllowed ? nullptr : HidingStyleForDocument(document);
        hr = InjectPageStyle(document, hiding.get());
        if (SUCCEEDED(hr)) {
            frame.styled = identity;
            return true;
        }
    } else if (SUCCEEDED(hr)) {
        hr = E_PENDING;
    }
    // A document that finished loading without taking the style never will
    // (text, XML or an image shown alone: no head element); nor, after the
    // bound, will one that keeps loading. Retrying would wake the thread
    // every 10 ms for as long as the page is shown.
    READYSTATE state = READYSTATE_UNINITIALIZED;
    if (FAILED(CallAtBoundary([&] { return browser->get_ReadyState(&state); })))
        state = READYSTATE_UNINITIALIZED;
    return state == READYSTATE_COMPLETE || GetTickCount() - frame.start >= kInjectionBoundMs;
}

void CBHO::KillInjectionTimer(UINT_PTR id) noexcept
{
    CCritSecLock guard(g_timersLock);
    DWORD thread = GetCurrentThreadId();
    KillTimer(nullptr, id);
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [&](const CTimerEntry& e) { return e.thread == thread && e.id == id; }),
                   g_timers.end());
}

void CBHO::KillInjectionTimers() noexcept
{
    CCritSecLock guard(g_timersLock);
    auto mine = std::stable_partition(g_timers.begin(), g_timers.end(),
                                      [&](const CTimerEntry& e) { return e.owner != this; });
    // A timer of another thread cannot be killed from here; without its
    // entry its next tick kills it.
    for (auto entry = mine; entry != g_timers.end(); ++entry)
        KillTimer(nullptr, entry->id);
    g_timers.erase(mine, g_timers.end());
}

namespace {

// Inserts a style element holding `css` at `pointer` and moves the pointer
// after it.
HRESULT InsertStyleElement(IMarkupServices* markup, IMarkupPointer* pointer, const wchar_t* css)
{
    wchar_t attributes[] = L"type=\"text/css\"";
    CComPtr<IHTMLElement> style;
    HRESULT hr = markup->CreateElement(TAGID_STYLE, attributes, style.Put());
    if (FAILED(hr))
        return hr;
    if (!style)
        return E_FAIL;
    hr = markup->InsertElement(style, pointer, pointer);
    if (FAILED(hr))
        return hr;
    CComPtr<IHTMLStyleElement> styleElement;
    if (FAILED(style.QueryInterface(styleElement.Put())) || !styleElement)
        return E_NOINTERFACE;
    CComPtr<IHTMLStyleSheet> sheet;
    hr = styleElement->get_styleSheet(sheet.Put());
    if (FAILED(hr))
        return hr;
    if (!sheet)
        return E_FAIL;
    hr = sheet->put_cssText(CComBSTR(css));
    if (FAILED(hr))
        return hr;
    hr = pointer->MoveAdjacentToElement(style, ELEM_ADJ_AfterEnd);
    return FAILED(hr) ? hr : S_OK;
}

// The document mode as a number (IE 8 answers a VT_R4); 0 when unknown.
double DocumentModeOf(const VARIANT& mode) noexcept
{
    switch (V_VT(&mode)) {
    case VT_R4:
        return V_R4(&mode);
    case VT_R8:
        return V_R8(&mode);
    case VT_I4:
        return V_I4(&mode);
    case VT_I2:
        return V_I2(&mode);
    default:
        return 0;
    }
}

std::wstring WideOfUtf8(const std::string& text)
{
    if (text.empty() || text.size() > INT_MAX)
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

// The UTF-16 text of a sheet as the document takes it. The large sheets (the
// generic ones, shared by every page and frame that takes them whole) are
// converted once while they live, not once per document: hundreds of
// kilobytes each.
class CWideSheets
{
public:
    std::shared_ptr<const std::wstring> Of(const std::shared_ptr<const std::string>& sheet)
    {
        if (sheet->size() < kSharedSize)
            return std::make_shared<const std::wstring>(WideOfUtf8(*sheet));
        CCritSecLock hold(m_lock);
        for (const CEntry& entry : m_entries) {
            if (entry.sheet.lock() == sheet)
                return entry.wide;
        }
        // Sheets of lists that changed since go first.
        m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                       [](const CEntry& entry) { return entry.sheet.expired(); }),
                        m_entries.end());
        if (m_entries.size() >= kMaxEntries)
            m_entries.erase(m_entries.begin());
        auto wide = std::make_shared<const std::wstring>(WideOfUtf8(*sheet));
        m_entries.push_back({sheet, wide});
        return wide;
    }

private:
    static constexpr std::size_t kSharedSize = 16 * 1024;
    static constexpr std::size_t kMaxEntries = 16;
    struct CEntry
    {
        std::weak_ptr<const std::string> sheet;
        std::shared_ptr<const std::wstring> wide;
    };
    CCriticalSection m_lock;
    std::vector<CEntry> m_entries;
};

CWideSheets g_wideSheets;

}  // namespace

HRESULT InjectBehaviorStyle(IDispatch* document) noexcept
{
    return InjectPageStyle(document, nullptr);
}

HRESULT InjectPageStyle(IDispatch* document, const CHidingStyle* hiding) noexcept
{
    return CallAtBoundary([&]() -> HRESULT {
        CComPtr<IHTMLDocument3> document3;
        if (!document || FAILED(document->QueryInterface(IidOf<IHTMLDocument3>(), document3.PutVoid())) || !document3)
            return E_NOINTERFACE;
        CComPtr<IHTMLElementCollection> heads;
        HRESULT hr = document3->getElementsByTagName(CComBSTR(L"head"), heads.Put());
        if (FAILED(hr))
            return hr;
        if (!heads)
            return E_NOINTERFACE;
        CComVariant noName;
        CComVariant first(LONG(0));
        CComPtr<IDispatch> headObject;
        hr = heads->item(noName.Get(), first.Get(), headObject.Put());
        if (FAILED(hr))
            return hr;
        CComPtr<IHTMLElement> head;
        if (!headObject || FAILED(headObject.QueryInterface(head.Put())) || !head)
            return E_NOINTERFACE;
        CComPtr<IMarkupServices> markup;
        if (FAILED(document->QueryInterface(IidOf<IMarkupServices>(), markup.PutVoid())) || !markup)
            return E_NOINTERFACE;
        CComPtr<IMarkupPointer> pointer;
        hr = markup->CreateMarkupPointer(pointer.Put());
        if (FAILED(hr))
            return hr;
        hr = pointer->MoveAdjacentToElement(head, ELEM_ADJ_AfterBegin);
        if (FAILED(hr))
            return hr;
        hr = InsertStyleElement(markup, pointer, kBehaviorStyleRule);
        if (FAILED(hr) || !hiding)
            return hr;
        for (const std::shared_ptr<const std::string>& sheet : hiding->sheets) {
            if (!sheet || sheet->empty())
                continue;
            hr = InsertStyleElement(markup, pointer, g_wideSheets.Of(sheet)->c_str());
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    });
}

std::shared_ptr<const CHidingStyle> HidingStyleForDocument(IDispatch* document) noexcept
{
    CPageHiding* hiding = TryGetPageHiding();
    if (!hiding || !document)
        return nullptr;
    std::string host;
    CCssLevel level = CCssLevel::IE7;
    HRESULT hr = CallAtBoundary([&] {
        CComPtr<IHTMLDocument2> document2;
        if (FAILED(document->QueryInterface(IidOf<IHTMLDocument2>(), document2.PutVoid())) || !document2)
            return;
        CComBSTR url;
        if (FAILED(document2->get_URL(url.Put())))
            return;
        host = HostOfPageUrl(BstrText(url));
        // IE 8 in its own standards mode reads the IE 8 selectors; in
        // compatibility view (mode 7) and quirks mode (5), and in IE 7,
        // which has no IHTMLDocument6, the page reads CSS as IE 7 does.
        CComPtr<IHTMLDocument6> document6;
        CComVariant mode;
        if (SUCCEEDED(document->QueryInterface(IidOf<IHTMLDocument6>(), document6.PutVoid())) && document6 &&
            SUCCEEDED(document6->get_documentMode(mode.Put())) && DocumentModeOf(mode.Get()) >= 8)
            level = CCssLevel::IE8;
    });
    if (FAILED(hr))
        return nullptr;
    return hiding->StyleFor(host, level);
}
