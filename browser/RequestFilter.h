#pragma once
// The request filter: the browser process's namespace handler for "http" and
// "https".
//
// Each filter object wraps a fresh instance of the browser's own protocol
// handler (TWrapped: CLSID_HttpProtocol, or CLSID_HttpSProtocol for secure
// requests), aggregated under the same controlling unknown as the filter,
// and passes every call through to it, except that StartEx first asks the
// verdict whether the request may load, in its context: the URL, and the page
// and kind the browser passes with the request (browser/RequestFilterContext.h). A refused request never reaches the handler, so no connection is
// made; the filter answers it as an empty, successful "text/plain" document:
// ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, "text/plain"), the same type
// as verified (BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE), then
// ReportData(first | last | fully available, 0, 0), then
// ReportResult(S_OK, 200, null), each only if the one before succeeded.
// Requests started with Start (no IUri) and requests in a process whose
// SessionDisabled flag is set pass unchecked; so do secure requests while the
// user's FilterHttps option is off (read for every request).
// So do requests whose page is a frame shown in a page of a site the user
// allowed (browser/AllowedFrames.h).
//
// Threading: apartment-threaded, as urlmon calls a protocol object on the
// thread that runs its binding. Each live object holds a module lock.

#include <windows.h>
#include <urlmon.h>

#include "com/ComPtr.h"
#include "com/Object.h"

// Makes the request filter the "http" and "https" namespace handler of this
// process's URL moniker session, for the rest of the process's life. The first call
// that succeeds registers and pins the library in memory (the session keeps
// the filter's class factory and may call it on any thread until the process
// ends, whoever unloads COM libraries meanwhile); every later call does
// nothing. Thread-safe. Throws the failing HRESULT; nothing is registered
// then and the next call tries again.
void RegisterRequestFilter();

// A new class factory of the request filter for "http" (or, secure, for
// "https"), as the registration hands it to the session: it creates filters
// only aggregated (IID_IUnknown with an outer object); without an outer
// object it fails with E_FAIL. Throws.
CComPtr<IClassFactory> CreateRequestFilterFactory(bool secure = false);

// True when the request for uri must be refused: SessionDisabled is off in
// this process and, for a secure request, FilterHttps is on (both read under
// the settings store's reader), uri is not null, its absolute URL can be had,
// and the verdict blocks it in the context that sink and bindInfo give (each
// may be null). Throws when the settings or the filter list cannot be read or
// the URL cannot be judged.
bool IsRequestRefused(IUri* uri, IInternetProtocolSink* sink = nullptr, IInternetBindInfo* bindInfo = nullptr,
                      bool secure = false);

template <const CLSID& TWrapped>
class CProtocolFilter final
    : public CComObjectBase<CProtocolFilter<TWrapped>, IInternetProtocolRoot, IInternetProtocol, IInternetProtocolEx>
{
public:
    static constexpr bool kAggregatable = true;

    CProtocolFilter() = default;
    ~CProtocolFilter() override;

    // The factory's creation function: E_POINTER for a null ppv; with an
    // outer object and riid other than IID_IUnknown, CLASS_E_NOAGGREGATION;
    // without an outer object, E_FAIL. Otherwise a new filter whose inner
    // unknown goes to *ppv, or the failure of creating the wrapped handler.
    static HRESULT CreateAggregated(IUnknown* outer, REFIID riid, void** ppv) noexcept;

    HRESULT FinalConstruct();
    // Blind delegation: every interface the filter does not answer itself is
    // the wrapped handler's (its HTTP and WinInet information, priority...).
    HRESULT QueryOtherInterface(REFIID riid, void** ppv);

    // IInternetProtocolRoot
    STDMETHODIMP Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink, IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                       HANDLE_PTR dwReserved) override;
    STDMETHODIMP Continue(PROTOCOLDATA* pProtocolData) override;
    STDMETHODIMP Abort(HRESULT hrReason, DWORD dwOptions) override;
    STDMETHODIMP Terminate(DWORD dwOptions) override;
    STDMETHODIMP Suspend() override;
    STDMETHODIMP Resume() override;
    // IInternetProtocol
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    STDMETHODIMP LockRequest(DWORD dwOptions) override;
    STDMETHODIMP UnlockRequest() override;
    // IInternetProtocolEx
    STDMETHODIMP StartEx(IUri* pUri, IInternetProtocolSink* pOIProtSink, IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                         HANDLE_PTR dwReserved) override;

private:
    HRESULT Refuse(IInternetProtocolSink* sink);

    // The wrapped handler's non-delegating unknown: the one counted
    // reference to it.
    CComPtr<IUnknown> m_inner;
    // The wrapped handler's IInternetProtocolEx. Not counted: its reference
    // lands on the controlling unknown, which owns this object, so it is
    // given back at once and the pointer lives as long as m_inner.
    IInternetProtocolEx* m_wrapped = nullptr;
    bool m_blocked = false;
};

extern template class CProtocolFilter<CLSID_HttpProtocol>;
extern template class CProtocolFilter<CLSID_HttpSProtocol>;
using CHttpRequestFilter = CProtocolFilter<CLSID_HttpProtocol>;
using CHttpsRequestFilter = CProtocolFilter<CLSID_HttpSProtocol>;
