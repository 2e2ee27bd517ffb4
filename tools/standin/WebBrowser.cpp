#include <exdispid.h>
#include <olectl.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "com/Bstr.h"
#include "com/Error.h"
#include "com/InterfaceId.h"
#include "tools/standin/Objects.h"
#include "tools/standin/StandInBrowser.h"
#include "tools/standin/WebBrowserStubs.h"

namespace StandIn {

namespace {

constexpr IID kBrowserObjectId = {0x6a1c4f0e, 0x0d7b, 0x4b52, {0x9a, 0x3e, 0x5f, 0x2a, 0x1b, 0x7c, 0x9d, 0x10}};

class CWebBrowser;

// The one connection point, for DWebBrowserEvents2. It holds its browser
// only while a client holds it.
class CConnectionPoint final : public CObject<CConnectionPoint, IConnectionPoint>
{
public:
    explicit CConnectionPoint(CWebBrowser* browser);

    void* Find(REFIID riid)
    {
        return InlineIsEqualGUID(riid, IID_IConnectionPoint) ? static_cast<IConnectionPoint*>(this) : nullptr;
    }

    STDMETHODIMP GetConnectionInterface(IID* pIID) override
    {
        if (!pIID)
            return E_POINTER;
        *pIID = DIID_DWebBrowserEvents2;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override
    {
        if (ppEnum)
            *ppEnum = nullptr;
        return E_NOTIMPL;
    }

private:
    CComPtr<CWebBrowser> m_browser;
};

class CWebBrowser final : public CObject<CWebBrowser, CStubIWebBrowser2, IConnectionPointContainer>,
                          public IStandInBrowser
{
public:
    void* Find(REFIID riid)
    {
        if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IID_IWebBrowser) ||
            InlineIsEqualGUID(riid, IID_IWebBrowserApp) || InlineIsEqualGUID(riid, IID_IWebBrowser2))
            return static_cast<IWebBrowser2*>(this);
        if (InlineIsEqualGUID(riid, IID_IConnectionPointContainer))
            return static_cast<IConnectionPointContainer*>(this);
        if (InlineIsEqualGUID(riid, kBrowserObjectId))
            return this;
        return nullptr;
    }

    // IWebBrowser2
    STDMETHODIMP get_ReadyState(READYSTATE* plReadyState) override
    {
        if (!plReadyState)
            return E_POINTER;
        *plReadyState = m_readyState;
        return S_OK;
    }

    // IWebBrowser
    STDMETHODIMP get_Document(IDispatch** ppDisp) override
    {
        if (!ppDisp)
            return E_POINTER;
        ++m_documentRequests;
        m_document.CopyTo(ppDisp);
        return S_OK;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        if (ppEnum)
            *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        if (!ppCP)
            return E_POINTER;
        *ppCP = nullptr;
        if (!InlineIsEqualGUID(riid, DIID_DWebBrowserEvents2))
            return CONNECT_E_NOCONNECTION;
        return CallAtBoundary([&] { *ppCP = CConnectionPoint::Make(this).Detach(); });
    }

    // IStandInBrowser
    void SetDocument(IDispatch* document) override { m_document = document; }
    void FireNavigateComplete2(IDispatch* frame, std::wstring_view url) override
    {
        VARIANT address;
        VariantInit(&address);
        V_VT(&address) = VT_BSTR;
        V_BSTR(&address) = CComBSTR(url).Detach();
        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        // Last argument first: URL, then pDisp.
        V_VT(&arguments[0]) = VT_VARIANT | VT_BYREF;
        V_VARIANTREF(&arguments[0]) = &address;
        V_VT(&arguments[1]) = VT_DISPATCH;
        V_DISPATCH(&arguments[1]) = frame;
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        Fire(DISPID_NAVIGATECOMPLETE2, parameters);
        VariantClear(&address);
    }
    void FireDownloadBegin() override
    {
        DISPPARAMS parameters = {nullptr, nullptr, 0, 0};
        Fire(DISPID_DOWNLOADBEGIN, parameters);
    }
    bool OpenNewWindow(std::wstring_view url, std::wstring_view openerUrl, DWORD flags) override
    {
        CComPtr<IDispatch> window;
        VARIANT_BOOL cancel = VARIANT_FALSE;
        CComBSTR context(openerUrl);
        CComBSTR address(url);
        VARIANT arguments[5];
        for (VARIANT& argument : arguments)
            VariantInit(&argument);
        // Last argument first: bstrUrl, bstrUrlContext, dwFlags, Cancel, ppDisp.
        V_VT(&arguments[0]) = VT_BSTR;
        V_BSTR(&arguments[0]) = address.Get();
        V_VT(&arguments[1]) = VT_BSTR;
        V_BSTR(&arguments[1]) = context.Get();
        V_VT(&arguments[2]) = VT_UI4;
        V_UI4(&arguments[2]) = flags;
        V_VT(&arguments[3]) = VT_BOOL | VT_BYREF;
        V_BOOLREF(&arguments[3]) = &cancel;
        V_VT(&arguments[4]) = VT_DISPATCH | VT_BYREF;
        V_DISPATCHREF(&arguments[4]) = window.Put();
        DISPPARAMS parameters = {arguments, nullptr, 5, 0};
        Fire(DISPID_NEWWINDOW3, parameters);
        return Opened(cancel);
    }
    bool OpenNewWindowAsIE6() override
    {
        CComPtr<IDispatch> window;
        VARIANT_BOOL cancel = VARIANT_FALSE;
        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        V_VT(&arguments[0]) = VT_BOOL | VT_BYREF;
        V_BOOLREF(&arguments[0]) = &cancel;
        V_VT(&arguments[1]) = VT_DISPATCH | VT_BYREF;
        V_DISPATCHREF(&arguments[1]) = window.Put();
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        Fire(DISPID_NEWWINDOW2, parameters);
        return Opened(cancel);
    }
    std::size_t OpenedWindows() const override { return m_openedWindows; }
    std::size_t ConnectionCount() const override { return m_sinks.size(); }
    std::size_t DocumentRequests() const override { return m_documentRequests; }
    void SetReadyState(READYSTATE state) override { m_readyState = state; }
    void Close() override
    {
        auto sinks = std::move(m_sinks);
        m_sinks.clear();
        m_document.Reset();
    }

    DWORD Connect(IDispatch* sink)
    {
        m_sinks.emplace_back(++m_lastCookie, CComPtr<IDispatch>(sink));
        return m_lastCookie;
    }
    bool Disconnect(DWORD cookie)
    {
        for (auto entry = m_sinks.begin(); entry != m_sinks.end(); ++entry) {
            if (entry->first == cookie) {
                // The sink may be released only after the list is consistent.
                CComPtr<IDispatch> sink = std::move(entry->second);
                m_sinks.erase(entry);
                return true;
            }
        }
        return false;
    }

private:
    bool Opened(VARIANT_BOOL cancel)
    {
        // Documented: VARIANT_TRUE cancels. Nothing is known of other
        // values, so none but that one counts.
        if (cancel == VARIANT_TRUE)
            return false;
        ++m_openedWindows;
        return true;
    }

    void Fire(DISPID member, DISPPARAMS& parameters)
    {
        // A sink may disconnect itself, or others, while it handles the event.
        std::vector<std::pair<DWORD, CComPtr<IDispatch>>> sinks = m_sinks;
        for (auto& [cookie, sink] : sinks) {
            bool stillConnected = false;
            for (const auto& entry : m_sinks)
                stillConnected = stillConnected || entry.first == cookie;
            if (stillConnected)
                sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr,
                             nullptr);
        }
    }

    CComPtr<IDispatch> m_document;
    std::vector<std::pair<DWORD, CComPtr<IDispatch>>> m_sinks;
    DWORD m_lastCookie = 0;
    std::size_t m_documentRequests = 0;
    std::size_t m_openedWindows = 0;
    READYSTATE m_readyState = READYSTATE_UNINITIALIZED;
};

CConnectionPoint::CConnectionPoint(CWebBrowser* browser) : m_browser(browser) {}

STDMETHODIMP CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    *ppCPC = static_cast<IConnectionPointContainer*>(m_browser.Get());
    (*ppCPC)->AddRef();
    return S_OK;
}

STDMETHODIMP CConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink)
        return E_POINTER;
    CComPtr<IDispatch> sink;
    if (FAILED(pUnkSink->QueryInterface(DIID_DWebBrowserEvents2, sink.PutVoid())) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    return CallAtBoundary([&] { *pdwCookie = m_browser->Connect(sink); });
}

STDMETHODIMP CConnectionPoint::Unadvise(DWORD dwCookie)
{
    return m_browser->Disconnect(dwCookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

}  // namespace

}  // namespace StandIn

CComPtr<IWebBrowser2> CreateStandInBrowser()
{
    return CComPtr<IWebBrowser2>(StandIn::CWebBrowser::Make().Get());
}

IStandInBrowser& StandInBrowser(IUnknown* browser)
{
    CComPtr<StandIn::CWebBrowser> object;
    if (!browser || FAILED(browser->QueryInterface(StandIn::kBrowserObjectId, object.PutVoid())))
        throw std::invalid_argument("not a stand-in browser");
    // The caller's reference keeps it alive.
    return *object;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}
