#pragma once
// CTestBinding plays the part of urlmon's binding object for one request: it
// aggregates a protocol object (the request filter) under itself, hands
// every interface it does not have to it, and is the protocol's sink and
// bind information (with the HTTP negotiation the handler asks for). It
// records every sink call and can drive an allowed
// request to its end on the calling thread (Switch -> Continue, ReportData
// -> Read), as urlmon does.

#include <windows.h>
#include <urlmon.h>

#include <deque>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Handle.h"
#include "com/Object.h"
#include "com/Sync.h"

class CTestBinding final : public CComObjectBase<CTestBinding, IInternetProtocolSink, IInternetBindInfo,
                                                 IServiceProvider, IHttpNegotiate>
{
public:
    CTestBinding();
    ~CTestBinding() override;

    // This object's identity: the outer object of the protocol.
    IUnknown* Identity() const noexcept { return GetControllingUnknown(); }
    // Creates the protocol through factory, aggregated under this object.
    HRESULT Aggregate(IClassFactory* factory);
    // The aggregated protocol's inner unknown and its IInternetProtocolEx
    // (not counted; valid while this object lives).
    IUnknown* Inner() const noexcept { return m_inner.Get(); }
    IInternetProtocolEx* Protocol() const noexcept { return m_protocol; }

    HRESULT QueryOtherInterface(REFIID riid, void** ppv);

    // Sink calls in order, e.g. "ReportProgress(13, text/plain)",
    // "ReportData(13, 0, 0)", "ReportResult(0x00000000, 200, null)".
    std::vector<std::string> Calls() const;
    // The calls whose text starts with prefix.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
    // The headers BeginningTransaction adds, as the browser's client does.
    void SetRequestHeaders(std::wstring headers) { m_requestHeaders = std::move(headers); }
    // What the sink answers to ReportProgress, ReportData, ReportResult.
    void SetSinkResults(HRESULT progress, HRESULT data, HRESULT result);

    // Pumps until the protocol reports its result, continuing and reading
    // as reported. False on timeout.
    bool RunToResult(DWORD timeoutMs);
    const std::string& Body() const noexcept { return m_body; }
    HRESULT Result() const noexcept { return m_result; }

    // IInternetProtocolSink
    STDMETHODIMP Switch(PROTOCOLDATA* pProtocolData) override;
    STDMETHODIMP ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) override;
    STDMETHODIMP ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) override;
    STDMETHODIMP ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) override;
    // IInternetBindInfo
    STDMETHODIMP GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) override;
    STDMETHODIMP GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr, ULONG cEl, ULONG* pcElFetched) override;
    // IServiceProvider: IHttpNegotiate only
    STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override;
    // IHttpNegotiate: adds the headers set by SetRequestHeaders
    STDMETHODIMP BeginningTransaction(LPCWSTR szURL, LPCWSTR szHeaders, DWORD dwReserved,
                                      LPWSTR* pszAdditionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR szRequestHeaders,
                            LPWSTR* pszAdditionalRequestHeaders) override;

private:
    void Record(std::string call);
    void ReadAvailable();

    CComPtr<IUnknown> m_inner;
    IInternetProtocolEx* m_protocol = nullptr;

    mutable CCriticalSection m_lock;  // the sink's state: urlmon may report from other threads
    std::vector<std::string> m_calls;
    std::deque<PROTOCOLDATA> m_switched;
    bool m_dataReported = false;
    bool m_done = false;
    HRESULT m_result = E_PENDING;
    HRESULT m_progressAnswer = S_OK;
    HRESULT m_dataAnswer = S_OK;
    HRESULT m_resultAnswer = S_OK;
    CHandle m_wake;

    std::string m_body;  // read on the driving thread only
    std::wstring m_requestHeaders;
};

// Narrow text of a wide string (tests compare ASCII).
std::string Narrow(const std::wstring& text);
