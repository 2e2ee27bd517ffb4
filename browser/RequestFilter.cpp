#include "browser/RequestFilter.h"

#include "browser/AllowedFrames.h"
#include "browser/RequestFilterContext.h"
#include "com/Bstr.h"
#include "com/ClassFactory.h"
#include "com/Error.h"
#include "com/Sync.h"
#include "storage/SettingsStore.h"
#include "verdict/RequestVerdict.h"

namespace {

// The registration, once per process (process-wide, like the store caches).
CCriticalSection g_registrationLock;
bool g_registered = false;

// Keeps this library in memory until the process ends. COM frees an
// in-process server when the apartment that loaded it uninitialises (a
// closed tab's thread) whatever DllCanUnloadNow says, but the session is
// process-wide and keeps the filter's factory: a library unloaded under it
// would be called at the next request of any other tab.
void PinThisLibrary()
{
    HMODULE module = nullptr;
    ThrowLastErrorIf(!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                         reinterpret_cast<LPCWSTR>(&PinThisLibrary), &module));
}

}  // namespace

void RegisterRequestFilter()
{
    CCritSecLock hold(g_registrationLock);
    if (g_registered)
        return;
    CComPtr<IInternetSession> session;
    ThrowIfFailed(CoInternetGetSession(0, session.Put(), 0));
    CComPtr<IClassFactory> factory = CreateRequestFilterFactory();
    CComPtr<IClassFactory> secureFactory = CreateRequestFilterFactory(true);
    PinThisLibrary();
    // Never revoked: the session owns the factories until the process ends.
    // Secure requests are registered first: a failure then leaves "http"
    // unregistered too, and the next call tries both again (registering a
    // scheme twice only puts the newer handler in front).
    ThrowIfFailed(session->RegisterNameSpace(secureFactory, GUID_NULL, L"https", 0, nullptr, 0));
    ThrowIfFailed(session->RegisterNameSpace(factory, GUID_NULL, L"http", 0, nullptr, 0));
    g_registered = true;
}

CComPtr<IClassFactory> CreateRequestFilterFactory(bool secure)
{
    CComPtr<CComClassFactory> object = CComClassFactory::Create(
        secure ? &CHttpsRequestFilter::CreateAggregated : &CHttpRequestFilter::CreateAggregated);
    CComPtr<IClassFactory> factory;
    ThrowIfFailed(object.QueryInterface(factory.Put()));
    return factory;
}

bool IsRequestRefused(IUri* uri, IInternetProtocolSink* sink, IInternetBindInfo* bindInfo, bool secure)
{
    bool disabled = false;
    try {
        CStoreReader reader(GetSettingsStore());
        disabled = IsSessionDisabled(reader) || (secure && !GetFilterHttps(reader));
    } catch (const CHResultException& e) {
        // Settings locked longer than a request may wait: judge the request
        // as if filtering were on.
        if (e.GetHResult() != kLockTimedOut)
            throw;
    }
    if (disabled || !uri)
        return false;
    CComBSTR url;
    if (FAILED(uri->GetAbsoluteUri(url.Put())) || url.Length() == 0)
        return false;
    const CRequestOrigin origin = ReadRequestOrigin(url, sink, bindInfo);
    // A frame's requests name the frame as their page; shown in a page of a
    // site the user allowed, the frame is of that site too.
    if (!origin.pageUrl.empty() && GetAllowedFrames().Contains(origin.pageUrl))
        return false;
    RequestContext request;
    request.url = url;
    request.pageUrl = origin.pageUrl.empty() ? nullptr : origin.pageUrl.c_str();
    request.type = origin.type;
    return !IsRequestAllowed(request);
}

template <const CLSID& TWrapped>
HRESULT CProtocolFilter<TWrapped>::CreateAggregated(IUnknown* outer, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && !InlineIsEqualGUID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    if (!outer)
        return E_FAIL;
    return CProtocolFilter::CreateObject(outer, riid, ppv);
}

template <const CLSID& TWrapped>
HRESULT CProtocolFilter<TWrapped>::FinalConstruct()
{
    m_blocked = false;
    CComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(TWrapped, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr))
        return hr;
    // Under the browser's object, not under this one: the browser then sees
    // one object whose other interfaces are the handler's.
    hr = factory->CreateInstance(this->GetControllingUnknown(), IID_IUnknown, m_inner.PutVoid());
    if (FAILED(hr))
        return hr;
    IInternetProtocolEx* wrapped = nullptr;
    if (FAILED(m_inner->QueryInterface(IID_IInternetProtocolEx, reinterpret_cast<void**>(&wrapped))) || !wrapped)
        return E_NOINTERFACE;
    // The reference went to the controlling unknown; kept, it would keep the
    // browser's object (and so this one) alive forever. Nothing gives it a
    // reference back at destruction either: under Wine, touching the
    // controlling unknown while it is being destroyed destroys it twice.
    wrapped->Release();
    m_wrapped = wrapped;
    return S_OK;
}

template <const CLSID& TWrapped>
CProtocolFilter<TWrapped>::~CProtocolFilter()
{
    m_wrapped = nullptr;
    m_inner.Reset();
}

template <const CLSID& TWrapped>
HRESULT CProtocolFilter<TWrapped>::QueryOtherInterface(REFIID riid, void** ppv)
{
    return m_inner->QueryInterface(riid, ppv);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                                              IInternetBindInfo* pOIBindInfo, DWORD grfPI, HANDLE_PTR dwReserved)
{
    return m_wrapped->Start(szUrl, pOIProtSink, pOIBindInfo, grfPI, dwReserved);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Continue(PROTOCOLDATA* pProtocolData)
{
    return m_wrapped->Continue(pProtocolData);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Abort(HRESULT hrReason, DWORD dwOptions)
{
    return m_wrapped->Abort(hrReason, dwOptions);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Terminate(DWORD dwOptions)
{
    return m_wrapped->Terminate(dwOptions);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Suspend()
{
    return m_wrapped->Suspend();
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Resume()
{
    return m_wrapped->Resume();
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (!pcbRead)
        return E_POINTER;
    if (m_blocked) {
        *pcbRead = 0;
        return S_FALSE;
    }
    return m_wrapped->Read(pv, cb, pcbRead);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition)
{
    return m_wrapped->Seek(dlibMove, dwOrigin, plibNewPosition);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::LockRequest(DWORD dwOptions)
{
    return m_blocked ? S_OK : m_wrapped->LockRequest(dwOptions);
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::UnlockRequest()
{
    return m_blocked ? S_OK : m_wrapped->UnlockRequest();
}

template <const CLSID& TWrapped>
STDMETHODIMP CProtocolFilter<TWrapped>::StartEx(IUri* pUri, IInternetProtocolSink* pOIProtSink,
                                                IInternetBindInfo* pOIBindInfo, DWORD grfPI, HANDLE_PTR dwReserved)
{
    // A request that cannot be judged is neither forwarded nor answered: it
    // fails with the reason.
    bool refused = false;
    const bool secure = InlineIsEqualGUID(TWrapped, CLSID_HttpSProtocol) != 0;
    HRESULT hr = CallAtBoundary([&] { refused = IsRequestRefused(pUri, pOIProtSink, pOIBindInfo, secure); });
    if (FAILED(hr))
        return hr;
    if (refused)
        return Refuse(pOIProtSink);
    return m_wrapped->StartEx(pUri, pOIProtSink, pOIBindInfo, grfPI, dwReserved);
}

template <const CLSID& TWrapped>
HRESULT CProtocolFilter<TWrapped>::Refuse(IInternetProtocolSink* sink)
{
    m_blocked = true;
    // urlmon always passes a sink; a caller that does not gets an error
    // rather than a crash.
    if (!sink)
        return E_POINTER;
    HRESULT hr = sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/plain");
    // The type is this filter's own answer, so it is final. Said so, urlmon's
    // binding does not sniff the data for a type of its own: sniffing, it
    // buffers the first data report and keeps that buffer (2 KiB) for the
    // binding's life when the document is empty, per refused request.
    if (SUCCEEDED(hr))
        hr = sink->ReportProgress(BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE, L"text/plain");
    if (FAILED(hr))
        return hr;
    hr = sink->ReportData(BSCF_FIRSTDATANOTIFICATION | BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE, 0, 0);
    if (FAILED(hr))
        return hr;
    return sink->ReportResult(S_OK, 200, nullptr);
}

template class CProtocolFilter<CLSID_HttpProtocol>;
template class CProtocolFilter<CLSID_HttpSProtocol>;
